#include "platform/PrivateFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string Reason(const std::string& what, const std::string& path, int code) {
    return what + " " + path + ": " + std::strerror(code);
}

std::string TemporaryName(const std::string& path) {
    std::random_device random;
    return path + ".tmp" + std::to_string(random()) + std::to_string(::getpid());
}

}  // namespace

bool WritePrivateFile(const std::string& path, const std::string& bytes, std::string& error) {
    std::string temporary;
    int fd = -1;
    // O_EXCL: a file (or a link an attacker placed) of that name is never
    // reused with its wider mode; another name is tried instead.
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = TemporaryName(path);
        fd = ::open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) {
            error = Reason("cannot create", temporary, errno);
            return false;
        }
    }
    if (fd < 0) {
        error = "cannot create a temporary file beside " + path;
        return false;
    }
    // The umask can only narrow 0600, but make the mode exact all the same.
    bool ok = ::fchmod(fd, 0600) == 0;
    if (!ok) error = Reason("cannot set the mode of", temporary, errno);
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = Reason("cannot write", temporary, errno);
            ok = false;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    if (ok && ::fsync(fd) != 0) {
        error = Reason("cannot sync", temporary, errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = Reason("cannot close", temporary, errno);
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = Reason("cannot rename to", path, errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself lasts once the folder is synced.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool GiveToOwnerOfFolder(const std::string& path) {
    if (::geteuid() != 0) return true;
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0) return false;
    struct stat own;
    if (::lstat(path.c_str(), &own) != 0) return false;
    if (own.st_uid == info.st_uid && own.st_gid == info.st_gid) return true;
    // lchown: a link is never followed to hand its target to someone else.
    return ::lchown(path.c_str(), info.st_uid, info.st_gid) == 0;
}

}  // namespace platform
