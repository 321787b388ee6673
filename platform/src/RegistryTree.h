#pragma once
// The keys and values of one root key in memory, and their text form: the
// "Windows Registry Editor Version 5.00" file the registry keeps on disk.

#include "platform/WinTypes.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct RegistryValue {
    std::string name;  // empty: the key's default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Names compare ignoring ASCII letter case, as the registry's do; the folded
// form is upper case so that sub keys enumerate in NT's order.
std::string FoldName(const std::string& name);
bool NamesEqual(const std::string& a, const std::string& b);

class RegistryKey {
public:
    explicit RegistryKey(std::string name) : name_(std::move(name)) {}

    const std::string& Name() const { return name_; }

    RegistryKey* FindSubKey(const std::string& name) const;
    // Returns the sub key, creating it when missing (*created tells which).
    RegistryKey* AddSubKey(const std::string& name, bool* created = nullptr);
    bool RemoveSubKey(const std::string& name);
    std::vector<const RegistryKey*> SubKeys() const;
    std::size_t SubKeyCount() const { return subKeys_.size(); }

    const RegistryValue* FindValue(const std::string& name) const;
    // Sets a value; an existing one keeps its place and the spelling of its name.
    void SetValue(const std::string& name, DWORD type, std::vector<BYTE> data);
    bool RemoveValue(const std::string& name);
    const std::vector<RegistryValue>& Values() const { return values_; }


private:
    std::string name_;
    std::map<std::string, std::unique_ptr<RegistryKey>> subKeys_;  // by folded name
    std::vector<RegistryValue> values_;
};

// Key and value names the file form can carry: key names are 1..255
// characters without backslashes, and neither kind holds control characters.
bool IsValidKeyName(const std::string& name);
bool IsValidValueName(const std::string& name);

// The text of a root key's file.
std::string FormatRegistryFile(const std::string& rootName, const RegistryKey& root);

// Reads a root key's file into root. Lines that cannot be read are skipped and
// described in *problems ("line 7: ..."); everything readable is kept.
void ParseRegistryFile(const std::string& text, const std::string& rootName, RegistryKey& root,
                       std::vector<std::string>* problems);

}  // namespace platform
