#include "foundation/RegValue.h"

#include <algorithm>
#include <cstring>

namespace {

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
               return upper(x) == upper(y);
           });
}

}  // namespace

RegValue::RegValue(std::string valueName) : name(std::move(valueName)) {}

RegValue::RegValue(std::string valueName, const std::string& text) : name(std::move(valueName)), type(REG_SZ) {
    const std::size_t characters = std::min<std::size_t>(text.size(), kMaxDataSize - 1);
    std::memcpy(data.data(), text.data(), characters);
    data[characters] = 0;
    size = static_cast<DWORD>(characters + 1);
}

RegValue::RegValue(std::string valueName, const char* text)
    : RegValue(std::move(valueName), std::string(text != nullptr ? text : "")) {}

RegValue::RegValue(std::string valueName, DWORD number) : name(std::move(valueName)), size(4), type(REG_DWORD) {
    std::memcpy(data.data(), &number, 4);
}

RegValue::RegValue(std::string valueName, int number) : RegValue(std::move(valueName), static_cast<DWORD>(number)) {}

RegValue::RegValue(std::string valueName, bool flag) : RegValue(std::move(valueName), DWORD(flag ? 1 : 0)) {}

RegValue::RegValue(std::string valueName, double number) : name(std::move(valueName)), size(8), type(REG_BINARY) {
    static_assert(sizeof number == 8);
    std::memcpy(data.data(), &number, 8);
}

RegValue::RegValue(std::string valueName, const RECT& rect) : name(std::move(valueName)), size(16), type(REG_BINARY) {
    static_assert(sizeof rect == 16);
    std::memcpy(data.data(), &rect, 16);
}

bool RegValue::IsDefaultValue() const { return name.empty() || EqualIgnoringCase(name, "Default"); }

bool RegValue::GetString(std::string& out) const {
    if (type != REG_SZ) return false;
    const auto end = data.begin() + std::min<DWORD>(size, kBufferSize);
    out.assign(data.begin(), std::find(data.begin(), end, BYTE(0)));
    return true;
}

bool RegValue::GetNumber(DWORD& out) const {
    if (type != REG_DWORD || size < 4) return false;
    std::memcpy(&out, data.data(), 4);
    return true;
}

bool RegValue::GetBool(bool& out) const {
    DWORD number = 0;
    if (!GetNumber(number)) return false;
    out = number != 0;
    return true;
}

bool RegValue::GetDouble(double& out) const {
    if (type != REG_BINARY || size < 8) return false;
    std::memcpy(&out, data.data(), 8);
    return true;
}

bool RegValue::GetRect(RECT& out) const {
    if (type != REG_BINARY || size < 16) return false;
    std::memcpy(&out, data.data(), 16);
    return true;
}

bool RegValue::operator==(const RegValue& other) const {
    if (!EqualIgnoringCase(name, other.name) || type != other.type || size != other.size) return false;
    const DWORD n = std::min<DWORD>(size, kBufferSize);
    return std::equal(data.begin(), data.begin() + n, other.data.begin());
}
