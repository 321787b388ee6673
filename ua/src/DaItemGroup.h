#pragma once
// A DA group of a session's OPCServer that samples the tags of monitored
// items: the group's data-change advise delivers only what changed, at the
// group's update rate, so that unchanged tags cost nothing. Its calls go to
// the DA objects; callers must not hold a lock the change handler takes.

#include "ua/Types.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class IOPCServer;
class IOPCItemMgt;
class IDataObject;

namespace ua {

class DaSink;

class DaItemGroup {
public:
    // One changed item: the client handle it was added with and its value
    // (status from the DA quality, source time stamp the DA time stamp,
    // server time stamp the time it arrived).
    using Change = std::pair<std::uint32_t, DataValue>;
    using ChangeHandler = std::function<void(std::vector<Change>& changes)>;

    // Adds an active group at the rate (ms) and advises for its changes;
    // Ok() says whether that worked.
    DaItemGroup(IOPCServer* server, std::uint32_t rateMs, ChangeHandler handler);
    // Stops the handler (waiting for a call in progress), unadvises and
    // removes the group.
    ~DaItemGroup();
    DaItemGroup(const DaItemGroup&) = delete;
    DaItemGroup& operator=(const DaItemGroup&) = delete;

    bool Ok() const { return items_ != nullptr && connection_ != 0; }
    std::uint32_t Rate() const { return rate_; }

    struct Request {
        std::string itemId;
        std::uint32_t clientHandle = 0;
        bool active = true;
    };
    struct Result {
        bool ok = false;
        std::uint32_t serverHandle = 0;
        std::uint16_t canonicalType = 0;  // VARTYPE
    };
    std::vector<Result> Add(const std::vector<Request>& requests);
    void Remove(const std::vector<std::uint32_t>& serverHandles);
    void SetActive(const std::vector<std::uint32_t>& serverHandles, bool active);
    std::size_t Count() const { return count_; }

private:
    IOPCServer* server_;
    std::uint32_t groupHandle_ = 0;
    std::uint32_t rate_ = 0;
    IOPCItemMgt* items_ = nullptr;
    IDataObject* data_ = nullptr;
    DaSink* sink_ = nullptr;
    std::uint32_t connection_ = 0;
    std::size_t count_ = 0;
};

}  // namespace ua
