#include "setup/SupportedModels.h"

#include "platform/Registry.h"

namespace supportedmodels {

std::string Trimmed(std::string_view model) {
    auto junk = [](char c) { return c == ' ' || c == '\r' || c == '\n'; };
    while (!model.empty() && junk(model.front())) model.remove_prefix(1);
    while (!model.empty() && junk(model.back())) model.remove_suffix(1);
    return std::string(model);
}

bool IsSupported(std::string_view model) {
    const std::string name = Trimmed(model);
    if (name.empty()) return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
    BYTE data[4] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    const LSTATUS status = RegQueryValueExA(key, name.c_str(), nullptr, &type, data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool EnsureDefaults() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return true;
    }
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        return false;
    const DWORD one = 1;
    const LSTATUS status =
        RegSetValueExA(key, kDefaultModel, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace supportedmodels
