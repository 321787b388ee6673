#include "config/OPCS_Registry.h"

#include "foundation/CLogFile.h"
#include "foundation/RegIO.h"
#include "foundation/StringTable.h"
#include "foundation/VersionInfo.h"
#include "model/ItemId.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr double kMinSplitter = 0.1;
constexpr double kMaxSplitter = 0.9;

std::function<void()>& TextTableSetUp() {
    static std::function<void()> setUp;
    return setUp;
}

// The n-th new-line separated field of a text; empty when it has fewer.
std::string Field(const std::string& text, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = text.find('\n', start);
        if (start == std::string::npos) return {};
        ++start;
    }
    return text.substr(start, text.find('\n', start) - start);
}

std::vector<std::string> SplitAtCommas(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return fields;
        start = comma + 1;
    }
}

// Leading blanks and a sign are allowed, reading stops at the first other
// character, and no digits give 0.
UINT DecimalField(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned long long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[i++] - '0');
        if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
    }
    const auto result = static_cast<UINT>(value);
    return negative ? 0u - result : result;
}

char Flag(bool value) { return value ? 'T' : 'F'; }

OPCS_Registry::Columns MakeDefaultColumns() {
    const auto column = [](UINT id, UINT width, bool sort, bool visible, bool always) {
        ColumnInfo info;
        info.name = LoadStringText(IDS_COLUMN_NAME + id);
        info.columnId = id;
        info.order = id;
        info.width = width;
        info.sortColumn = sort;
        info.ascending = true;
        info.visible = visible;
        info.alwaysShown = always;
        return info;
    };
    return {{
        column(0, 165, false, true, true),
        column(1, 80, false, true, false),
        column(2, 65, false, true, false),
        column(3, 150, false, true, false),
        column(4, 80, false, true, true),
        column(5, 20, true, false, true),
        column(6, 5000, false, true, true),
    }};
}

}  // namespace

OPCS_Registry::OPCS_Registry() : itemDelimiter_(kItemDelimiter) { SetDefaults(); }

OPCS_Registry::~OPCS_Registry() = default;

std::string OPCS_Registry::SettingsKeyPath() {
    return "HKEY_LOCAL_MACHINE\\Software\\" + versioninfo::CompanyName() + "\\" + versioninfo::ProductName() +
           "\\Settings";
}

const OPCS_Registry::Columns& OPCS_Registry::DefaultColumns() {
    static const Columns defaults = MakeDefaultColumns();
    return defaults;
}

void OPCS_Registry::SetTextTableSetUp(std::function<void()> setUp) { TextTableSetUp() = std::move(setUp); }

void OPCS_Registry::SetDefaults() {
    const std::string folder = versioninfo::ProgramFolder();
    const std::string documentType = LoadStringText(IDS_DOCUMENT_TYPE);
    eventLogEnabled_ = false;
    toolbarActive_ = true;
    pollRate_ = 30;
    eventLogFileSize_ = 1048576;
    splitterPosition_ = 0.2;
    lastUsedFile_ = folder + Field(documentType, 1) + Field(documentType, 4);
    eventLogFile_ = folder + LoadStringText(IDS_APP_NAME) + " Event Log.txt";
    tagIconBitmap_.clear();
    columns_ = DefaultColumns();
    windowLocation_ = RECT{0, 0, 0, 0};
    uaPort_ = kDefaultUaPort;
    uaListenAddress_ = kDefaultUaListenAddress;
    uaAllowNone_ = true;
    uaAllowAnonymous_ = true;
    uaOfferSign_ = false;
    historyEnabled_ = true;
    historyFile_ = folder + "history.db";
    historyRetentionDays_ = kDefaultHistoryRetentionDays;
    historyMaxSizeMB_ = 0;
}

void OPCS_Registry::Load() {
    if (loaded_) return;
    loaded_ = true;
    SetDefaults();

    RegIO reg;
    if (!reg.Open(SettingsKeyPath(), true)) {
        reg.Create(SettingsKeyPath());
    } else {
        reg.ReadBool("Toolbar Active", toolbarActive_);
        reg.ReadNumber("Poll Rate Secs", pollRate_);
        reg.ReadNumber("Event Log File Size", eventLogFileSize_);
        double splitter = 0;
        // A stored share outside the setter's range would hide a pane; it is
        // brought into range as the setter does, and a non-number is ignored.
        if (reg.ReadDouble("Last Splitter Wnd Val", splitter) && !std::isnan(splitter))
            SetSplitterPosition(splitter);
        reg.ReadRect("Last Window Location", windowLocation_);
        reg.ReadString("Event Log File", eventLogFile_);
        reg.ReadBool("Event Log Enabled", eventLogEnabled_);
        reg.ReadString("Tag Icon Bitmap", tagIconBitmap_);
        std::string lastUsed;
        if (reg.ReadString("Last Used File", lastUsed) && versioninfo::FileExists(lastUsed)) lastUsedFile_ = lastUsed;
        std::string columnInfo;
        if (reg.ReadString("Column Info", columnInfo)) ParseColumnInfo(columnInfo);
        DWORD port = uaPort_;
        // A stored number that is no port keeps the default.
        if (reg.ReadNumber("OPC UA Port", port) && port <= 65535) uaPort_ = port;
        std::string listen;
        if (reg.ReadString("OPC UA Listen Address", listen) && !listen.empty()) uaListenAddress_ = listen;
        reg.ReadBool("OPC UA Allow None", uaAllowNone_);
        reg.ReadBool("OPC UA Allow Anonymous", uaAllowAnonymous_);
        reg.ReadBool("OPC UA Offer Sign", uaOfferSign_);
        reg.ReadBool("History Enabled", historyEnabled_);
        std::string history;
        if (reg.ReadString("History File", history) && !history.empty()) historyFile_ = history;
        reg.ReadNumber("History Retention Days", historyRetentionDays_);
        reg.ReadNumber("History Max Size MB", historyMaxSizeMB_);
    }
    reg.Close();

    if (TextTableSetUp()) TextTableSetUp()();
}

bool OPCS_Registry::Save() {
    RegIO reg;
    if (!reg.Open(SettingsKeyPath(), false)) {
        EventLog().Append("Failed to open HKLM Settings registry key to save data").Commit(CLogFile::kWrite);
        return false;
    }
    bool ok = reg.WriteBool("Toolbar Active", toolbarActive_);
    ok = reg.WriteNumber("Poll Rate Secs", pollRate_) && ok;
    ok = reg.WriteNumber("Event Log File Size", eventLogFileSize_) && ok;
    ok = reg.WriteDouble("Last Splitter Wnd Val", splitterPosition_) && ok;
    ok = reg.WriteRect("Last Window Location", windowLocation_) && ok;
    ok = reg.WriteString("Event Log File", eventLogFile_) && ok;
    ok = reg.WriteBool("Event Log Enabled", eventLogEnabled_) && ok;
    ok = reg.WriteString("Tag Icon Bitmap", tagIconBitmap_) && ok;
    ok = reg.WriteString("Last Used File", lastUsedFile_) && ok;
    ok = reg.WriteString("Column Info", ColumnInfoText()) && ok;
    ok = reg.WriteNumber("OPC UA Port", uaPort_) && ok;
    ok = reg.WriteString("OPC UA Listen Address", uaListenAddress_) && ok;
    ok = reg.WriteBool("OPC UA Allow None", uaAllowNone_) && ok;
    ok = reg.WriteBool("OPC UA Allow Anonymous", uaAllowAnonymous_) && ok;
    ok = reg.WriteBool("OPC UA Offer Sign", uaOfferSign_) && ok;
    ok = reg.WriteBool("History Enabled", historyEnabled_) && ok;
    ok = reg.WriteString("History File", historyFile_) && ok;
    ok = reg.WriteNumber("History Retention Days", historyRetentionDays_) && ok;
    ok = reg.WriteNumber("History Max Size MB", historyMaxSizeMB_) && ok;
    reg.Close();
    return ok;
}

std::string OPCS_Registry::GetLastUsedFileName() const {
    std::string folder;
    std::string name;
    versioninfo::SplitPath(lastUsedFile_, folder, name);
    return name;
}

void OPCS_Registry::SetSplitterPosition(double share) {
    if (std::isnan(share)) return;
    if (share < kMinSplitter) share = kMinSplitter;
    if (share > kMaxSplitter) share = kMaxSplitter;
    splitterPosition_ = share;
}

const OPCS_Registry::Columns& OPCS_Registry::GetColumns() {
    ValidateColumns();
    return columns_;
}

void OPCS_Registry::ResetColumns() { columns_ = DefaultColumns(); }

std::string OPCS_Registry::ColumnInfoText() const {
    std::string text;
    for (int i = 0; i < kColumnCount; ++i) {
        const ColumnInfo& c = columns_[static_cast<std::size_t>(i)];
        char numbers[96];
        std::snprintf(numbers, sizeof numbers, ",%u,%u,%u,%c,%c,%c,%c", c.columnId, c.order, c.width,
                      Flag(c.sortColumn), Flag(c.ascending), Flag(c.visible), Flag(c.alwaysShown));
        if (i > 0) text += ',';
        text += c.name;
        text += numbers;
    }
    return text;
}

bool OPCS_Registry::ParseColumnInfo(const std::string& text) {
    const std::vector<std::string> fields = SplitAtCommas(text);
    if (fields.size() != static_cast<std::size_t>(kColumnInfoFields)) return false;
    Columns parsed;
    bool seen[kColumnCount] = {};
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        const std::string* f = &fields[8 * i];
        ColumnInfo& c = parsed[i];
        c.name = f[0];
        c.columnId = DecimalField(f[1]);
        c.order = DecimalField(f[2]);
        c.width = DecimalField(f[3]);
        c.sortColumn = f[4] == "T";
        c.ascending = f[5] == "T";
        c.visible = f[6] == "T";
        c.alwaysShown = f[7] == "T";
        // The tag list selects each column's datum by its id: an id outside
        // 0..6, or one datum named twice, would leave it without a valid datum.
        if (c.columnId >= static_cast<UINT>(kColumnCount) || seen[c.columnId]) return false;
        seen[c.columnId] = true;
    }
    columns_ = parsed;
    return true;
}

void OPCS_Registry::ValidateColumns() {
    const Columns& defaults = DefaultColumns();
    const std::size_t n = columns_.size();

    for (std::size_t i = 0; i < n; ++i)
        if (columns_[i].name.empty()) columns_[i].name = defaults[i].name;

    bool resetOrders = false;
    for (std::size_t i = 0; i < n && !resetOrders; ++i) {
        if (columns_[i].order >= n) resetOrders = true;
        for (std::size_t j = i + 1; j < n && !resetOrders; ++j)
            if (columns_[i].order == columns_[j].order) resetOrders = true;
    }
    if (resetOrders)
        for (std::size_t i = 0; i < n; ++i) columns_[i].order = static_cast<UINT>(i);

    bool anyShown = false;
    for (const ColumnInfo& c : columns_)
        if (c.visible && c.width > 10) anyShown = true;
    if (!anyShown) {
        for (std::size_t i = 0; i < n; ++i) {
            columns_[i].visible = true;
            columns_[i].width = defaults[i].width;
        }
    }

    ColumnInfo* keeper = nullptr;
    ColumnInfo* firstVisible = nullptr;
    for (ColumnInfo& c : columns_) {
        if (!c.visible) {
            c.sortColumn = false;
            continue;
        }
        if (firstVisible == nullptr || c.order < firstVisible->order) firstVisible = &c;
        if (c.sortColumn && (keeper == nullptr || c.order < keeper->order)) keeper = &c;
    }
    if (keeper == nullptr) keeper = firstVisible;
    for (ColumnInfo& c : columns_) c.sortColumn = &c == keeper;

    // Stable exchange sort by order, moving whole records.
    for (std::size_t pass = 0; pass + 1 < n; ++pass)
        for (std::size_t i = 0; i + 1 < n - pass; ++i)
            if (columns_[i].order > columns_[i + 1].order) std::swap(columns_[i], columns_[i + 1]);
}

OPCS_Registry& ProgramSettings() {
    static OPCS_Registry settings;
    return settings;
}
