#include "platform/File.h"

#include "FileObject.h"

#include <cerrno>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    // A directory where a file is to be written: as on Windows, access is denied.
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_HANDLE_DISK_FULL;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EBUSY: return ERROR_ACCESS_DENIED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_GEN_FAILURE;
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    default: return ERROR_GEN_FAILURE;
    }
}

FileObject::~FileObject() {
    if (fd_ >= 0) ::close(fd_);
}

// The descriptor itself is closed only with the last reference, so that a
// read or write another thread still has in flight never runs on a number an
// unrelated open has been given meanwhile. What others can see of the open
// (the sharing lock) ends at once, so the name can be opened again.
void FileObject::OnClose() {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

BOOL FileObject::Write(const void* buffer, DWORD toWrite, DWORD* written) {
    DWORD done = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (done < toWrite) {
        ssize_t n = ::write(fd_, bytes + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(ErrorFromErrno(errno));
            if (written) *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return TRUE;
}

BOOL FileObject::Read(void* buffer, DWORD toRead, DWORD* read) {
    for (;;) {
        ssize_t n = ::read(fd_, buffer, toRead);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetLastError(ErrorFromErrno(errno));
            if (read) *read = 0;
            return FALSE;
        }
        if (read) *read = static_cast<DWORD>(n);
        return TRUE;
    }
}

BOOL FileObject::Flush() {
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

// Defined with the serial ports: opens a COM name, or returns null with
// ERROR_FILE_NOT_FOUND when the name is no serial port.
HANDLE OpenSerialByName(LPCSTR name, DWORD access, DWORD shareMode, bool* isComName);

}  // namespace platform

using namespace platform;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool isComName = false;
    HANDLE serial = OpenSerialByName(name, access, shareMode, &isComName);
    if (isComName) return serial;

    int flags = O_CLOEXEC | O_NOCTTY;
    const bool wantRead = access & GENERIC_READ, wantWrite = access & GENERIC_WRITE;
    flags |= wantRead && wantWrite ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING: break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(name, flags, 0644);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info{};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (wantWrite && regular) {
        // Sharing between writers: an exclusive writer holds the whole-file lock,
        // writers that share writing hold it shared. A device such as /dev/null
        // is shared by every program on the machine and is not locked.
        const int how = (shareMode & FILE_SHARE_WRITE) ? LOCK_SH : LOCK_EX;
        if (::flock(fd, how | LOCK_NB) != 0) {
            ::close(fd);
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    // Truncation happens only after the sharing test, as on Windows: a file in use is left intact.
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && regular && ::ftruncate(fd, 0) != 0) {
        SetLastError(ErrorFromErrno(errno));
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<FileObject>(fd));
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    auto object = LookupHandleAs<FileObject>(file);
    if (written) *written = 0;
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Write(buffer, toWrite, written);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    auto object = LookupHandleAs<FileObject>(file);
    if (read) *read = 0;
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Read(buffer, toRead, read);
}

BOOL FlushFileBuffers(HANDLE file) {
    auto object = LookupHandleAs<FileObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Flush();
}

BOOL DeleteFileA(LPCSTR name) {
    if (::unlink(name) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    if (!existing || !target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && ::access(target, F_OK) == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (::rename(existing, target) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The new name lives in the folder: it is on the disk once the folder is.
        std::string folder = target;
        const auto slash = folder.rfind('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    auto object = LookupHandleAs<FileObject>(file);
    struct stat st{};
    if (!object || ::fstat(object->Descriptor(), &st) != 0) {
        SetLastError(object ? ErrorFromErrno(errno) : ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<unsigned long long>(st.st_size);
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

DWORD GetFileAttributesA(LPCSTR name) {
    struct stat st{};
    if (::stat(name, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}
