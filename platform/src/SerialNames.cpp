#include "platform/SerialNames.h"

#include "RegistryStore.h"

#include "platform/Environment.h"
#include "platform/Registry.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>

namespace serialnames {

namespace {

constexpr int kMaxComNumber = 256;

struct Listed {
    std::string path;
    int number;
};

std::string ComName(int number) { return "COM" + std::to_string(number); }

// Every Serialcomm value that names a COM port, in registry order. The
// caller holds the registry lock so that the list stays true while it acts on it.
std::vector<Listed> ReadListed() {
    std::vector<Listed> listed;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return listed;
    DWORD maxName = 0, maxData = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData,
                         nullptr, nullptr) == ERROR_SUCCESS) {
        std::string name(maxName + 1, '\0');
        std::vector<BYTE> data(maxData + 1);
        for (DWORD index = 0;; ++index) {
            DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size()), type = 0;
            const LSTATUS status =
                RegEnumValueA(key, index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status != ERROR_SUCCESS || type != REG_SZ) continue;
            const std::string text(reinterpret_cast<const char*>(data.data()),
                                   std::find(data.begin(), data.begin() + dataSize, BYTE(0)) - data.begin());
            int number = 0;
            if (ParseComName(text, &number)) listed.push_back(Listed{name.substr(0, nameSize), number});
        }
    }
    RegCloseKey(key);
    return listed;
}

std::string Canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// Two paths name one device when they are equal or lead to the same file.
bool SameDevice(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::string ca = Canonical(a);
    return !ca.empty() && ca == Canonical(b);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The /dev/serial/by-id link of a device: it stays the same when the device
// comes back on another port or in another order, where /dev/ttyUSB0 does not.
std::string StablePathOf(const std::string& device) {
    const std::string canonical = Canonical(device);
    if (canonical.empty()) return device;
    const std::string folder = "/dev/serial/by-id";
    for (const auto& name : FolderEntries(folder)) {
        const std::string link = folder + "/" + name;
        if (Canonical(link) == canonical) return link;
    }
    return device;
}

// The number after a device name's prefix ("ttyUSB3" -> 3), or -1.
int DeviceNumber(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 || name.size() > prefix.size() + 6)
        return -1;
    int number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// The kernel makes ttyS nodes for every possible legacy port; only those with
// a UART found behind them (a port type other than 0) are real ports.
bool HasUart(const std::string& name) {
    std::ifstream in("/sys/class/tty/" + name + "/type");
    int type = 0;
    return in >> type && type != 0;
}

bool SetListed(HKEY key, const std::string& path, int number) {
    const std::string data = ComName(number);
    return RegSetValueExA(key, path.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
}

HKEY OpenForWriting(LSTATUS* status) {
    HKEY key = nullptr;
    *status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    return *status == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

bool ParseComName(const std::string& text, int* number) {
    std::string name = text;
    if (name.compare(0, 4, "\\\\.\\") == 0) name.erase(0, 4);
    if (name.size() < 4 || name.size() > 6) return false;
    for (int i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != "COM"[i]) return false;
    if (name[3] == '0') return false;
    int value = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        value = value * 10 + (name[i] - '0');
    }
    if (value < 1 || value > kMaxComNumber) return false;
    if (number != nullptr) *number = value;
    return true;
}

std::vector<Entry> List() {
    platform::RegistryLock lock;
    std::vector<Entry> entries;
    for (const auto& listed : ReadListed()) entries.push_back(Entry{ComName(listed.number), listed.path});
    return entries;
}

std::string DevicePathOf(const std::string& comName) {
    int number = 0;
    if (!ParseComName(comName, &number)) return {};
    platform::RegistryLock lock;
    for (const auto& listed : ReadListed())
        if (listed.number == number) return listed.path;
    return {};
}

bool Assign(const std::string& comName, const std::string& devicePath, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    int number = 0;
    if (!ParseComName(comName, &number)) return fail("\"" + comName + "\" is not a COM name (COM1 to COM256)");
    if (devicePath.empty()) return fail("no device path given for " + ComName(number));

    platform::RegistryLock lock;  // one change for every process: check and write together
    if (lock.Error() != ERROR_SUCCESS)
        return fail("the registry cannot be used: " + platform::SystemMessageText(lock.Error()));
    const std::string stored = StablePathOf(devicePath);
    const auto listed = ReadListed();
    for (const auto& other : listed) {
        if (other.number == number && !SameDevice(other.path, devicePath) && !SameDevice(other.path, stored))
            return fail(ComName(number) + " is already assigned to " + other.path);
    }
    LSTATUS status = ERROR_SUCCESS;
    HKEY key = OpenForWriting(&status);
    if (key == nullptr) return fail("the registry cannot be written: " + platform::SystemMessageText(DWORD(status)));
    // The device loses the names it had under any other path to it.
    for (const auto& other : listed) {
        if (!platform::NamesEqual(other.path, stored) && (SameDevice(other.path, devicePath) || SameDevice(other.path, stored)))
            RegDeleteValueA(key, other.path.c_str());
    }
    const bool ok = SetListed(key, stored, number);
    RegCloseKey(key);
    return ok ? true : fail("the registry cannot be written");
}

bool Remove(const std::string& comName) {
    int number = 0;
    if (!ParseComName(comName, &number)) return false;
    platform::RegistryLock lock;
    bool removed = false;
    HKEY key = nullptr;
    for (const auto& listed : ReadListed()) {
        if (listed.number != number) continue;
        LSTATUS status = ERROR_SUCCESS;
        if (key == nullptr && (key = OpenForWriting(&status)) == nullptr) return false;
        removed = RegDeleteValueA(key, listed.path.c_str()) == ERROR_SUCCESS || removed;
    }
    if (key != nullptr) RegCloseKey(key);
    return removed;
}

std::vector<std::string> MachineDevices() {
    std::vector<std::pair<int, int>> found;  // kind, number
    const char* prefixes[] = {"ttyS", "ttyUSB", "ttyACM"};
    for (const auto& name : FolderEntries("/dev")) {
        for (int kind = 0; kind < 3; ++kind) {
            const int number = DeviceNumber(name, prefixes[kind]);
            if (number < 0) continue;
            if (kind == 0 && !HasUart(name)) continue;
            found.emplace_back(kind, number);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> devices;
    for (const auto& [kind, number] : found) devices.push_back("/dev/" + std::string(prefixes[kind]) + std::to_string(number));
    return devices;
}

void RegisterDevices(const std::vector<std::string>& devicePaths) {
    platform::RegistryLock lock;
    if (lock.Error() != ERROR_SUCCESS) return;
    auto listed = ReadListed();
    std::set<int> used;
    for (const auto& entry : listed) used.insert(entry.number);
    HKEY key = nullptr;
    for (const auto& device : devicePaths) {
        const std::string stored = StablePathOf(device);
        const bool named = std::any_of(listed.begin(), listed.end(), [&](const Listed& entry) {
            return SameDevice(entry.path, device) || SameDevice(entry.path, stored);
        });
        if (named) continue;
        int number = 1;
        while (used.count(number) > 0) ++number;
        if (number > kMaxComNumber) return;
        LSTATUS status = ERROR_SUCCESS;
        if (key == nullptr && (key = OpenForWriting(&status)) == nullptr) return;
        if (!SetListed(key, stored, number)) break;
        used.insert(number);
        listed.push_back(Listed{stored, number});
    }
    if (key != nullptr) RegCloseKey(key);
}

void RegisterMachineDevices() { RegisterDevices(MachineDevices()); }

}  // namespace serialnames
