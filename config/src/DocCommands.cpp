#include "config/DocCommands.h"

#include <array>

namespace doccmd {

namespace {

constexpr std::array<DocCommandInfo, 13> kTable{{
    {kAddDevice, "Add Device", "Creates a new device\nAdd a device"},
    {kAddTagGroup, "Add Tag Group", "Adds a new tag group\nAdd a tag group"},
    {kAddTag, "Add Tag", "Creates a new Tag\nAdd an OPC Tag"},
    {kDiscover, "Discover", "Automatically query ports for devices\nSearch for devices"},
    {kOptions, "Options", "Change Program Settings\nProgram Default Settings"},
    {kChooseColumns, "Choose Columns", "Modify tag column settings\nModify tag column settings"},
    {kStartPolling, "Start Polling", ""},
    {kStopPolling, "Stop Polling", ""},
    {kTogglePolling, "Start or Stop polling selected device", ""},
    {kForceUpdate, "Force Update", "Force server to poll device"},
    {kGuiPollingIndicator, "GUI polling indicator", "Indicates GUI Client is actively polling device"},
    {kClientIndicator, "OPC client indicator", "Indicates SCADA Client is active"},
    {kFileOpen, "File Open", ""},
}};

}  // namespace

std::span<const DocCommandInfo> DocCommandTable() { return kTable; }

const DocCommandInfo* FindDocCommand(UINT id) {
    for (const auto& entry : kTable)
        if (entry.id == id) return &entry;
    return nullptr;
}

}  // namespace doccmd
