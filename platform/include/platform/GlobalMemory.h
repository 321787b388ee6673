#pragma once
// Global memory blocks, the medium of the OPC data streams. A handle is an
// opaque token that resolves only while its block is alive, so a freed or
// forged handle is refused (ERROR_INVALID_HANDLE) instead of touching memory.

#include "platform/WinTypes.h"

using HGLOBAL = void*;

constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;
constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// A block of dwBytes (0 is allowed); null when out of memory.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
// Resizes the block (new bytes zeroed with GMEM_ZEROINIT) keeping its contents
// and its handle; null (the block unchanged) on failure or while it is locked.
HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
// The block's first byte, counting one lock; null for an invalid handle.
LPVOID GlobalLock(HGLOBAL hMem);
// TRUE while the block stays locked, FALSE once the last lock is gone (with
// GetLastError NO_ERROR) or for an invalid handle (ERROR_INVALID_HANDLE) or a
// block that was not locked (ERROR_NOT_LOCKED).
BOOL GlobalUnlock(HGLOBAL hMem);
// The size in bytes; 0 for an invalid handle.
SIZE_T GlobalSize(HGLOBAL hMem);
// Null on success; the handle itself when it is invalid.
HGLOBAL GlobalFree(HGLOBAL hMem);

constexpr DWORD ERROR_NOT_LOCKED = 158;

namespace platform {
// How many global blocks are alive in this process; for finding leaks.
std::size_t LiveGlobalBlockCount();
}  // namespace platform
