#pragma once
// A handle opened by CreateFileA: a file descriptor with the transfer calls
// that ReadFile and WriteFile forward to. Serial ports refine it.

#include "KernelObject.h"

namespace platform {

class FileObject : public KernelObject {
public:
    explicit FileObject(int fd) : fd_(fd) {}
    ~FileObject() override;
    void OnClose() override;

    virtual BOOL Write(const void* buffer, DWORD toWrite, DWORD* written);
    virtual BOOL Read(void* buffer, DWORD toRead, DWORD* read);
    virtual BOOL Flush();

    int Descriptor() const { return fd_; }

protected:
    const int fd_;
};

// errno to the system error code a Windows call would report.
DWORD ErrorFromErrno(int error);

}  // namespace platform
