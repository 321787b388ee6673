#include "platform/Environment.h"

#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace {

// setenv and getenv do not guard each other; the calls here share one lock.
std::mutex& EnvironmentMutex() {
    static std::mutex mutex;
    return mutex;
}

struct MessageText {
    DWORD code;
    const char* text;
};

// The English texts of the system error codes the platform reports.
constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_IRQ_BUSY,
     "Unable to open a device that was sharing an interrupt request (IRQ) with other devices. At least one other "
     "device that uses that IRQ was already opened."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
};

const char* FindMessage(DWORD code) {
    for (const auto& message : kMessages)
        if (message.code == code) return message.text;
    return nullptr;
}

bool IsValidName(LPCSTR name) { return name != nullptr && *name != '\0' && std::strchr(name, '=') == nullptr; }

}  // namespace

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (!IsValidName(name)) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    std::string value;
    {
        std::lock_guard<std::mutex> guard(EnvironmentMutex());
        const char* found = std::getenv(name);
        if (found == nullptr) {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        value = found;
    }
    if (buffer == nullptr || size < value.size() + 1) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
    if (!IsValidName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(EnvironmentMutex());
    const int rc = value == nullptr ? ::unsetenv(name) : ::setenv(name, value, 1);
    if (rc != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
    constexpr DWORD kServed = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if ((flags & ~(kServed | FORMAT_MESSAGE_MAX_WIDTH_MASK)) != 0 || !(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        !(flags & FORMAT_MESSAGE_IGNORE_INSERTS) || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = FindMessage(messageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::string line = std::string(text) + "\r\n";
    if (size < line.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, line.c_str(), line.size() + 1);
    return static_cast<DWORD>(line.size());
}

namespace platform {

std::string SystemMessageText(DWORD code) {
    char buffer[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                   sizeof buffer, nullptr);
    if (n == 0) return "Error " + std::to_string(code);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace platform

namespace platform {

bool DisplayAvailable() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (set("QT_QPA_PLATFORM") || set("WAYLAND_DISPLAY")) return true;
    const char* value = std::getenv("DISPLAY");
    const std::string display = value != nullptr ? value : "";
    if (display.empty()) return false;
    // ":N" or ":N.S" is a local server with a socket; a remote one is trusted.
    if (display.front() != ':') return true;
    const std::string number = display.substr(1, display.find('.') - 1);
    std::error_code ignored;
    return std::filesystem::exists("/tmp/.X11-unix/X" + number, ignored);
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace platform
