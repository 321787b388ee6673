#pragma once
// Files only the program's user may read (keys, password hashes), written so
// that a crash leaves the old content or the new, never a part.

#include <string>

namespace platform {

// Writes bytes to a new file of mode 0600 beside path, flushes it to the disk
// and renames it over path. False with the reason; path is unchanged then.
bool WritePrivateFile(const std::string& path, const std::string& bytes, std::string& error);

// For an administrator's tool run as root: gives path to the owner of the
// folder it is in (the service's user), so that the service can read it.
// Nothing for a process that is not root. False with the reason.
bool GiveToOwnerOfFolder(const std::string& path, std::string& error);

}  // namespace platform
