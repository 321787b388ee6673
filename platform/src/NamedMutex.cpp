// Named mutexes as the single-instance guard: the name is an exclusive flock
// on a file in the user's runtime folder. flock belongs to the open file
// description, so a second open of the same file conflicts even within one
// process, and the kernel drops the lock when the holder ends however it ends.

#include "platform/Process.h"
#include "platform/Sync.h"

#include "FileObject.h"
#include "KernelObject.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace platform {
namespace {

// Room for ".lock" within the 255 bytes a file name may have.
constexpr std::size_t kMaxNameLength = 250;

bool IsKeptCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// The lock file's name for a mutex name. Every other character, '/' among
// them, becomes '_', so no name reaches outside the runtime folder.
std::string LockFileName(const std::string& name) {
    std::string file = name;
    for (char& c : file)
        if (!IsKeptCharacter(c)) c = '_';
    return file + ".lock";
}

class NamedMutex final : public KernelObject {
public:
    // fd holds the lock, or is -1 for a handle that lost the race for the name.
    explicit NamedMutex(int fd) : fd_(fd) {}
    ~NamedMutex() override { Release(); }
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    void OnClose() override { Release(); }

    // False when there was nothing to give up.
    bool Release() {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return false;
        // Closing the only descriptor of the open file drops the lock. The
        // file stays: removing it would let a newcomer lock a fresh file of
        // the same name while an older process still holds the removed one.
        ::close(fd_);
        fd_ = -1;
        return true;
    }

private:
    std::mutex mutex_;
    int fd_;
};

}  // namespace
}  // namespace platform

using namespace platform;

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    // initialOwner changes nothing: a handle that got the name holds it until
    // it is closed or released, which is all the guard needs.
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string text = name;
    if (text.size() > kMaxNameLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string folder = UserRuntimeFolder();
    if (folder.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    const std::string path = folder + LockFileName(text);
    // Not inherited by programs this one starts, which would otherwise keep
    // the name after this process ended; never through a link planted in its place.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        SetLastError(errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
        return nullptr;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK) {
            SetLastError(ErrorFromErrno(error));
            return nullptr;
        }
        HANDLE handle = RegisterHandle(std::make_shared<NamedMutex>(-1));
        SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
    }
    HANDLE handle = RegisterHandle(std::make_shared<NamedMutex>(fd));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto object = LookupHandleAs<NamedMutex>(mutex);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
