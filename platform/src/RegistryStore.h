#pragma once
// The registry's files and the lock that guards them. A RegistryLock holds
// this process's registry lock and the lock file of the registry folder, so
// that no other process reads or writes a root file meanwhile; a thread that
// already holds it (SerialNames does, to make several calls one change) takes
// it again at no cost.

#include "RegistryTree.h"

#include "platform/Registry.h"

#include <string>

namespace platform {

constexpr int kRootCount = 7;

// The index of a predefined key (0 for HKEY_CLASSES_ROOT ... 6 for
// HKEY_DYN_DATA), or -1 for any other handle.
int RootIndexOf(HKEY key);
HKEY RootKeyAt(int index);
const char* RootNameAt(int index);

class RegistryLock {
public:
    RegistryLock();
    ~RegistryLock();
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

    // ERROR_SUCCESS when the lock is held; otherwise why the folder could not be used.
    DWORD Error() const { return error_; }

    // The tree of a root key, read again first when its file changed since this
    // process last saw it. Null, with the reason in *error, when the file cannot be read.
    RegistryKey* Root(int index, DWORD* error);
    // When the tree was last written, as a FILETIME.
    FILETIME LastWriteTime(int index) const;

    // Writes a root key's tree to its file atomically. On failure the tree in
    // memory is dropped, so that the next call reads what the file still holds.
    DWORD Save(int index);

private:
    DWORD error_ = ERROR_SUCCESS;
};

}  // namespace platform
