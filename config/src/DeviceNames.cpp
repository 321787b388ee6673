#include "config/DeviceNames.h"

#include "foundation/TextCompare.h"
#include "model/ItemId.h"
#include "model/OPCS_Device.h"

#include <algorithm>

namespace devicenames {

namespace {

bool IsBlank(const std::string& name) {
    return std::all_of(name.begin(), name.end(), [](char c) { return c == ' ' || c == '\t'; });
}

}  // namespace

Problem Check(const std::string& name, const std::vector<std::string>& others) {
    std::string stored = name;
    std::replace(stored.begin(), stored.end(), kItemDelimiter, ' ');
    if (IsBlank(stored)) return Problem::kEmpty;
    for (const std::string& other : others)
        if (EqualNoCase(other, stored)) return Problem::kTaken;
    return Problem::kNone;
}

std::string RefusalText(Problem problem, const std::string& name) {
    switch (problem) {
    case Problem::kNone: return {};
    case Problem::kEmpty: return "Please enter a name for the device.\nOPC clients reach its tags by its name.";
    case Problem::kTaken:
        return "Another device is already named \"" + name +
               "\".\nEach device needs a name of its own (letter case does not count): OPC clients reach its tags by "
               "its name.";
    }
    return {};
}

std::vector<std::string> NamesOf(const Dll<OPCS_Device*>& devices, const OPCS_Device* except) {
    std::vector<std::string> names;
    for (OPCS_Device* device : devices)
        if (device != except && OPCS_Device::IsValidDevice(device)) names.push_back(device->GetName());
    return names;
}

std::vector<std::string> Repeated(const std::vector<std::string>& names) {
    std::vector<std::string> repeated;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool blank = IsBlank(names[i]);
        const auto same = [&](const std::string& other) {
            return blank ? IsBlank(other) : EqualNoCase(other, names[i]);
        };
        if (std::any_of(repeated.begin(), repeated.end(), same)) continue;
        if (blank || std::any_of(names.begin() + static_cast<std::ptrdiff_t>(i) + 1, names.end(), same))
            repeated.push_back(blank ? std::string() : names[i]);
    }
    return repeated;
}

}  // namespace devicenames
