#pragma once
// HistoryRead over the program's sample history (OPC 10000-4, 5.10.3, and
// OPC 10000-11): the raw values of the device tags the history keeps, read
// from the database the running program writes, a page of at most
// limits::kMaxHistoryValuesPerNode values per node and call, the rest through
// each session's continuation points. A communication loss in the range shows
// as a Bad_NoCommunication value at its time, so that a client sees the gap.
// Bounding values (returnBounds) are not served: a client gets the raw values
// inside the range only.

#include <string>

namespace history {
class HistoryStore;
}

namespace ua {

class AddressSpace;
class ServiceTable;

void RegisterHistoryServices(ServiceTable& table, AddressSpace& space);

// What the HistoryStatus variable says of a store (null: the program keeps
// no history): "Writing to <path>", "Not writing: <problem>; <n> samples
// waiting in memory, <m> dropped", or "Off".
std::string HistoryStatusText(const history::HistoryStore* store);

}  // namespace ua
