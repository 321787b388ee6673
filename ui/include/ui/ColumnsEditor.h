#pragma once
// What the "Column Settings" dialog edits, without its widgets: the tag
// list's seven columns in list order with their check marks and texts, the
// selected positions and a width per column id. The dialog mirrors it on
// screen; tests drive it directly.

#include "config/OPCS_Registry.h"

#include <array>
#include <set>
#include <string>
#include <vector>

class ColumnsEditor {
public:
    // One line of the check list.
    struct Entry {
        ColumnInfo record;  // the column the line stands for
        bool checked = false;  // becomes the column's visibility
        std::string text;  // becomes the column's name when not empty
    };

    // Widths the width edit stores; anything outside is left alone.
    static constexpr unsigned kMinWidth = 10;
    static constexpr unsigned kMaxWidth = 5000;

    explicit ColumnsEditor(const OPCS_Registry::Columns& columns);

    // Fills the list from the records in their order, the width table by
    // column id, and selects the first line.
    void Load(const OPCS_Registry::Columns& columns);
    // Reloads from the default columns.
    void Reset();

    const std::vector<Entry>& Entries() const { return entries_; }
    int Count() const { return static_cast<int>(entries_.size()); }

    const std::set<int>& Selection() const { return selection_; }
    // Positions outside the list are dropped.
    void SetSelection(const std::set<int>& positions);
    // A selection change in the list: the width text typed for the old
    // selection is stored first (see ApplyWidthText), then the new selection
    // is taken. Returns the width text to show for it.
    std::string ChangeSelection(const std::set<int>& positions, const std::string& widthText);

    void SetChecked(int position, bool checked);

    // Each selected line from the top moves one place up; a line at the top
    // goes to the bottom, and the pass ends there. The selection moves with
    // the lines.
    void MoveUp();
    // The mirror image, from the bottom line upwards.
    void MoveDown();

    // Renaming is offered for exactly one selected line.
    bool CanRename() const { return selection_.size() == 1; }
    // A text that is not empty replaces the line's text; an empty one keeps
    // it. Commas are left out: the settings store the names comma-separated.
    void Rename(int position, const std::string& text);

    // The width table entry of a column id; 0 for an id outside 0..6.
    unsigned Width(unsigned columnId) const;
    // A text holding a number from 10 to 5000 becomes the width of every
    // selected line's column; anything else (empty, 9, 5001, letters)
    // changes nothing. True when the width was taken.
    bool ApplyWidthText(const std::string& text);
    // The selected lines' common width, or empty when they differ or nothing
    // is selected.
    std::string WidthText() const;

    // The columns as the dialog's OK leaves them: list position i gives
    // order i, the check mark the visibility, the width table the width, a
    // non-empty text the name.
    OPCS_Registry::Columns Result() const;

private:
    std::vector<Entry> entries_;
    std::set<int> selection_;
    std::array<unsigned, OPCS_Registry::kColumnCount> widths_{};
};
