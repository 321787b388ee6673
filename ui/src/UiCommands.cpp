#include "ui/UiCommands.h"

#include "config/DocCommands.h"

#include <array>

namespace uicmd {

namespace {

constexpr MenuEntry kFileMenu[] = {
    {kFileNew, "&New", "Ctrl+N"},        {kFileSave, "&Save", "Ctrl+S"},
    {doccmd::kOptions, "&Options...", "Ctrl+O"}, {kSeparator, "", ""},
    {kAppExit, "E&xit", ""},
};
constexpr MenuEntry kEditMenu[] = {
    {kDelete, "&Delete", "Del"},
    {kProperties, "&Properties...", "Ctrl+P"},
    {kWriteToTag, "&Write To Tag...", "Ctrl+W"},
};
constexpr MenuEntry kViewMenu[] = {
    {kPortStatistics, "&Port Statistics...", ""},
    {doccmd::kChooseColumns, "&Choose Columns...", ""},
    {kSeparator, "", ""},
    {kTrend, "&Trend of Selected Device...", ""},
};
constexpr MenuEntry kPollMenu[] = {
    {doccmd::kStartPolling, "&Start Polling", ""},
    {doccmd::kStopPolling, "S&top Polling", ""},
    {doccmd::kForceUpdate, "&Force Update", "Ctrl+F"},
};
constexpr MenuEntry kAddMenu[] = {
    {doccmd::kAddDevice, "&Device...", "Ctrl+D"},
};
constexpr MenuEntry kDiscoverMenu[] = {
    {doccmd::kDiscover, "&Discover...", ""},
};
constexpr MenuEntry kHelpMenu[] = {
    {kHelpFinder, "&Help...", "F1"},
    {kAppAbout, "&About...", ""},
};

constexpr Menu kMenus[] = {
    {"&File", kFileMenu},   {"&Edit", kEditMenu}, {"&View", kViewMenu},         {"&Poll", kPollMenu},
    {"&Add", kAddMenu},     {"&Discover", kDiscoverMenu}, {"&Help", kHelpMenu},
};

constexpr UINT kToolbar[] = {
    kFileNew,          kFileSave,        kSeparator,
    doccmd::kAddDevice, doccmd::kAddTagGroup, doccmd::kAddTag, kDelete, kProperties, kSeparator,
    doccmd::kTogglePolling, doccmd::kForceUpdate, doccmd::kGuiPollingIndicator, doccmd::kClientIndicator, kSeparator,
    kWriteToTag,       doccmd::kChooseColumns, doccmd::kDiscover, kSeparator,
    kHelpFinder,       kAppAbout,
};

struct Prompt {
    UINT id;
    const char* text;
};

constexpr Prompt kPrompts[] = {
    {kFileNew, "Destroy the current configuration and start an empty one\nNew configuration"},
    {kFileSave, "Save the configuration to its file\nSave"},
    {kAppAbout, "Display program information, version number and copyright\nAbout"},
    {kAppExit, "Save everything and quit the application\nExit"},
    {kHelpFinder, "Open the help\nHelp"},
    {kProperties, "Show the properties of the selected object\nProperties"},
    {kDelete, "Delete the selected object\nDelete"},
    {kWriteToTag, "Write a value to the selected tag\nWrite To Tag"},
    {kPortStatistics, "Show the serial port statistics and traffic\nPort Statistics"},
    {kTrend, "Show the selected counter's recorded samples as a trend\nTrend"},
    {doccmd::kStartPolling, "Start polling the selected device\nStart Polling"},
    {doccmd::kStopPolling, "Stop polling the selected device\nStop Polling"},
};

}  // namespace

std::span<const Menu> MainMenu() { return kMenus; }
std::span<const UINT> ToolbarCommands() { return kToolbar; }

const char* CommandPrompt(UINT id) {
    for (const Prompt& p : kPrompts) {
        if (p.id == id) return p.text;
    }
    const auto* info = doccmd::FindDocCommand(id);
    if (info == nullptr) return "";
    // Commands the table gives no prompt are described by their name.
    return info->prompt != nullptr && info->prompt[0] != '\0' ? info->prompt : info->name;
}

}  // namespace uicmd
