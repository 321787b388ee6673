#include "platform/Registry.h"

#include "RegistryStore.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace platform {

namespace {

// An open key: its root and the names leading to it. Keys are found again by
// name on every call, because another process may have rewritten the tree.
struct KeyHandle {
    int root = -1;
    std::vector<std::string> path;
    REGSAM access = 0;
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, KeyHandle> handles;
    std::uintptr_t next = 0x1000;
};

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

bool Resolve(HKEY key, KeyHandle& out) {
    if (const int root = RootIndexOf(key); root >= 0) {
        out = KeyHandle{root, {}, KEY_ALL_ACCESS};
        return true;
    }
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.handles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == table.handles.end()) return false;
    out = it->second;
    return true;
}

HKEY NewHandle(KeyHandle handle) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.mutex);
    const std::uintptr_t id = table.next;
    table.next += 4;
    table.handles.emplace(id, std::move(handle));
    return reinterpret_cast<HKEY>(id);
}

// Splits a sub-key path at its backslashes. A trailing backslash is allowed,
// as Windows allows it; a leading one or an empty name between two is not.
bool SplitPath(LPCSTR subKey, std::vector<std::string>& parts) {
    parts.clear();
    if (subKey == nullptr) return true;
    std::string path = subKey;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return *subKey == '\0';
    for (std::size_t at = 0;;) {
        const std::size_t slash = path.find('\\', at);
        std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (!IsValidKeyName(part)) return false;
        parts.push_back(std::move(part));
        if (slash == std::string::npos) return true;
        at = slash + 1;
    }
}

RegistryKey* Walk(RegistryKey* key, const std::vector<std::string>& path) {
    for (const auto& name : path) {
        if (key == nullptr) return nullptr;
        key = key->FindSubKey(name);
    }
    return key;
}

// The key a handle stands for, with the registry lock held by the caller.
LSTATUS Locate(RegistryLock& lock, const KeyHandle& handle, RegistryKey** key) {
    if (lock.Error() != ERROR_SUCCESS) return static_cast<LSTATUS>(lock.Error());
    DWORD error = ERROR_SUCCESS;
    RegistryKey* root = lock.Root(handle.root, &error);
    if (root == nullptr) return static_cast<LSTATUS>(error);
    *key = Walk(root, handle.path);
    return *key != nullptr ? LSTATUS(ERROR_SUCCESS) : LSTATUS(ERROR_KEY_DELETED);
}

std::string ValueName(LPCSTR name) { return name == nullptr ? std::string() : std::string(name); }

LSTATUS Status(DWORD code) { return static_cast<LSTATUS>(code); }

}  // namespace

std::size_t OpenRegistryKeyCount() {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.mutex);
    return table.handles.size();
}

}  // namespace platform

using namespace platform;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return Status(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    KeyHandle base;
    if (!Resolve(hKey, base)) return Status(ERROR_INVALID_HANDLE);
    std::vector<std::string> parts;
    if (!SplitPath(lpSubKey, parts)) return Status(ERROR_FILE_NOT_FOUND);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, base, &key); status != ERROR_SUCCESS) return status;
    KeyHandle opened{base.root, base.path, samDesired};
    for (const auto& part : parts) {
        key = key->FindSubKey(part);
        if (key == nullptr) return Status(ERROR_FILE_NOT_FOUND);
        opened.path.push_back(key->Name());
    }
    *phkResult = NewHandle(std::move(opened));
    return Status(ERROR_SUCCESS);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, LPSECURITY_ATTRIBUTES,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return Status(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    KeyHandle base;
    if (!Resolve(hKey, base)) return Status(ERROR_INVALID_HANDLE);
    std::vector<std::string> parts;
    if (!SplitPath(lpSubKey, parts)) return Status(ERROR_BADKEY);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, base, &key); status != ERROR_SUCCESS) return status;

    // Creation needs the right to create sub keys; opening what exists does not.
    RegistryKey* probe = key;
    bool missing = false;
    for (const auto& part : parts) {
        probe = probe->FindSubKey(part);
        if (probe == nullptr) {
            missing = true;
            break;
        }
    }
    if (missing && !(base.access & KEY_CREATE_SUB_KEY)) return Status(ERROR_ACCESS_DENIED);

    KeyHandle opened{base.root, base.path, samDesired};
    for (const auto& part : parts) {
        key = key->AddSubKey(part);
        opened.path.push_back(key->Name());
    }
    if (missing) {
        if (DWORD saved = lock.Save(base.root); saved != ERROR_SUCCESS) return Status(saved);
    }
    if (lpdwDisposition != nullptr) *lpdwDisposition = missing ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = NewHandle(std::move(opened));
    return Status(ERROR_SUCCESS);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    if (lpData != nullptr && lpcbData == nullptr) return Status(ERROR_INVALID_PARAMETER);
    if (!(handle.access & KEY_QUERY_VALUE)) return Status(ERROR_ACCESS_DENIED);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    const RegistryValue* value = key->FindValue(ValueName(lpValueName));
    if (value == nullptr) return Status(ERROR_FILE_NOT_FOUND);
    if (lpType != nullptr) *lpType = value->type;
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return Status(ERROR_MORE_DATA);
        }
        if (size > 0) std::memcpy(lpData, value->data.data(), size);
    }
    if (lpcbData != nullptr) *lpcbData = size;
    return Status(ERROR_SUCCESS);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    const std::string name = ValueName(lpValueName);
    if (!IsValidValueName(name) || (lpData == nullptr && cbData > 0)) return Status(ERROR_INVALID_PARAMETER);
    if (!(handle.access & KEY_SET_VALUE)) return Status(ERROR_ACCESS_DENIED);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    std::vector<BYTE> data(lpData, lpData + cbData);
    // Writing what is already there changes nothing, and costs no file write.
    if (const RegistryValue* old = key->FindValue(name); old != nullptr && old->type == dwType && old->data == data)
        return Status(ERROR_SUCCESS);
    key->SetValue(name, dwType, std::move(data));
    return Status(lock.Save(handle.root));
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    if (lpName == nullptr || lpcchName == nullptr) return Status(ERROR_INVALID_PARAMETER);
    if (!(handle.access & KEY_ENUMERATE_SUB_KEYS)) return Status(ERROR_ACCESS_DENIED);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    const auto subKeys = key->SubKeys();
    if (dwIndex >= subKeys.size()) return Status(ERROR_NO_MORE_ITEMS);
    const std::string& name = subKeys[dwIndex]->Name();
    if (*lpcchName < name.size() + 1) return Status(ERROR_MORE_DATA);
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = lock.LastWriteTime(handle.root);
    return Status(ERROR_SUCCESS);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    if (lpValueName == nullptr || lpcchValueName == nullptr || (lpData != nullptr && lpcbData == nullptr))
        return Status(ERROR_INVALID_PARAMETER);
    if (!(handle.access & KEY_QUERY_VALUE)) return Status(ERROR_ACCESS_DENIED);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    const auto& values = key->Values();
    if (dwIndex >= values.size()) return Status(ERROR_NO_MORE_ITEMS);
    const RegistryValue& value = values[dwIndex];
    if (*lpcchValueName < value.name.size() + 1) return Status(ERROR_MORE_DATA);
    std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType != nullptr) *lpType = value.type;
    const auto size = static_cast<DWORD>(value.data.size());
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return Status(ERROR_MORE_DATA);
        }
        if (size > 0) std::memcpy(lpData, value.data.data(), size);
    }
    if (lpcbData != nullptr) *lpcbData = size;
    return Status(ERROR_SUCCESS);
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    if (!(handle.access & KEY_QUERY_VALUE)) return Status(ERROR_ACCESS_DENIED);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    std::size_t maxSubKey = 0, maxName = 0, maxData = 0;
    for (const RegistryKey* sub : key->SubKeys()) maxSubKey = std::max(maxSubKey, sub->Name().size());
    for (const auto& value : key->Values()) {
        maxName = std::max(maxName, value.name.size());
        maxData = std::max(maxData, value.data.size());
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(key->SubKeyCount());
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = static_cast<DWORD>(maxSubKey);
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
    if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(key->Values().size());
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = static_cast<DWORD>(maxName);
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = static_cast<DWORD>(maxData);
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = lock.LastWriteTime(handle.root);
    return Status(ERROR_SUCCESS);
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    std::vector<std::string> parts;
    if (lpSubKey == nullptr || !SplitPath(lpSubKey, parts) || parts.empty()) return Status(ERROR_INVALID_PARAMETER);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    const std::string last = parts.back();
    parts.pop_back();
    RegistryKey* parent = Walk(key, parts);
    RegistryKey* target = parent != nullptr ? parent->FindSubKey(last) : nullptr;
    if (target == nullptr) return Status(ERROR_FILE_NOT_FOUND);
    if (target->SubKeyCount() > 0) return Status(ERROR_ACCESS_DENIED);
    parent->RemoveSubKey(last);
    return Status(lock.Save(handle.root));
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeyHandle handle;
    if (!Resolve(hKey, handle)) return Status(ERROR_INVALID_HANDLE);
    if (!(handle.access & KEY_SET_VALUE)) return Status(ERROR_ACCESS_DENIED);
    RegistryLock lock;
    RegistryKey* key = nullptr;
    if (LSTATUS status = Locate(lock, handle, &key); status != ERROR_SUCCESS) return status;
    if (!key->RemoveValue(ValueName(lpValueName))) return Status(ERROR_FILE_NOT_FOUND);
    return Status(lock.Save(handle.root));
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (RootIndexOf(hKey) >= 0) return Status(ERROR_SUCCESS);
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.mutex);
    return table.handles.erase(reinterpret_cast<std::uintptr_t>(hKey)) > 0 ? Status(ERROR_SUCCESS)
                                                                            : Status(ERROR_INVALID_HANDLE);
}
