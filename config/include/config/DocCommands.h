#pragma once
// The command, status-pane and update-hint numbers of the configuration
// document. Command ids are resource ids shared with the menus and
// the toolbar of the main frame; the prompts are those of the string table
// ("status-bar text\ntool tip").

#include "platform/WinTypes.h"

#include <span>

namespace doccmd {

constexpr UINT kAddDevice = 32772;
constexpr UINT kAddTagGroup = 32773;
constexpr UINT kAddTag = 32774;
constexpr UINT kDiscover = 32796;
constexpr UINT kOptions = 32805;
constexpr UINT kForceUpdate = 32806;
constexpr UINT kChooseColumns = 32810;
constexpr UINT kStartPolling = 32813;
constexpr UINT kStopPolling = 32814;
constexpr UINT kClientIndicator = 32815;
constexpr UINT kTogglePolling = 32816;
constexpr UINT kGuiPollingIndicator = 32817;
constexpr UINT kFileOpen = 57601;  // the framework's File Open

// Status-bar panes whose text the document supplies.
constexpr UINT kPaneTime = 105;
constexpr UINT kPaneLastPollTime = 106;
constexpr UINT kPaneNextPollTime = 107;
constexpr UINT kPanePollState = 110;

struct DocCommandInfo {
    UINT id;
    const char* name;
    const char* prompt;  // empty where the table gives none
};

// Every command the document handles, in the order of the command table.
std::span<const DocCommandInfo> DocCommandTable();
// The table entry of an id, or null for a command the document does not handle.
const DocCommandInfo* FindDocCommand(UINT id);

}  // namespace doccmd

// The update hints of the document/view protocol; the object sent
// with each is given after the hint.
namespace dochint {

constexpr int kRebuild = 0;        // none: open, delete
constexpr int kDeleteAll = 1;      // none: DeleteContents, sent while the objects still exist
constexpr int kRefreshGroup = 2;   // group: the tree view after editing a group's properties
constexpr int kTreeTimer = 3;      // none: a timer message 3 to the tree view
constexpr int kDeviceAdded = 4;    // device: AddDevice
constexpr int kDeviceIcons = 5;    // none: the tree view's timer 5
constexpr int kGroupAdded = 6;     // group: InsertGroup
constexpr int kTagList = 7;        // none or tag: polling commands, selection changes, column dialog
constexpr int kTagRows = 8;        // none: the tag list's timer 8
constexpr int kTagAdded = 9;       // tag: InsertTag

}  // namespace dochint

// Whether a command is enabled and checked, as the menu and toolbar show it.
struct CommandState {
    bool enabled = false;
    bool checked = false;
    bool operator==(const CommandState&) const = default;
};
