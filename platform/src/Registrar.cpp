#include "platform/Registrar.h"

#include "platform/Com.h"
#include "platform/Registry.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {
namespace {

// ---------------------------------------------------------------------------
// The script as a tree. The whole script is read into it before the registry
// is touched, so a script with a mistake anywhere changes nothing.

enum class KeyMode { Plain, NoRemove, ForceRemove, Delete };

struct ScriptValue {
    std::string name;  // empty: the key's default value
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

struct ScriptKey {
    KeyMode mode = KeyMode::Plain;
    std::string name;
    std::optional<ScriptValue> defaultValue;
    std::vector<ScriptValue> values;
    std::vector<ScriptKey> subKeys;
};

struct ScriptRoot {
    HKEY key = nullptr;
    std::string name;  // as the script spelt it, for messages
    std::vector<ScriptKey> keys;
};

// Thrown inside the parser only; RunRegistryScript turns it into DISP_E_EXCEPTION.
struct ScriptError {
    std::string message;
};

[[noreturn]] void Fail(int line, const std::string& what) {
    throw ScriptError{"line " + std::to_string(line) + ": " + what};
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Bare words are made of these; braces belong to a word only as the braces
// around a GUID ("{...}"), so that "}" right after a name still closes a block.
bool IsWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

bool IsBareWordText(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return IsWordCharacter(c) || c == '{' || c == '}'; });
}

// ---------------------------------------------------------------------------
// %NAME% replacement. A value is put in as the script would have to spell it:
// inside a quoted string its quotes are doubled, and outside quotes it must be
// a bare word. Otherwise a path holding a quote, or a value holding braces and
// keywords, would rewrite the script around it instead of standing for itself.

std::string Replace(const std::string& script, const ScriptReplacements& replacements) {
    std::string out;
    out.reserve(script.size());
    bool inString = false;
    int line = 1;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const char c = script[i];
        if (c == '\n') ++line;
        if (c == '\'') inString = !inString;  // '' inside a string toggles twice, so it stays inside
        if (c != '%') {
            out += c;
            continue;
        }
        const std::size_t end = script.find('%', i + 1);
        if (end == std::string::npos) Fail(line, "a '%' without its closing '%' (write %% for a '%')");
        const std::string name = script.substr(i + 1, end - i - 1);
        i = end;
        if (name.empty()) {
            out += '%';
            continue;
        }
        auto found = std::find_if(replacements.begin(), replacements.end(),
                                  [&](const auto& entry) { return entry.first == name; });
        if (found == replacements.end()) Fail(line, "no replacement for %" + name + "%");
        const std::string& value = found->second;
        if (value.find('\0') != std::string::npos) Fail(line, "the replacement for %" + name + "% holds a zero byte");
        if (inString) {
            for (char v : value) {
                out += v;
                if (v == '\'') out += '\'';
            }
        } else {
            if (!IsBareWordText(value))
                Fail(line, "the replacement for %" + name + "% cannot stand outside quotes");
            out += value;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Tokens.

enum class TokenKind { Word, String, Open, Close, Equals, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;
    int line = 1;
};

class Lexer {
public:
    explicit Lexer(const std::string& text) : text_(text) {}

    Token Next() {
        SkipSpace();
        Token token;
        token.line = line_;
        if (at_ >= text_.size()) return token;
        const char c = text_[at_];
        if (c == '{') {
            if (at_ + 1 < text_.size() && IsWordCharacter(text_[at_ + 1])) return BracedWord(token);
            ++at_;
            token.kind = TokenKind::Open;
        } else if (c == '}') {
            ++at_;
            token.kind = TokenKind::Close;
        } else if (c == '=') {
            ++at_;
            token.kind = TokenKind::Equals;
        } else if (c == '\'') {
            QuotedString(token);
        } else if (IsWordCharacter(c)) {
            token.kind = TokenKind::Word;
            while (at_ < text_.size() && IsWordCharacter(text_[at_])) token.text += text_[at_++];
        } else {
            Fail(line_, std::string("unexpected character '") + c + "'");
        }
        return token;
    }

private:
    void SkipSpace() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '\n') ++line_;
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
            ++at_;
        }
    }

    Token& BracedWord(Token& token) {
        token.kind = TokenKind::Word;
        token.text += text_[at_++];
        while (at_ < text_.size() && IsWordCharacter(text_[at_])) token.text += text_[at_++];
        if (at_ >= text_.size() || text_[at_] != '}')
            Fail(line_, "a name that begins with '{' must end with '}': " + token.text);
        token.text += text_[at_++];
        return token;
    }

    void QuotedString(Token& token) {
        token.kind = TokenKind::String;
        ++at_;
        for (;;) {
            if (at_ >= text_.size()) Fail(token.line, "a string without its closing quote");
            const char c = text_[at_++];
            if (c == '\n') ++line_;
            if (c != '\'') {
                token.text += c;
            } else if (at_ < text_.size() && text_[at_] == '\'') {
                token.text += '\'';
                ++at_;
            } else {
                return;
            }
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
    int line_ = 1;
};

// ---------------------------------------------------------------------------
// The parser.

struct RootName {
    const char* shortName;
    const char* longName;
    HKEY key;
};

std::optional<HKEY> RootKey(const std::string& word) {
    const RootName roots[] = {
        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},     {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {"HKU", "HKEY_USERS", HKEY_USERS},
        {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& root : roots)
        if (EqualsIgnoringCase(word, root.shortName) || EqualsIgnoringCase(word, root.longName)) return root.key;
    return std::nullopt;
}

bool HasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

class Parser {
public:
    explicit Parser(const std::string& text) : lexer_(text) { Advance(); }

    std::vector<ScriptRoot> Script() {
        std::vector<ScriptRoot> roots;
        while (token_.kind != TokenKind::End) roots.push_back(Root());
        return roots;
    }

private:
    void Advance() { token_ = lexer_.Next(); }

    bool IsKeyword(const char* keyword) const {
        return token_.kind == TokenKind::Word && EqualsIgnoringCase(token_.text, keyword);
    }

    void Expect(TokenKind kind, const char* what) {
        if (token_.kind != kind) Fail(token_.line, std::string("expected ") + what + Found());
        Advance();
    }

    std::string Found() const {
        switch (token_.kind) {
        case TokenKind::Word: return ", found '" + token_.text + "'";
        case TokenKind::String: return ", found the string '" + token_.text + "'";
        case TokenKind::Open: return ", found '{'";
        case TokenKind::Close: return ", found '}'";
        case TokenKind::Equals: return ", found '='";
        case TokenKind::End: return " before the end of the script";
        }
        return {};
    }

    ScriptRoot Root() {
        ScriptRoot root;
        if (token_.kind != TokenKind::Word) Fail(token_.line, "expected a root key" + Found());
        const auto key = RootKey(token_.text);
        if (!key) Fail(token_.line, "unknown root key '" + token_.text + "'");
        root.key = *key;
        root.name = token_.text;
        Advance();
        Expect(TokenKind::Open, "'{' after the root key");
        while (token_.kind != TokenKind::Close) {
            if (IsKeyword("val")) Fail(token_.line, "a root key holds no values");
            root.keys.push_back(Key());
        }
        Advance();
        return root;
    }

    // A key or value name: a bare word or a quoted string, never a keyword
    // unless quoted.
    std::string Name(const char* what) {
        if (token_.kind != TokenKind::Word && token_.kind != TokenKind::String)
            Fail(token_.line, std::string("expected ") + what + Found());
        if (token_.kind == TokenKind::Word &&
            (IsKeyword("NoRemove") || IsKeyword("ForceRemove") || IsKeyword("Delete") || IsKeyword("val")))
            Fail(token_.line, "'" + token_.text + "' is a keyword; quote it to use it as a name");
        std::string name = token_.text;
        Advance();
        return name;
    }

    ScriptKey Key() {
        ScriptKey key;
        const int line = token_.line;
        if (IsKeyword("NoRemove")) {
            key.mode = KeyMode::NoRemove;
            Advance();
        } else if (IsKeyword("ForceRemove")) {
            key.mode = KeyMode::ForceRemove;
            Advance();
        } else if (IsKeyword("Delete")) {
            key.mode = KeyMode::Delete;
            Advance();
        }
        key.name = Name("a key name");
        // One key per name: a backslash would make the registry walk a path
        // that unregistering would not take apart again.
        if (key.name.empty() || key.name.find('\\') != std::string::npos || HasControlCharacter(key.name))
            Fail(line, "'" + key.name + "' is not a key name");
        if (token_.kind == TokenKind::Equals) {
            Advance();
            key.defaultValue = Value(std::string());
        }
        if (token_.kind == TokenKind::Open) {
            Advance();
            while (token_.kind != TokenKind::Close) {
                if (IsKeyword("val")) {
                    Advance();
                    const int valueLine = token_.line;
                    std::string name = Name("a value name");
                    if (HasControlCharacter(name)) Fail(valueLine, "'" + name + "' is not a value name");
                    Expect(TokenKind::Equals, "'=' after the value name");
                    key.values.push_back(Value(std::move(name)));
                } else {
                    key.subKeys.push_back(Key());
                }
            }
            Advance();
        }
        if (key.mode == KeyMode::Delete && (key.defaultValue || !key.values.empty() || !key.subKeys.empty()))
            Fail(line, "the key '" + key.name + "' is deleted; it takes no values or sub keys");
        return key;
    }

    ScriptValue Value(std::string name) {
        ScriptValue value;
        value.name = std::move(name);
        const int line = token_.line;
        if (IsKeyword("s")) {
            Advance();
            if (token_.kind != TokenKind::String) Fail(token_.line, "expected a quoted string" + Found());
            value.type = REG_SZ;
            value.data.assign(token_.text.begin(), token_.text.end());
            value.data.push_back(0);
            Advance();
        } else if (IsKeyword("d")) {
            Advance();
            value.type = REG_DWORD;
            const DWORD number = Number(Literal("a number"), line);
            for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<BYTE>(number >> (8 * i)));
        } else if (IsKeyword("b")) {
            Advance();
            value.type = REG_BINARY;
            value.data = HexBytes(Literal("hex digits"), line);
        } else {
            Fail(line, "unknown value type" + Found() + " (s, d or b)");
        }
        return value;
    }

    // Numbers and hex digits may be written bare or quoted.
    std::string Literal(const char* what) {
        if (token_.kind != TokenKind::Word && token_.kind != TokenKind::String)
            Fail(token_.line, std::string("expected ") + what + Found());
        std::string text = token_.text;
        Advance();
        return text;
    }

    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    static DWORD Number(const std::string& text, int line) {
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const std::size_t first = hex ? 2 : 0;
        if (text.size() <= first) Fail(line, "'" + text + "' is not a number");
        std::uint64_t number = 0;
        for (std::size_t i = first; i < text.size(); ++i) {
            const int digit = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
            if (digit < 0) Fail(line, "'" + text + "' is not a number");
            number = number * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
            if (number > 0xFFFFFFFFu) Fail(line, "'" + text + "' does not fit in a DWORD");
        }
        return static_cast<DWORD>(number);
    }

    static std::vector<BYTE> HexBytes(const std::string& text, int line) {
        if (text.size() % 2 != 0) Fail(line, "'" + text + "' is not a whole number of bytes");
        std::vector<BYTE> bytes;
        for (std::size_t i = 0; i < text.size(); i += 2) {
            const int high = HexDigit(text[i]);
            const int low = HexDigit(text[i + 1]);
            if (high < 0 || low < 0) Fail(line, "'" + text + "' is not hex digits");
            bytes.push_back(static_cast<BYTE>(high * 16 + low));
        }
        return bytes;
    }

    Lexer lexer_;
    Token token_;
};

// ---------------------------------------------------------------------------
// Running the tree against the registry.

// An open key, closed when it goes out of scope.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() { Close(); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    HKEY* Out() {
        Close();
        return &key_;
    }
    HKEY Get() const { return key_; }
    void Close() {
        if (key_ != nullptr) RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

class Runner {
public:
    explicit Runner(std::string* error) : error_(error) {}

    LSTATUS Register(HKEY parent, const std::string& parentPath, const ScriptKey& key) {
        const std::string path = parentPath + "\\" + key.name;
        if (key.mode == KeyMode::Delete) return DeleteTree(parent, path, key.name);
        if (key.mode == KeyMode::ForceRemove) {
            if (LSTATUS status = DeleteTree(parent, path, key.name); status != ERROR_SUCCESS) return status;
        }
        OpenKey opened;
        LSTATUS status = RegCreateKeyExA(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, opened.Out(), nullptr);
        if (status != ERROR_SUCCESS) return Failed(status, "cannot create", path);
        if (key.defaultValue) {
            if (status = SetValue(opened.Get(), *key.defaultValue, path); status != ERROR_SUCCESS) return status;
        }
        for (const auto& value : key.values) {
            if (status = SetValue(opened.Get(), value, path); status != ERROR_SUCCESS) return status;
        }
        for (const auto& sub : key.subKeys) {
            if (status = Register(opened.Get(), path, sub); status != ERROR_SUCCESS) return status;
        }
        return ERROR_SUCCESS;
    }

    LSTATUS Unregister(HKEY parent, const std::string& parentPath, const ScriptKey& key) {
        const std::string path = parentPath + "\\" + key.name;
        // A deleted key was not made by the script, so there is nothing to undo.
        if (key.mode == KeyMode::Delete) return ERROR_SUCCESS;
        if (key.mode == KeyMode::ForceRemove) return DeleteTree(parent, path, key.name);
        OpenKey opened;
        LSTATUS status = RegOpenKeyExA(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, opened.Out());
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return Failed(status, "cannot open", path);
        for (auto sub = key.subKeys.rbegin(); sub != key.subKeys.rend(); ++sub) {
            if (status = Unregister(opened.Get(), path, *sub); status != ERROR_SUCCESS) return status;
        }
        for (auto value = key.values.rbegin(); value != key.values.rend(); ++value) {
            if (status = DeleteValue(opened.Get(), value->name, path); status != ERROR_SUCCESS) return status;
        }
        // A key shared with others (CLSID, AppID) keeps its own default value too.
        if (key.mode == KeyMode::NoRemove) return ERROR_SUCCESS;

        DWORD subKeys = 0;
        status = RegQueryInfoKeyA(opened.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return Failed(status, "cannot read", path);
        if (subKeys > 0) {
            // Someone else put keys under it: it stays for them, without what this script set.
            return key.defaultValue ? DeleteValue(opened.Get(), std::string(), path) : ERROR_SUCCESS;
        }
        opened.Close();
        status = RegDeleteKeyA(parent, key.name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Failed(status, "cannot delete", path);
        return ERROR_SUCCESS;
    }

private:
    // Deletes the key and everything under it; a key that is not there is no failure.
    LSTATUS DeleteTree(HKEY parent, const std::string& path, const std::string& name) {
        OpenKey opened;
        LSTATUS status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, opened.Out());
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return Failed(status, "cannot open", path);
        // The registry deletes only keys without sub keys: children go first.
        for (;;) {
            DWORD subKeys = 0;
            DWORD longest = 0;
            status = RegQueryInfoKeyA(opened.Get(), nullptr, nullptr, nullptr, &subKeys, &longest, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) return Failed(status, "cannot read", path);
            if (subKeys == 0) break;
            std::string child(longest + 1, '\0');
            DWORD length = longest + 1;
            status = RegEnumKeyExA(opened.Get(), 0, child.data(), &length, nullptr, nullptr, nullptr, nullptr);
            // Another process may have changed the key in between: look again.
            if (status == ERROR_MORE_DATA || status == ERROR_NO_MORE_ITEMS) continue;
            if (status != ERROR_SUCCESS) return Failed(status, "cannot list", path);
            child.resize(length);
            if (status = DeleteTree(opened.Get(), path + "\\" + child, child); status != ERROR_SUCCESS) return status;
        }
        opened.Close();
        status = RegDeleteKeyA(parent, name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Failed(status, "cannot delete", path);
        return ERROR_SUCCESS;
    }

    LSTATUS SetValue(HKEY key, const ScriptValue& value, const std::string& path) {
        const LSTATUS status = RegSetValueExA(key, value.name.empty() ? nullptr : value.name.c_str(), 0, value.type,
                                              value.data.data(), static_cast<DWORD>(value.data.size()));
        if (status != ERROR_SUCCESS) return Failed(status, "cannot set", ValuePath(path, value.name));
        return ERROR_SUCCESS;
    }

    LSTATUS DeleteValue(HKEY key, const std::string& name, const std::string& path) {
        const LSTATUS status = RegDeleteValueA(key, name.empty() ? nullptr : name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            return Failed(status, "cannot delete", ValuePath(path, name));
        return ERROR_SUCCESS;
    }

    static std::string ValuePath(const std::string& path, const std::string& name) {
        return path + (name.empty() ? std::string(" (default value)") : " value '" + name + "'");
    }

    LSTATUS Failed(LSTATUS status, const char* what, const std::string& path) {
        if (error_ != nullptr) *error_ = std::string(what) + " " + path + " (error " + std::to_string(status) + ")";
        return status;
    }

    std::string* error_;
};

}  // namespace

HRESULT RunRegistryScript(const std::string& script, bool doRegister, const ScriptReplacements& replacements,
                          std::string* error) {
    if (error != nullptr) error->clear();
    std::vector<ScriptRoot> roots;
    try {
        roots = Parser(Replace(script, replacements)).Script();
    } catch (const ScriptError& e) {
        if (error != nullptr) *error = e.message;
        return DISP_E_EXCEPTION;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    try {
        Runner runner(error);
        LSTATUS status = ERROR_SUCCESS;
        if (doRegister) {
            for (const auto& root : roots)
                for (const auto& key : root.keys)
                    if (status = runner.Register(root.key, root.name, key); status != ERROR_SUCCESS)
                        return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        } else {
            for (auto root = roots.rbegin(); root != roots.rend(); ++root)
                for (auto key = root->keys.rbegin(); key != root->keys.rend(); ++key)
                    if (status = runner.Unregister(root->key, root->name, *key); status != ERROR_SUCCESS)
                        return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace platform
