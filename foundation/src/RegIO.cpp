#include "foundation/RegIO.h"

#include "platform/Environment.h"
#include "platform/SerialNames.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

struct RootName {
    const char* name;
    HKEY key;
};

const RootName* RootNames() {
    static const RootName names[] = {
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},         {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},       {"HKEY_USERS", HKEY_USERS},
        {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA}, {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        {"HKEY_DYN_DATA", HKEY_DYN_DATA},                 {nullptr, nullptr}};
    return names;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Leading blanks, and trailing blanks and backslashes in any mix, go.
std::string Trimmed(const std::string& path) {
    std::size_t begin = 0, end = path.size();
    while (begin < end && IsBlank(path[begin])) ++begin;
    while (end > begin && (IsBlank(path[end - 1]) || path[end - 1] == '\\')) --end;
    return path.substr(begin, end - begin);
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t slash = path.find('\\', at);
        if (slash == std::string::npos) slash = path.size();
        if (slash > at) parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

// Key names are at most 255 characters.
constexpr DWORD kKeyNameBuffer = 256;

}  // namespace

RegIO::~RegIO() { Close(); }

HKEY RegIO::RootKeyOf(const std::string& path, std::string* subPath) {
    const std::string trimmed = Trimmed(path);
    const std::size_t slash = trimmed.find('\\');
    const std::string root = trimmed.substr(0, slash);
    if (subPath != nullptr) *subPath = slash == std::string::npos ? std::string() : trimmed.substr(slash + 1);
    for (const RootName* entry = RootNames(); entry->name != nullptr; ++entry)
        if (root == entry->name) return entry->key;
    return HKEY_CURRENT_USER;
}

std::string RegIO::RootKeyName(HKEY root) {
    for (const RootName* entry = RootNames(); entry->name != nullptr; ++entry)
        if (root == entry->key) return entry->name;
    return {};
}

bool RegIO::Fail(LSTATUS status) {
    lastError_ = static_cast<DWORD>(status);
    lastErrorText_ = platform::SystemMessageText(lastError_);
    return false;
}

HKEY RegIO::Current() const {
    const auto* top = subKeys_.Tail();
    return top != nullptr ? top->Value().key : key_;
}

std::string RegIO::Path() const {
    std::string path = basePath_;
    for (const auto* node = subKeys_.Head(); node != nullptr; node = node->Next()) {
        path += "\\" + node->Value().name;
        if (node == subKeys_.Tail()) break;
    }
    return path;
}

bool RegIO::OpenPath(const std::string& path, bool readOnly, bool create) {
    Close();
    std::string subPath;
    const HKEY root = RootKeyOf(path, &subPath);
    const REGSAM access = readOnly ? KEY_READ : KEY_ALL_ACCESS;
    const auto parts = Components(subPath);

    // A fresh handle on the root itself, so that its access is the one asked for.
    HKEY current = nullptr;
    if (LSTATUS status = RegOpenKeyExA(root, nullptr, 0, access, &current); status != ERROR_SUCCESS)
        return Fail(status);
    std::string full = RootKeyName(root);
    for (const auto& part : parts) {
        HKEY next = nullptr;
        const LSTATUS status =
            create ? RegCreateKeyExA(current, part.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                     &next, nullptr)
                   : RegOpenKeyExA(current, part.c_str(), 0, access, &next);
        RegCloseKey(current);
        if (status != ERROR_SUCCESS) return Fail(status);
        current = next;
        full += "\\" + part;
    }
    key_ = current;
    open_ = true;
    basePath_ = full;
    return true;
}

bool RegIO::Open(const std::string& path, bool readOnly) { return OpenPath(path, readOnly, false); }

bool RegIO::Create(const std::string& path) { return OpenPath(path, false, true); }

bool RegIO::KeyExists(const std::string& path) {
    RegIO probe;
    return probe.Open(path, true);
}

bool RegIO::EnterSubKey(const std::string& name, bool readOnly) {
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    HKEY sub = nullptr;
    if (LSTATUS status = RegOpenKeyExA(Current(), name.c_str(), 0, readOnly ? KEY_READ : KEY_ALL_ACCESS, &sub);
        status != ERROR_SUCCESS)
        return Fail(status);
    subKeys_.AddTail(SubKeyInfo{sub, name, readOnly});
    return true;
}

bool RegIO::LeaveSubKey() {
    auto* top = subKeys_.Tail();
    if (top == nullptr) return false;
    RegCloseKey(top->Value().key);
    subKeys_.RemoveNode(top);
    return true;
}

std::string RegIO::ValueNameOf(const std::string& name) {
    RegValue probe(name);
    return probe.IsDefaultValue() ? std::string() : name;
}

bool RegIO::ReadValue(RegValue& value) {
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    std::array<BYTE, RegValue::kBufferSize> buffer{};
    DWORD type = 0, size = RegValue::kMaxDataSize;
    const std::string name = ValueNameOf(value.name);
    if (LSTATUS status = RegQueryValueExA(Current(), name.c_str(), nullptr, &type, buffer.data(), &size);
        status != ERROR_SUCCESS)
        return Fail(status);
    value.type = type;
    value.size = size;
    value.data = buffer;
    return true;
}

bool RegIO::WriteValue(const RegValue& value) {
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    // A record's size beyond its buffer would write bytes it does not hold.
    if (value.size > RegValue::kBufferSize) return Fail(ERROR_INVALID_PARAMETER);
    const std::string name = ValueNameOf(value.name);
    if (LSTATUS status = RegSetValueExA(Current(), name.c_str(), 0, value.type, value.data.data(), value.size);
        status != ERROR_SUCCESS)
        return Fail(status);
    return true;
}

bool RegIO::ReadString(const std::string& name, std::string& out) {
    RegValue value(name);
    return ReadValue(value) && value.GetString(out);
}

bool RegIO::WriteString(const std::string& name, const std::string& text) { return WriteValue(RegValue(name, text)); }

bool RegIO::ReadNumber(const std::string& name, DWORD& out) {
    RegValue value(name);
    return ReadValue(value) && value.GetNumber(out);
}

bool RegIO::WriteNumber(const std::string& name, DWORD number) { return WriteValue(RegValue(name, number)); }

bool RegIO::ReadBool(const std::string& name, bool& out) {
    RegValue value(name);
    return ReadValue(value) && value.GetBool(out);
}

bool RegIO::WriteBool(const std::string& name, bool flag) { return WriteValue(RegValue(name, flag)); }

bool RegIO::ReadDouble(const std::string& name, double& out) {
    RegValue value(name);
    return ReadValue(value) && value.GetDouble(out);
}

bool RegIO::WriteDouble(const std::string& name, double number) { return WriteValue(RegValue(name, number)); }

bool RegIO::ReadRect(const std::string& name, RECT& out) {
    RegValue value(name);
    return ReadValue(value) && value.GetRect(out);
}

bool RegIO::WriteRect(const std::string& name, const RECT& rect) { return WriteValue(RegValue(name, rect)); }

bool RegIO::ListSubKeys(Dll<std::string>& names) {
    names.RemoveAll();
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    char name[kKeyNameBuffer];
    for (DWORD index = 0;; ++index) {
        DWORD length = kKeyNameBuffer;
        const LSTATUS status = RegEnumKeyExA(Current(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        if (status != ERROR_SUCCESS) return Fail(status);
        names.AddTail(std::string(name, length));
    }
}

bool RegIO::ListValues(Dll<RegValue>& values, bool withData) {
    values.RemoveAll();
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    DWORD maxName = 0;
    if (LSTATUS status = RegQueryInfoKeyA(Current(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          &maxName, nullptr, nullptr, nullptr);
        status != ERROR_SUCCESS)
        return Fail(status);
    std::vector<char> name(maxName + 1);
    for (DWORD index = 0;;) {
        RegValue value;
        DWORD length = static_cast<DWORD>(name.size()), type = 0, size = RegValue::kMaxDataSize;
        LSTATUS status = RegEnumValueA(Current(), index, name.data(), &length, nullptr, &type,
                                       withData ? value.data.data() : nullptr, withData ? &size : nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        if (status == ERROR_MORE_DATA) {
            // Either the name outgrew the buffer (the key changed meanwhile) or the data is too long.
            length = static_cast<DWORD>(name.size());
            status = RegEnumValueA(Current(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_MORE_DATA) {
                name.resize(name.size() * 2 + 256);
                continue;
            }
            if (status == ERROR_SUCCESS) {
                ++index;  // a value no record can hold
                continue;
            }
            if (status == ERROR_NO_MORE_ITEMS) return true;
        }
        if (status != ERROR_SUCCESS) return Fail(status);
        value.name.assign(name.data(), length);
        value.type = type;
        value.size = withData ? size : 0;
        values.AddTail(value);
        ++index;
    }
}

bool RegIO::Search(HKEY key, const std::string& path, const std::string& valueName, Dll<std::string>& paths) {
    char name[kKeyNameBuffer];
    for (DWORD index = 0;; ++index) {
        DWORD length = kKeyNameBuffer;
        const LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        if (status != ERROR_SUCCESS) return Fail(status);
        const std::string subName(name, length);
        HKEY sub = nullptr;
        if (LSTATUS opened = RegOpenKeyExA(key, subName.c_str(), 0, KEY_READ, &sub); opened != ERROR_SUCCESS)
            return Fail(opened);
        const std::string subPath = path + "\\" + subName;
        if (RegQueryValueExA(sub, valueName.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            paths.AddTail(subPath);
        const bool ok = Search(sub, subPath, valueName, paths);
        RegCloseKey(sub);
        if (!ok) return false;
    }
}

bool RegIO::FindKeysWithValue(const std::string& valueName, Dll<std::string>& paths) {
    paths.RemoveAll();
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    return Search(Current(), Path(), ValueNameOf(valueName), paths);
}

bool RegIO::DeleteTree(HKEY parent, const std::string& name) {
    HKEY key = nullptr;
    if (LSTATUS status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key); status != ERROR_SUCCESS)
        return Fail(status);
    char child[kKeyNameBuffer];
    for (;;) {
        DWORD length = kKeyNameBuffer;
        const LSTATUS status = RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        // Always the first remaining sub key: stop at the first that will not go,
        // or the same one would be tried for ever.
        if (status != ERROR_SUCCESS || !DeleteTree(key, std::string(child, length))) {
            RegCloseKey(key);
            return status != ERROR_SUCCESS ? Fail(status) : false;
        }
    }
    RegCloseKey(key);
    if (LSTATUS status = RegDeleteKeyA(parent, name.c_str()); status != ERROR_SUCCESS) return Fail(status);
    return true;
}

bool RegIO::DeleteKey(const std::string& name) {
    if (!open_) return Fail(ERROR_INVALID_HANDLE);
    if (Trimmed(name).empty()) return Fail(ERROR_INVALID_PARAMETER);
    return DeleteTree(Current(), name);
}

void RegIO::Close() {
    while (LeaveSubKey()) {
    }
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
    open_ = false;
    basePath_.clear();
}

bool RegIO::ListSerialPorts(Dll<std::string>& ports, OsFamily family) {
    ports.RemoveAll();
    RegIO registry;
    if (family == OsFamily::WindowsNT) {
        Dll<RegValue> values;
        if (!registry.Open(std::string("HKEY_LOCAL_MACHINE\\") + serialnames::kSerialCommKey, true) ||
            !registry.ListValues(values, true))
            return false;
        for (const auto* node = values.Head(); node != nullptr; node = node->Next()) {
            std::string text;
            if (node->Value().GetString(text) && text.compare(0, 3, "COM") == 0) ports.AddTail(text);
            if (node == values.Tail()) break;
        }
        return true;
    }
    Dll<std::string> paths;
    if (!registry.Open("HKEY_LOCAL_MACHINE\\Enum", true) || !registry.FindKeysWithValue("PORTNAME", paths))
        return false;
    for (const auto* node = paths.Head(); node != nullptr; node = node->Next()) {
        RegIO key;
        std::string text;
        if (key.Open(node->Value(), true) && key.ReadString("PORTNAME", text) && text.find("COM") != std::string::npos)
            ports.AddTail(text);
        if (node == paths.Tail()) break;
    }
    return true;
}
