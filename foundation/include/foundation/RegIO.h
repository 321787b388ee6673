#pragma once
// The program's access to the registry: keys addressed by full textual paths
// that begin with a root-key name ("HKEY_LOCAL_MACHINE\Software\..."), typed
// values in RegValue records, listings, searches and whole-tree deletion. A
// RegIO holds one open key and the stack of sub keys entered below it;
// operations act on the innermost one. Failures return false; the reason is
// kept as the system's message text (LastErrorText) and shown nowhere.

#include "foundation/Dll.h"
#include "foundation/RegValue.h"

#include <string>

class RegIO {
public:
    // One sub key entered below the open key.
    struct SubKeyInfo {
        HKEY key = nullptr;
        std::string name;
        bool readOnly = true;
    };

    // Which registry layout lists the serial ports. The NT family's is the one
    // this platform serves; the Windows 9x one is kept for test registries.
    enum class OsFamily { WindowsNT, Windows9x };

    RegIO() = default;
    ~RegIO();
    RegIO(const RegIO&) = delete;
    RegIO& operator=(const RegIO&) = delete;

    // The root key a path names, after leading and trailing blanks and trailing
    // backslashes are removed; the first component is compared exactly, and an
    // unknown one means HKEY_CURRENT_USER. *subPath gets the rest of the path.
    static HKEY RootKeyOf(const std::string& path, std::string* subPath = nullptr);
    static std::string RootKeyName(HKEY root);

    // Closes what is open, then opens the path key by key from the root, each
    // with read access when readOnly is set and with full access otherwise.
    bool Open(const std::string& path, bool readOnly);
    // Opens the path with full access, creating the keys that are missing.
    bool Create(const std::string& path);
    static bool KeyExists(const std::string& path);
    bool IsOpen() const { return open_; }
    // The full path of the innermost open key, beginning with its root's name.
    std::string Path() const;

    bool EnterSubKey(const std::string& name, bool readOnly);
    bool LeaveSubKey();

    // Reads the value named by the record (up to 2550 bytes) into it; the
    // record is left as it was when that fails.
    bool ReadValue(RegValue& value);
    bool WriteValue(const RegValue& value);

    bool ReadString(const std::string& name, std::string& out);
    bool WriteString(const std::string& name, const std::string& text);
    bool ReadNumber(const std::string& name, DWORD& out);
    bool WriteNumber(const std::string& name, DWORD number);
    bool ReadBool(const std::string& name, bool& out);
    bool WriteBool(const std::string& name, bool flag);
    bool ReadDouble(const std::string& name, double& out);
    bool WriteDouble(const std::string& name, double number);
    bool ReadRect(const std::string& name, RECT& out);
    bool WriteRect(const std::string& name, const RECT& rect);

    // The lists are emptied first and filled in the registry's enumeration order.
    bool ListSubKeys(Dll<std::string>& names);
    // Values too long for a record are left out when the data is asked for.
    bool ListValues(Dll<RegValue>& values, bool withData);
    // The full paths of every key below the open one, at any depth, that has a
    // value of that name; parents come before their sub keys.
    bool FindKeysWithValue(const std::string& valueName, Dll<std::string>& paths);

    // Deletes a sub key of the open key with everything beneath it.
    bool DeleteKey(const std::string& name);
    void Close();

    DWORD LastError() const { return lastError_; }
    const std::string& LastErrorText() const { return lastErrorText_; }

    // The COM names of the machine's serial ports, in registry order (the list
    // is emptied first). False, with the list empty, when the key cannot be opened.
    static bool ListSerialPorts(Dll<std::string>& ports, OsFamily family = OsFamily::WindowsNT);

private:
    HKEY Current() const;
    bool OpenPath(const std::string& path, bool readOnly, bool create);
    bool Fail(LSTATUS status);
    static std::string ValueNameOf(const std::string& name);
    bool Search(HKEY key, const std::string& path, const std::string& valueName, Dll<std::string>& paths);
    bool DeleteTree(HKEY parent, const std::string& name);

    HKEY key_ = nullptr;
    bool open_ = false;
    std::string basePath_;
    Dll<SubKeyInfo> subKeys_;
    DWORD lastError_ = ERROR_SUCCESS;
    std::string lastErrorText_;
};
