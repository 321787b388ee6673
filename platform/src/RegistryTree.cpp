#include "RegistryTree.h"

#include "platform/Registry.h"

#include <cstdio>

namespace platform {

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kOldHeader = "REGEDIT4";
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// A REG_SZ is written as quoted text only when that gives back the same bytes:
// one terminating zero and nothing the line form cannot hold.
bool IsPlainString(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0) return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == 0 || data[i] < 0x20 || data[i] == 0x7F) return false;
    return true;
}

std::string HexBytes(const std::vector<BYTE>& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) out += ',';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

std::string FormatValue(const RegistryValue& value) {
    std::string line = value.name.empty() ? "@" : "\"" + Escape(value.name) + "\"";
    line += '=';
    char buffer[32];
    if (value.type == REG_SZ && IsPlainString(value.data)) {
        line += "\"" + Escape(std::string(value.data.begin(), value.data.end() - 1)) + "\"";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        const DWORD n = DWORD(value.data[0]) | DWORD(value.data[1]) << 8 | DWORD(value.data[2]) << 16 |
                        DWORD(value.data[3]) << 24;
        std::snprintf(buffer, sizeof buffer, "dword:%08x", n);
        line += buffer;
    } else if (value.type == REG_BINARY) {
        line += "hex:" + HexBytes(value.data);
    } else {
        std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
        line += buffer + HexBytes(value.data);
    }
    return line;
}

void FormatKey(const std::string& path, const RegistryKey& key, bool isRoot, std::string& out) {
    if (!isRoot || !key.Values().empty()) {
        out += "[" + path + "]\n";
        for (const auto& value : key.Values()) out += FormatValue(value) + "\n";
        out += "\n";
    }
    for (const RegistryKey* sub : key.SubKeys()) FormatKey(path + "\\" + sub->Name(), *sub, false, out);
}

// Reads a quoted text starting at text[at] == '"'; at moves past the closing quote.
bool ParseQuoted(const std::string& text, std::size_t& at, std::string& out) {
    out.clear();
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else if (text[i] == '"') {
            at = i + 1;
            return true;
        } else {
            out += text[i];
        }
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(const std::string& text, std::size_t maxDigits, DWORD& out) {
    if (text.empty() || text.size() > maxDigits) return false;
    out = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        out = out << 4 | DWORD(digit);
    }
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<BYTE>& out) {
    out.clear();
    const std::string all = Trim(text);
    if (all.empty()) return true;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = all.find(',', at);
        const std::string token = Trim(all.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        DWORD byte = 0;
        if (!ParseHexNumber(token, 2, byte)) return false;
        out.push_back(BYTE(byte));
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
}

// The data after '=': on success type and data are set; otherwise *why says what is wrong.
bool ParseData(const std::string& text, DWORD& type, std::vector<BYTE>& data, std::string* why) {
    if (StartsWith(text, "\"")) {
        std::size_t at = 0;
        std::string value;
        if (!ParseQuoted(text, at, value)) {
            *why = "unterminated string";
            return false;
        }
        if (!Trim(text.substr(at)).empty()) {
            *why = "text after the closing quote";
            return false;
        }
        type = REG_SZ;
        data.assign(value.begin(), value.end());
        data.push_back(0);
        return true;
    }
    if (StartsWith(text, "dword:")) {
        DWORD n = 0;
        if (!ParseHexNumber(Trim(text.substr(6)), 8, n)) {
            *why = "bad dword number";
            return false;
        }
        type = REG_DWORD;
        data = {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)};
        return true;
    }
    std::size_t bytesAt = std::string::npos;
    if (StartsWith(text, "hex:")) {
        type = REG_BINARY;
        bytesAt = 4;
    } else if (StartsWith(text, "hex(")) {
        const std::size_t close = text.find("):", 4);
        if (close == std::string::npos || !ParseHexNumber(text.substr(4, close - 4), 8, type)) {
            *why = "bad value type";
            return false;
        }
        bytesAt = close + 2;
    }
    if (bytesAt != std::string::npos) {
        if (!ParseHexBytes(text.substr(bytesAt), data)) {
            *why = "bad hex bytes";
            return false;
        }
        return true;
    }
    *why = Trim(text) == "-" ? "value deletions are not kept in registry files" : "unknown kind of data";
    return false;
}

}  // namespace

std::string FoldName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return folded;
}

bool NamesEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

bool IsValidKeyName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength && name.find('\\') == std::string::npos &&
           !HasControlCharacter(name);
}

bool IsValidValueName(const std::string& name) {
    return name.size() <= kMaxValueNameLength && !HasControlCharacter(name);
}

RegistryKey* RegistryKey::FindSubKey(const std::string& name) const {
    auto it = subKeys_.find(FoldName(name));
    return it == subKeys_.end() ? nullptr : it->second.get();
}

RegistryKey* RegistryKey::AddSubKey(const std::string& name, bool* created) {
    auto& slot = subKeys_[FoldName(name)];
    if (created) *created = slot == nullptr;
    if (!slot) slot = std::make_unique<RegistryKey>(name);
    return slot.get();
}

bool RegistryKey::RemoveSubKey(const std::string& name) { return subKeys_.erase(FoldName(name)) > 0; }

std::vector<const RegistryKey*> RegistryKey::SubKeys() const {
    std::vector<const RegistryKey*> keys;
    keys.reserve(subKeys_.size());
    for (const auto& [folded, key] : subKeys_) keys.push_back(key.get());
    return keys;
}

const RegistryValue* RegistryKey::FindValue(const std::string& name) const {
    for (const auto& value : values_)
        if (NamesEqual(value.name, name)) return &value;
    return nullptr;
}

void RegistryKey::SetValue(const std::string& name, DWORD type, std::vector<BYTE> data) {
    for (auto& value : values_) {
        if (NamesEqual(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    values_.push_back(RegistryValue{name, type, std::move(data)});
}

bool RegistryKey::RemoveValue(const std::string& name) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (NamesEqual(it->name, name)) {
            values_.erase(it);
            return true;
        }
    }
    return false;
}

std::string FormatRegistryFile(const std::string& rootName, const RegistryKey& root) {
    std::string out = std::string(kHeader) + "\n\n";
    FormatKey(rootName, root, true, out);
    return out;
}

void ParseRegistryFile(const std::string& text, const std::string& rootName, RegistryKey& root,
                       std::vector<std::string>* problems) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        at = end + 1;
    }
    if (!lines.empty() && StartsWith(lines[0], "\xEF\xBB\xBF")) lines[0].erase(0, 3);

    auto problem = [&](std::size_t index, const std::string& what) {
        if (problems) problems->push_back("line " + std::to_string(index + 1) + ": " + what);
    };

    bool headerSeen = false;
    RegistryKey* current = nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = Trim(lines[i]);
        if (line.empty()) continue;
        if (!headerSeen) {
            headerSeen = true;
            if (line == kHeader || line == kOldHeader) continue;
            problem(i, "the header line \"" + std::string(kHeader) + "\" is missing");
        }
        if (line[0] == ';') continue;
        if (line[0] == '[') {
            current = nullptr;
            if (line.back() != ']') {
                problem(i, "a key line without its closing bracket");
                continue;
            }
            const std::string path = line.substr(1, line.size() - 2);
            if (StartsWith(path, "-")) {
                problem(i, "key deletions are not kept in registry files");
                continue;
            }
            std::vector<std::string> parts;
            for (std::size_t at = 0;;) {
                const std::size_t slash = path.find('\\', at);
                parts.push_back(path.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
                if (slash == std::string::npos) break;
                at = slash + 1;
            }
            if (!NamesEqual(parts[0], rootName)) {
                problem(i, "key \"" + path + "\" is not under " + rootName);
                continue;
            }
            bool valid = true;
            for (std::size_t p = 1; p < parts.size(); ++p) valid = valid && IsValidKeyName(parts[p]);
            if (!valid) {
                problem(i, "bad key name \"" + path + "\"");
                continue;
            }
            current = &root;
            for (std::size_t p = 1; p < parts.size(); ++p) current = current->AddSubKey(parts[p]);
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            const std::size_t first = i;
            // Long hex data goes on over several lines, each but the last ending in a backslash.
            while (line.back() == '\\' && line.find("=hex") != std::string::npos && i + 1 < lines.size()) {
                line.pop_back();
                line += Trim(lines[++i]);
            }
            std::string name;
            std::size_t at = 1;
            if (line[0] == '"') {
                at = 0;
                if (!ParseQuoted(line, at, name)) {
                    problem(first, "unterminated value name");
                    continue;
                }
            }
            while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
            if (at >= line.size() || line[at] != '=') {
                problem(first, "a value line without '='");
                continue;
            }
            DWORD type = 0;
            std::vector<BYTE> data;
            std::string why;
            if (!ParseData(Trim(line.substr(at + 1)), type, data, &why)) {
                problem(first, why + " in value \"" + name + "\"");
                continue;
            }
            if (current == nullptr) {
                problem(first, "value \"" + name + "\" is outside any readable key");
                continue;
            }
            current->SetValue(name, type, std::move(data));
            continue;
        }
        problem(i, "not a key or value line");
    }
}

}  // namespace platform
