#include "ChangeBacklog.h"

#include "opc/OpcDa.h"
#include "opc/OpcStream.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace remote {

namespace {

bool IsDataChange(const PendingStream& stream) {
    const bool data = stream.format.cfFormat == opcstream::DataFormat() ||
                      stream.format.cfFormat == opcstream::DataTimeFormat();
    // The group header's transaction id (its fourth field) is 0 for a
    // subscription's own change.
    constexpr std::size_t kTransactionAt = 12;
    if (!data || stream.bytes.size() < kTransactionAt + 4) return false;
    std::uint32_t transaction = 0;
    for (int i = 3; i >= 0; --i) transaction = transaction << 8 | stream.bytes[kTransactionAt + std::size_t(i)];
    return transaction == 0;
}

}  // namespace

ChangeBacklog::ChangeBacklog(std::size_t dataChanges, std::size_t completions)
    : dataChanges_(std::max<std::size_t>(dataChanges, 2)), completions_(completions) {}

ChangeBacklog::Added ChangeBacklog::Add(PendingStream stream) {
    Entry entry{std::move(stream), false};
    entry.foldable = IsDataChange(entry.stream);
    Added added = Added::kQueued;
    if (entry.foldable) {
        if (changes_ >= dataChanges_) {
            FoldOldest();
            added = Added::kFolded;
        }
        ++changes_;
    } else if (queue_.size() - changes_ >= completions_) {
        return Added::kFull;
    }
    queue_.push_back(std::move(entry));
    return added;
}

std::optional<PendingStream> ChangeBacklog::Take() {
    if (queue_.empty()) return std::nullopt;
    Entry next = std::move(queue_.front());
    queue_.pop_front();
    if (next.foldable) --changes_;
    return std::move(next.stream);
}

void ChangeBacklog::Clear() {
    queue_.clear();
    changes_ = 0;
}

// The older's items with the newer's values where both have an item, then
// the newer's other items, in the newer's place. A pair that does not read as
// one group's streams of one format loses its older change instead.
void ChangeBacklog::FoldOldest() {
    const auto foldable = [](const Entry& e) { return e.foldable; };
    auto first = std::find_if(queue_.begin(), queue_.end(), foldable);
    if (first == queue_.end()) return;
    auto second = std::find_if(std::next(first), queue_.end(), foldable);
    if (second == queue_.end()) return;
    const bool withTime = first->stream.format.cfFormat == opcstream::DataTimeFormat();
    std::string error;
    auto older = opcstream::ReadDataStream(first->stream.bytes, withTime, &error);
    auto newer = opcstream::ReadDataStream(second->stream.bytes, withTime, &error);
    if (older && newer && first->stream.format.cfFormat == second->stream.format.cfFormat &&
        older->hClientGroup == newer->hClientGroup) {
        std::vector<opcstream::ItemValue> items = older->items;
        for (const opcstream::ItemValue& item : newer->items) {
            auto same = std::find_if(items.begin(), items.end(),
                                     [&](const opcstream::ItemValue& i) { return i.hClient == item.hClient; });
            if (same != items.end())
                *same = item;
            else
                items.push_back(item);
        }
        // S_FALSE when any item's quality is not good, as the group sends it.
        const bool allGood = std::all_of(items.begin(), items.end(), [](const opcstream::ItemValue& i) {
            return (i.quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
        });
        // The values are the streams' own, freed with them after the writing.
        second->stream.bytes =
            opcstream::WriteDataStream(withTime, newer->hClientGroup, 0, allGood ? S_OK : S_FALSE, items);
    }
    queue_.erase(first);
    --changes_;
    ++folds_;
}

}  // namespace remote
