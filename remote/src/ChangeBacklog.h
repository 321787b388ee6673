#pragma once
// The streams waiting to be sent to one subscriber that does not keep up.
// Its data changes are bounded: past the bound the two oldest are folded
// into one that keeps each item's newest value, so that the client never
// keeps a stale value of an item whose only change came while it lagged.
// Completions of a write, read or refresh answer one transaction each: they
// are never folded or dropped, and have a bound of their own.

#include "platform/DataObject.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace remote {

struct PendingStream {
    FORMATETC format{};
    DWORD tymed = 0;
    std::vector<std::uint8_t> bytes;
};

class ChangeBacklog {
public:
    // dataChanges is at least 2 (a fold needs two).
    ChangeBacklog(std::size_t dataChanges, std::size_t completions);

    enum class Added { kQueued, kFolded, kFull };
    // kFull: a completion past its bound, not queued.
    Added Add(PendingStream stream);
    std::optional<PendingStream> Take();
    void Clear();
    bool Empty() const { return queue_.empty(); }
    std::size_t Size() const { return queue_.size(); }
    std::uint64_t Folds() const { return folds_; }

private:
    struct Entry {
        PendingStream stream;
        // A data change of the subscription (no transaction).
        bool foldable = false;
    };
    void FoldOldest();

    const std::size_t dataChanges_;
    const std::size_t completions_;
    std::deque<Entry> queue_;
    std::size_t changes_ = 0;
    std::uint64_t folds_ = 0;
};

}  // namespace remote
