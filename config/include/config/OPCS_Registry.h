#pragma once
// The program's settings: event log options, the poll rate new devices start
// with, the configuration file, the main window's placement and splitter, the
// tag icon bitmap and the tag list's columns. Loaded from the registry once at
// start-up and written back by Save; one instance serves the whole process
// (ProgramSettings()). Used from the GUI thread only, except the item
// delimiter, which never changes and is read by the OPC threads.

#include "platform/WinTypes.h"

#include <array>
#include <functional>
#include <string>

// One column of the tag list.
struct ColumnInfo {
    std::string name;  // header text
    UINT columnId = 0;  // the datum shown: 0 name, 1 value, 2 quality, 3 last updated, 4 mode, 5 id, 6 description
    UINT order = 0;  // display position 0 to 6
    UINT width = 0;  // pixels
    bool sortColumn = false;
    bool ascending = true;
    bool visible = true;
    // The text is shown even for a volatile tag of a device that is not polling.
    bool alwaysShown = false;

    bool operator==(const ColumnInfo&) const = default;
};

class OPCS_Registry {
public:
    static constexpr int kColumnCount = 7;
    // "Column Info" holds eight comma-separated fields per column.
    static constexpr int kColumnInfoFields = 8 * kColumnCount;
    using Columns = std::array<ColumnInfo, kColumnCount>;

    OPCS_Registry();
    virtual ~OPCS_Registry();
    OPCS_Registry(const OPCS_Registry&) = delete;
    OPCS_Registry& operator=(const OPCS_Registry&) = delete;

    // "HKEY_LOCAL_MACHINE\Software\<CompanyName>\<ProductName>\Settings", the
    // names taken from the program's version strings.
    static std::string SettingsKeyPath();
    static const Columns& DefaultColumns();

    // The one-time set-up of the program's shared text tables (the counter tag
    // names), installed by start-up before the settings load and run at the
    // end of the first Load. Null removes it.
    static void SetTextTableSetUp(std::function<void()> setUp);

    // The first call sets every member to its default and reads the settings
    // key, creating it when it is missing; later calls do nothing.
    void Load();
    bool IsLoaded() const { return loaded_; }
    // Writes every setting. False when the key cannot be opened (logged;
    // nothing is written) or when a value could not be written.
    bool Save();

    DWORD GetPollRate() const { return pollRate_; }
    void SetPollRate(DWORD seconds) { pollRate_ = seconds; }
    DWORD GetEventLogFileSize() const { return eventLogFileSize_; }
    void SetEventLogFileSize(DWORD bytes) { eventLogFileSize_ = bytes; }
    bool GetEventLogEnabled() const { return eventLogEnabled_; }
    void SetEventLogEnabled(bool enabled) { eventLogEnabled_ = enabled; }
    const std::string& GetEventLogFile() const { return eventLogFile_; }
    void SetEventLogFile(const std::string& path) { eventLogFile_ = path; }
    // The configuration file. The program never changes this path, so there is no setter.
    const std::string& GetLastUsedFile() const { return lastUsedFile_; }
    // The file-name part of the configuration file (the document's title).
    std::string GetLastUsedFileName() const;
    const std::string& GetTagIconBitmap() const { return tagIconBitmap_; }
    // Kept and saved; nothing depends on it.
    bool GetToolbarActive() const { return toolbarActive_; }
    void SetToolbarActive(bool active) { toolbarActive_ = active; }
    char GetItemDelimiter() const { return itemDelimiter_; }
    // The device tree's share of the main window.
    double GetSplitterPosition() const { return splitterPosition_; }
    // The OPC UA endpoint: its port (0: off) and the address it listens on.
    static constexpr DWORD kDefaultUaPort = 4840;
    // Every interface: beyond the loopback interface only the encrypted
    // endpoints serve sessions.
    static constexpr const char* kDefaultUaListenAddress = "0.0.0.0";
    DWORD GetUaPort() const { return uaPort_; }
    void SetUaPort(DWORD port) { uaPort_ = port <= 65535 ? port : kDefaultUaPort; }
    const std::string& GetUaListenAddress() const { return uaListenAddress_; }
    void SetUaListenAddress(const std::string& address) { uaListenAddress_ = address; }
    // The SecurityPolicy None endpoint for clients on this machine, sessions
    // without a user name (viewers), and endpoints that sign without encrypting.
    bool GetUaAllowNone() const { return uaAllowNone_; }
    void SetUaAllowNone(bool allow) { uaAllowNone_ = allow; }
    bool GetUaAllowAnonymous() const { return uaAllowAnonymous_; }
    void SetUaAllowAnonymous(bool allow) { uaAllowAnonymous_ = allow; }
    bool GetUaOfferSign() const { return uaOfferSign_; }
    void SetUaOfferSign(bool offer) { uaOfferSign_ = offer; }
    // The sample history: whether the program keeps one, its database file,
    // how many days it keeps samples (0: by age forever) and the size it may
    // grow to in MB (0: no bound).
    static constexpr DWORD kDefaultHistoryRetentionDays = 400;
    bool GetHistoryEnabled() const { return historyEnabled_; }
    void SetHistoryEnabled(bool enabled) { historyEnabled_ = enabled; }
    const std::string& GetHistoryFile() const { return historyFile_; }
    void SetHistoryFile(const std::string& path) { historyFile_ = path; }
    DWORD GetHistoryRetentionDays() const { return historyRetentionDays_; }
    void SetHistoryRetentionDays(DWORD days) { historyRetentionDays_ = days; }
    DWORD GetHistoryMaxSizeMB() const { return historyMaxSizeMB_; }
    void SetHistoryMaxSizeMB(DWORD megabytes) { historyMaxSizeMB_ = megabytes; }
    // Clamps to 0.1..0.9; a value that is not a number is ignored.
    void SetSplitterPosition(double share);
    const RECT& GetWindowLocation() const { return windowLocation_; }
    void SetWindowLocation(const RECT& rect) { windowLocation_ = rect; }

    // Validates the columns (names, orders, visibility, one sort column) and
    // returns them sorted by order.
    const Columns& GetColumns();
    // Takes the tag list's or the column dialog's changed columns; the next
    // GetColumns validates them.
    void SetColumns(const Columns& columns) { columns_ = columns; }
    void ResetColumns();

    // The "Column Info" text of the columns in their current order.
    std::string ColumnInfoText() const;

private:
    void SetDefaults();
    // False, with the columns unchanged, unless the text holds exactly 56
    // fields describing each of the seven data once.
    bool ParseColumnInfo(const std::string& text);
    void ValidateColumns();

    const char itemDelimiter_;
    bool eventLogEnabled_ = false;
    bool toolbarActive_ = true;
    bool loaded_ = false;
    DWORD pollRate_ = 30;
    DWORD eventLogFileSize_ = 1048576;
    DWORD uaPort_ = kDefaultUaPort;
    std::string uaListenAddress_ = kDefaultUaListenAddress;
    bool uaAllowNone_ = true;
    bool uaAllowAnonymous_ = true;
    bool uaOfferSign_ = false;
    bool historyEnabled_ = true;
    std::string historyFile_;
    DWORD historyRetentionDays_ = kDefaultHistoryRetentionDays;
    DWORD historyMaxSizeMB_ = 0;
    double splitterPosition_ = 0.2;
    std::string lastUsedFile_;
    std::string eventLogFile_;
    std::string tagIconBitmap_;
    Columns columns_;
    RECT windowLocation_{0, 0, 0, 0};
};

// The program's settings, made on first use and kept until the process ends.
OPCS_Registry& ProgramSettings();
