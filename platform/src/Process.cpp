#include "platform/Process.h"

#include "platform/Environment.h"

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Variable(const char* name) {
    DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
    if (needed == 0) return {};
    std::vector<char> buffer(needed);
    const DWORD length = GetEnvironmentVariableA(name, buffer.data(), needed);
    if (length == 0 || length >= needed) return {};
    return std::string(buffer.data(), length);
}

std::string HomeFolder() {
    std::string home = Variable("HOME");
    if (!home.empty()) return home;
    std::vector<char> scratch(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (module != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::vector<char> path(4096);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        if (static_cast<std::size_t>(length) < path.size()) {
            path.resize(static_cast<std::size_t>(length));
            break;
        }
        path.resize(path.size() * 2);
    }
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.data(), path.size());
    buffer[path.size()] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

namespace platform {

std::string UserDataFolder() {
    const std::string xdg = Variable("XDG_DATA_HOME");
    if (!xdg.empty() && xdg.front() == '/') return WithSlash(xdg) + "vok/";
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    return WithSlash(home) + ".local/share/vok/";
}

std::string UserRuntimeFolder() {
    // The effective user owns what this process creates, so it is the one the
    // folder must belong to.
    const uid_t user = ::geteuid();
    const std::string xdg = Variable("XDG_RUNTIME_DIR");
    const std::string folder = !xdg.empty() && xdg.front() == '/' ? WithSlash(xdg) + "vok/"
                                                                  : "/tmp/vok-" + std::to_string(user) + "/";
    const std::string path = folder.substr(0, folder.size() - 1);
    if (::mkdir(path.c_str(), 0700) == 0) {
        // The umask may have taken bits away; the check below wants exactly 0700.
        if (::chmod(path.c_str(), 0700) != 0) return {};
    } else if (errno != EEXIST) {
        return {};
    }
    // The folder may have been there before, made by anyone when it lies in
    // /tmp: a link, a foreign folder or one others can enter would let them
    // take or break the locks, so only a private folder of this user will do.
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (!S_ISDIR(st.st_mode) || st.st_uid != user || (st.st_mode & 07777) != 0700) return {};
    return folder;
}

bool IsFolderWritable(const std::string& folder) {
    if (folder.empty()) return false;
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace platform

namespace platform {

bool StartDetachedProgram(const std::string& path, const std::vector<std::string>& arguments, std::string& error) {
    if (::access(path.c_str(), X_OK) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // Everything the new processes need is made before fork: between fork and
    // exec only async-signal-safe calls are allowed in a threaded program.
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        // The first child only starts the second and ends, so that the program
        // becomes nobody's child here and leaves no process to wait for.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (null > 2) ::close(null);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "cannot start " + path;
        return false;
    }
    return true;
}

}  // namespace platform
