#pragma once
// The commands of the main window's menu and toolbar beside the document's
// own: ids shared with the views, and the table the frame builds its menu
// and toolbar from. The document's commands keep their ids and prompts in the
// document's table; this one adds the frame's and the views'.

#include "platform/WinTypes.h"

#include <span>

namespace uicmd {

// The framework's own commands.
constexpr UINT kFileNew = 57600;
constexpr UINT kFileSave = 57603;
constexpr UINT kAppAbout = 57664;
constexpr UINT kAppExit = 57665;
constexpr UINT kHelpFinder = 57667;
// The views' commands.
constexpr UINT kProperties = 32777;
constexpr UINT kDelete = 32785;
constexpr UINT kWriteToTag = 32807;
// The frame's.
constexpr UINT kPortStatistics = 32808;
// The selected counter's trend from the history.
constexpr UINT kTrend = 32809;
constexpr UINT kSeparator = 0;

// Status pane of the selected object's clients, supplied by the views.
constexpr UINT kPaneClients = 109;

// Context help of the frame, the device tree and the tag list.
constexpr int kHelpFrame = 100;
constexpr int kHelpDeviceTree = 101;
constexpr int kHelpTagList = 102;

struct MenuEntry {
    UINT id;             // kSeparator between groups
    const char* text;    // with '&' before the mnemonic
    const char* shortcut;  // empty: none
};

struct Menu {
    const char* title;
    std::span<const MenuEntry> entries;
};

// The menu bar, in order.
std::span<const Menu> MainMenu();
// The toolbar, in order (kSeparator between groups).
std::span<const UINT> ToolbarCommands();
// "status-bar text\ntool tip" of a command, from the frame's table or the
// document's (its name where it gives no prompt); empty for an unknown id.
const char* CommandPrompt(UINT id);

}  // namespace uicmd
