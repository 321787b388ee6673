#pragma once
// One registry value as the program reads and writes it: its name, its type
// and up to 2550 meaningful bytes in a fixed buffer. A plain record, copied
// freely and kept in Dll<RegValue> lists.

#include "platform/Registry.h"

#include <array>
#include <string>

struct RegValue {
    static constexpr DWORD kBufferSize = 2552;
    // The most bytes a value may have to be read into a record.
    static constexpr DWORD kMaxDataSize = 2550;

    std::string name;  // empty or "Default" (any letter case): the key's unnamed value
    std::array<BYTE, kBufferSize> data{};
    DWORD size = 0;
    DWORD type = 0;

    RegValue() = default;
    explicit RegValue(std::string valueName);
    // REG_SZ: the characters and the terminating zero, cut to 2550 bytes in all.
    RegValue(std::string valueName, const std::string& text);
    RegValue(std::string valueName, const char* text);
    // REG_DWORD, 4 bytes.
    RegValue(std::string valueName, DWORD number);
    RegValue(std::string valueName, int number);
    // REG_DWORD 0 or 1.
    RegValue(std::string valueName, bool flag);
    // REG_BINARY, the 8 bytes of the double.
    RegValue(std::string valueName, double number);
    // REG_BINARY, the 16 bytes of the rectangle.
    RegValue(std::string valueName, const RECT& rect);

    bool IsDefaultValue() const;

    // Each getter succeeds only for its type and never reads past the meaningful bytes.
    bool GetString(std::string& out) const;
    bool GetNumber(DWORD& out) const;
    bool GetBool(bool& out) const;
    bool GetDouble(double& out) const;
    bool GetRect(RECT& out) const;

    // Equal: names equal ignoring case, and the same type, size and bytes.
    bool operator==(const RegValue& other) const;
    bool operator!=(const RegValue& other) const { return !(*this == other); }
    // Ordered by name, case-sensitively.
    bool operator<(const RegValue& other) const { return name < other.name; }
};
