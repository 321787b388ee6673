#include "foundation/VersionInfo.h"

#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Process.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace versioninfo {

namespace {

constexpr const char* kTranslationOrder[] = {"040704b0", "040904b0", "040904E4"};

constexpr VersionKeyValue kProgramStrings[] = {
    {"CompanyName", "Vell"},
    {"FileDescription", "VOK Explorer OPC Server"},
    {"FileVersion", "2.11.0.0"},
    {"InternalName", "VOK Explorer"},
    {"LegalCopyright", "Copyright (C) Vell Company"},
    {"OriginalFilename", "VOK Explorer"},
    {"ProductName", "VOK Explorer"},
    {"ProductVersion", "2.11"},
};

constexpr VersionTranslation kProgramResource[] = {
    {"040904b0", kProgramStrings},
};

}  // namespace

std::span<const char* const> TranslationOrder() { return kTranslationOrder; }

VersionResource ProgramVersionResource() { return kProgramResource; }

std::string VersionString(VersionResource resource, const std::string& key) {
    for (const char* translation : kTranslationOrder) {
        for (const VersionTranslation& block : resource) {
            if (std::string(block.translation) != translation) continue;
            for (const VersionKeyValue& entry : block.values)
                if (key == entry.key) return entry.value;
        }
    }
    return {};
}

std::string VersionString(const std::string& file, const std::string& key) {
    if (!file.empty() && file != ProgramPath()) return {};
    return VersionString(ProgramVersionResource(), key);
}

std::string CompanyName() { return VersionString(std::string(), "CompanyName"); }
std::string ProductName() { return VersionString(std::string(), "ProductName"); }
std::string FileVersion() { return VersionString(std::string(), "FileVersion"); }
std::string ProductVersion() { return VersionString(std::string(), "ProductVersion"); }
std::string LegalCopyright() { return VersionString(std::string(), "LegalCopyright"); }

double ProgramVersion() {
    static const double version = std::strtod(ProductVersion().c_str(), nullptr);
    return version;
}

std::string ProgramPath() {
    std::vector<char> buffer(260);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ExecutableFolder() {
    const std::string path = ProgramPath();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash + 1);
}

std::string ProgramFolder() {
    const std::string folder = ExecutableFolder();
    if (platform::IsFolderWritable(folder)) return folder;
    const std::string user = platform::UserDataFolder();
    if (user.empty()) return folder;
    std::error_code ignored;
    std::filesystem::create_directories(user, ignored);
    return user;
}

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder.clear();
        name = path;
        return;
    }
    folder = path.substr(0, slash + 1);
    name = path.substr(slash + 1);
}

std::string DateTimeText(const SYSTEMTIME& time) {
    char date[128];
    char clock[128];
    if (GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, date, sizeof date) == 0) return {};
    if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, nullptr, clock, sizeof clock) == 0) return {};
    return std::string(date) + " " + clock;
}

std::string DateTimeText(const FILETIME& time) {
    SYSTEMTIME system{};
    if (!FileTimeToSystemTime(&time, &system)) return {};
    return DateTimeText(system);
}

bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status);
}

std::string SystemErrorText(DWORD code) { return platform::SystemMessageText(code); }

bool IsWindows9x() { return false; }

bool IsNumericType(VARTYPE type) {
    switch (type) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

void Split(const std::string& text, const std::string& delimiters, bool keepEmpty, Dll<std::string>& tokens) {
    tokens.RemoveAll();
    if (text.empty() || delimiters.empty()) return;
    std::string token;
    for (const char c : text) {
        if (delimiters.find(c) != std::string::npos) {
            if (keepEmpty || !token.empty()) tokens.AddTail(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty()) tokens.AddTail(token);
}

}  // namespace versioninfo
