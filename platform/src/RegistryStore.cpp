#include "RegistryStore.h"

#include "FileObject.h"

#include "platform/Environment.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::array<const char*, kRootCount> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",     "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

constexpr const char* kLockFileName = "registry.lock";

// What identifies one version of a file: a rewrite is a rename of a new file,
// so the inode changes even when size and time happen to match.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileStamp Of(const struct stat& st) {
        return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
};

struct RootState {
    std::string path;                   // the file the tree was read from
    std::unique_ptr<RegistryKey> tree;  // null: read the file on next use
    bool exists = false;                // the file existed when read
    FileStamp stamp;
    bool damaged = false;  // the file had lines that could not be read
};

struct Store {
    std::recursive_mutex mutex;
    int depth = 0;  // nested holds on the owning thread
    int lockFd = -1;
    std::string folder;  // the folder of the held lock
    DWORD lockError = ERROR_SUCCESS;
    std::array<RootState, kRootCount> roots;
    std::vector<std::string> problems;
};

Store& TheStore() {
    static Store store;
    return store;
}

std::mutex& ProblemsMutex() {
    static std::mutex mutex;
    return mutex;
}

DWORD MakeFolders(const std::string& folder) {
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        const std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return ErrorFromErrno(errno);
    }
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0) return ErrorFromErrno(errno);
    return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
}

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes text to path through a temporary file in the same folder, so that a
// reader (or a crash) sees either the old file or the new one, never a part.
DWORD ReplaceFile(const std::string& folder, const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ErrorFromErrno(errno);
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return error == ENOSPC || error == EDQUOT ? ERROR_HANDLE_DISK_FULL : ERROR_CANTWRITE;
    }
    // The rename itself reaches the disk with the folder.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ERROR_SUCCESS;
}

// Keeps the damaged file under a name of its own before it is replaced, so
// that whatever could not be read is still there for a person to look at.
bool KeepDamagedCopy(const std::string& path) {
    for (int n = 1; n < 1000; ++n) {
        const std::string copy = path + ".bad" + (n == 1 ? "" : "." + std::to_string(n));
        if (::link(path.c_str(), copy.c_str()) == 0) return true;
        if (errno == EEXIST) continue;
        // A file system without hard links gets a plain copy.
        const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string text;
        const bool read = in >= 0 && ReadAll(in, text);
        if (in >= 0) ::close(in);
        if (!read) return false;
        const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (out < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        const bool ok = WriteAll(out, text) && ::fsync(out) == 0;
        ::close(out);
        return ok;
    }
    return false;
}

void Report(const std::string& path, const std::vector<std::string>& found) {
    if (found.empty()) return;
    std::fprintf(stderr, "vok: registry file %s is damaged; its readable keys and values are kept:\n", path.c_str());
    constexpr std::size_t kShown = 10;  // a file of garbage would fill the screen
    std::lock_guard<std::mutex> guard(ProblemsMutex());
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (i < kShown) std::fprintf(stderr, "  %s\n", found[i].c_str());
        TheStore().problems.push_back(path + ": " + found[i]);
    }
    if (found.size() > kShown) std::fprintf(stderr, "  ... and %zu more\n", found.size() - kShown);
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return "/tmp";
}

}  // namespace

int RootIndexOf(HKEY key) {
    for (int i = 0; i < kRootCount; ++i)
        if (key == RootKeyAt(i)) return i;
    return -1;
}

HKEY RootKeyAt(int index) { return PredefinedKey(0x80000000u + static_cast<std::uint32_t>(index)); }

const char* RootNameAt(int index) { return kRootNames.at(static_cast<std::size_t>(index)); }

std::string RegistryFolder() {
    std::string folder(256, '\0');
    for (;;) {
        const DWORD n = GetEnvironmentVariableA("VOK_REGISTRY_DIR", folder.data(), static_cast<DWORD>(folder.size()));
        if (n == 0) break;
        if (n < folder.size()) return folder.substr(0, n);
        folder.resize(n);
    }
    return HomeFolder() + "/.config/vok/registry";
}

std::vector<std::string> RegistryProblems() {
    std::lock_guard<std::mutex> guard(ProblemsMutex());
    return TheStore().problems;
}

void ClearRegistryProblems() {
    std::lock_guard<std::mutex> guard(ProblemsMutex());
    TheStore().problems.clear();
}

RegistryLock::RegistryLock() {
    Store& store = TheStore();
    store.mutex.lock();
    if (store.depth++ > 0) {
        error_ = store.lockError;
        return;
    }
    store.folder = RegistryFolder();
    store.lockError = MakeFolders(store.folder);
    if (store.lockError == ERROR_SUCCESS) {
        const std::string lockPath = store.folder + "/" + kLockFileName;
        store.lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (store.lockFd < 0) {
            store.lockError = ErrorFromErrno(errno);
        } else {
            int rc;
            while ((rc = ::flock(store.lockFd, LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (rc != 0) {
                store.lockError = ErrorFromErrno(errno);
                ::close(store.lockFd);
                store.lockFd = -1;
            }
        }
    }
    error_ = store.lockError;
}

RegistryLock::~RegistryLock() {
    Store& store = TheStore();
    if (--store.depth == 0 && store.lockFd >= 0) {
        ::close(store.lockFd);  // releases the lock file
        store.lockFd = -1;
    }
    store.mutex.unlock();
}

RegistryKey* RegistryLock::Root(int index, DWORD* error) {
    Store& store = TheStore();
    if (error_ != ERROR_SUCCESS) {
        *error = error_;
        return nullptr;
    }
    RootState& state = store.roots.at(static_cast<std::size_t>(index));
    const std::string path = store.folder + "/" + RootNameAt(index) + ".reg";
    const bool samePath = state.path == path && state.tree != nullptr;

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            *error = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTREAD;
            return nullptr;
        }
        if (!samePath || state.exists) {
            state = RootState{};
            state.path = path;
            state.tree = std::make_unique<RegistryKey>(RootNameAt(index));
        }
        return state.tree.get();
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        *error = ERROR_CANTREAD;
        return nullptr;
    }
    if (samePath && state.exists && state.stamp == FileStamp::Of(st)) {
        ::close(fd);
        return state.tree.get();
    }
    std::string text;
    const bool read = ReadAll(fd, text);
    ::close(fd);
    if (!read) {
        state.tree.reset();
        *error = ERROR_CANTREAD;
        return nullptr;
    }
    auto tree = std::make_unique<RegistryKey>(RootNameAt(index));
    std::vector<std::string> found;
    ParseRegistryFile(text, RootNameAt(index), *tree, &found);
    Report(path, found);
    state.path = path;
    state.tree = std::move(tree);
    state.exists = true;
    state.stamp = FileStamp::Of(st);
    state.damaged = !found.empty();
    return state.tree.get();
}

FILETIME RegistryLock::LastWriteTime(int index) const {
    const RootState& state = TheStore().roots.at(static_cast<std::size_t>(index));
    constexpr std::uint64_t kEpochDifference = 11'644'473'600ULL;  // seconds from 1601 to 1970
    if (!state.exists) return FILETIME{};
    const std::uint64_t ticks = (kEpochDifference + static_cast<std::uint64_t>(state.stamp.modified.tv_sec)) * 10'000'000ULL +
                                static_cast<std::uint64_t>(state.stamp.modified.tv_nsec) / 100;
    return UInt64ToFileTime(ticks);
}

DWORD RegistryLock::Save(int index) {
    Store& store = TheStore();
    RootState& state = store.roots.at(static_cast<std::size_t>(index));
    if (error_ != ERROR_SUCCESS) return error_;
    if (state.tree == nullptr) return ERROR_CANTWRITE;
    if (state.damaged && state.exists && !KeepDamagedCopy(state.path)) {
        // Never replace a damaged file whose unreadable part would then be lost.
        state.tree.reset();
        return ERROR_CANTWRITE;
    }
    const DWORD result = ReplaceFile(store.folder, state.path, FormatRegistryFile(RootNameAt(index), *state.tree));
    struct stat st{};
    if (result != ERROR_SUCCESS || ::stat(state.path.c_str(), &st) != 0) {
        state.tree.reset();
        return result != ERROR_SUCCESS ? result : ERROR_CANTWRITE;
    }
    state.exists = true;
    state.damaged = false;
    state.stamp = FileStamp::Of(st);
    return ERROR_SUCCESS;
}

}  // namespace platform
