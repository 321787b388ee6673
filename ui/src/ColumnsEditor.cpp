#include "ui/ColumnsEditor.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

bool KnownId(unsigned columnId) { return columnId < static_cast<unsigned>(OPCS_Registry::kColumnCount); }

// The number a width text holds: decimal digits only, surrounding blanks
// allowed. False for anything else, and for numbers too long to be a width.
bool ParseWidth(const std::string& text, unsigned& value) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (begin == end || end - begin > 9) return false;
    unsigned result = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        result = result * 10 + static_cast<unsigned>(text[i] - '0');
    }
    value = result;
    return true;
}

}  // namespace

ColumnsEditor::ColumnsEditor(const OPCS_Registry::Columns& columns) { Load(columns); }

void ColumnsEditor::Load(const OPCS_Registry::Columns& columns) {
    entries_.clear();
    widths_.fill(0);
    for (const ColumnInfo& c : columns) {
        entries_.push_back(Entry{c, c.visible, c.name});
        if (KnownId(c.columnId)) widths_[c.columnId] = c.width;
    }
    selection_.clear();
    if (!entries_.empty()) selection_.insert(0);
}

void ColumnsEditor::Reset() { Load(OPCS_Registry::DefaultColumns()); }

void ColumnsEditor::SetSelection(const std::set<int>& positions) {
    selection_.clear();
    for (int p : positions)
        if (p >= 0 && p < Count()) selection_.insert(p);
}

std::string ColumnsEditor::ChangeSelection(const std::set<int>& positions, const std::string& widthText) {
    ApplyWidthText(widthText);
    SetSelection(positions);
    return WidthText();
}

void ColumnsEditor::SetChecked(int position, bool checked) {
    if (position >= 0 && position < Count()) entries_[static_cast<std::size_t>(position)].checked = checked;
}

namespace {

// Moves one line with its selection mark.
void MoveLine(std::vector<ColumnsEditor::Entry>& entries, std::vector<bool>& marks, int from, int to) {
    const auto f = static_cast<std::ptrdiff_t>(from);
    const auto t = static_cast<std::ptrdiff_t>(to);
    ColumnsEditor::Entry entry = std::move(entries[static_cast<std::size_t>(from)]);
    const bool mark = marks[static_cast<std::size_t>(from)];
    entries.erase(entries.begin() + f);
    marks.erase(marks.begin() + f);
    entries.insert(entries.begin() + t, std::move(entry));
    marks.insert(marks.begin() + t, mark);
}

}  // namespace

void ColumnsEditor::MoveUp() {
    const int last = Count() - 1;
    if (last < 1) return;
    std::vector<bool> marks(entries_.size(), false);
    for (int p : selection_) marks[static_cast<std::size_t>(p)] = true;
    // Moving a line up only exchanges it with the one above, so the lines
    // still to come keep their positions.
    for (int p : std::set<int>(selection_)) {
        if (p == 0) {
            MoveLine(entries_, marks, 0, last);
            break;
        }
        MoveLine(entries_, marks, p, p - 1);
    }
    selection_.clear();
    for (int i = 0; i <= last; ++i)
        if (marks[static_cast<std::size_t>(i)]) selection_.insert(i);
}

void ColumnsEditor::MoveDown() {
    const int last = Count() - 1;
    if (last < 1) return;
    std::vector<bool> marks(entries_.size(), false);
    for (int p : selection_) marks[static_cast<std::size_t>(p)] = true;
    const std::set<int> pass(selection_);
    for (auto it = pass.rbegin(); it != pass.rend(); ++it) {
        const int p = *it;
        if (p == last) {
            MoveLine(entries_, marks, last, 0);
            break;
        }
        MoveLine(entries_, marks, p, p + 1);
    }
    selection_.clear();
    for (int i = 0; i <= last; ++i)
        if (marks[static_cast<std::size_t>(i)]) selection_.insert(i);
}

void ColumnsEditor::Rename(int position, const std::string& text) {
    if (position < 0 || position >= Count()) return;
    // The settings keep the columns as comma-separated text: a comma in a
    // name would make the whole column layout unreadable at the next start.
    std::string name;
    for (char c : text)
        if (c != ',') name += c;
    if (!name.empty()) entries_[static_cast<std::size_t>(position)].text = name;
}

unsigned ColumnsEditor::Width(unsigned columnId) const { return KnownId(columnId) ? widths_[columnId] : 0; }

bool ColumnsEditor::ApplyWidthText(const std::string& text) {
    unsigned width = 0;
    if (!ParseWidth(text, width) || width < kMinWidth || width > kMaxWidth) return false;
    bool taken = false;
    for (int p : selection_) {
        const unsigned id = entries_[static_cast<std::size_t>(p)].record.columnId;
        if (!KnownId(id)) continue;
        widths_[id] = width;
        taken = true;
    }
    return taken;
}

std::string ColumnsEditor::WidthText() const {
    if (selection_.empty()) return {};
    const unsigned first = Width(entries_[static_cast<std::size_t>(*selection_.begin())].record.columnId);
    for (int p : selection_)
        if (Width(entries_[static_cast<std::size_t>(p)].record.columnId) != first) return {};
    return std::to_string(first);
}

OPCS_Registry::Columns ColumnsEditor::Result() const {
    OPCS_Registry::Columns result{};
    const std::size_t n = std::min(result.size(), entries_.size());
    for (std::size_t i = 0; i < n; ++i) {
        const Entry& e = entries_[i];
        ColumnInfo c = e.record;
        c.order = static_cast<UINT>(i);
        c.visible = e.checked;
        // A record with an id the table has no place for keeps its own width.
        if (KnownId(c.columnId)) c.width = widths_[c.columnId];
        if (!e.text.empty()) c.name = e.text;
        result[i] = c;
    }
    return result;
}
