#pragma once
// Files through handles, as the Windows file calls serve them. Serial ports
// are opened through the same CreateFileA by their COM names.

#include "platform/Sync.h"

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;

constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Sharing is enforced between opens that write: an open for writing that does
// not share writing fails while another open writes, in this or any process
// (ERROR_SHARING_VIOLATION). Opens for reading only are always allowed.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
// Writes what the system holds for the file through to the disk.
BOOL FlushFileBuffers(HANDLE file);

BOOL DeleteFileA(LPCSTR name);
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
DWORD GetFileAttributesA(LPCSTR name);

// Renames a file, replacing an existing target in one step: a reader sees the
// old file or the new one, never a mixture. With MOVEFILE_WRITE_THROUGH the
// rename has reached the disk when the call returns.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008;
BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);

// The size of an open file; INVALID_FILE_SIZE on failure.
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
