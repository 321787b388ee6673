#pragma once
// What tells one version of a file from the next without reading it: the
// device and inode (a file replaced by a rename is a new inode even when it
// has the same size and was written within the same clock tick), the size and
// the modification time.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

// Nullopt when the path names nothing that can be looked at (absent, or a
// folder on the way cannot be searched).
std::optional<FileStamp> FileStampOf(const std::string& path);

}  // namespace platform
