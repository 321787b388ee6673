#pragma once
// Files that must never be readable by anyone but the program's user (the
// OPC UA private key), and files an administrator writes as root for the
// service's user.

#include <string>

namespace platform {

// Writes bytes to path with mode 0600 from the first byte on: a new file of a
// temporary name beside it is made 0600 (never a wider mode, whatever the
// umask), written, synced to disk and renamed over path in one step, so that
// a reader sees the old file or the whole new one. False with the reason; no
// temporary file is left behind.
bool WritePrivateFile(const std::string& path, const std::string& bytes, std::string& error);

// When the process runs as root, hands path to the owner and group of the
// folder it is in (so that `sudo vok ...` leaves files the service's user can
// read). True when nothing was needed or the change succeeded.
bool GiveToOwnerOfFolder(const std::string& path);

}  // namespace platform
