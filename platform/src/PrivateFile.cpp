#include "platform/PrivateFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string Reason(const char* what, int code) { return std::string(what) + ": " + std::strerror(code); }

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool WritePrivateFile(const std::string& path, const std::string& bytes, std::string& error) {
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = Reason("cannot make the new file", errno);
        return false;
    }
    // A file left by an earlier run under this name may carry wider rights.
    bool ok = ::fchmod(fd, 0600) == 0;
    int code = errno;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            code = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        code = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        error = Reason("cannot write the file", code);
        return false;
    }
    // The rename is on the disk once the folder is.
    const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

bool GiveToOwnerOfFolder(const std::string& path, std::string& error) {
    if (::geteuid() != 0) return true;
    struct stat folder {};
    if (::stat(FolderOf(path).c_str(), &folder) != 0) {
        error = Reason("cannot look at the folder", errno);
        return false;
    }
    if (::lchown(path.c_str(), folder.st_uid, folder.st_gid) != 0) {
        error = Reason("cannot give the file to the folder's owner", errno);
        return false;
    }
    return true;
}

}  // namespace platform
