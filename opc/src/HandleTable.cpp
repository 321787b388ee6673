#include "opc/HandleTable.h"

#include <mutex>
#include <unordered_map>

namespace {

struct Entry {
    HandleKind kind;
    void* object;
};

struct Table {
    std::mutex mutex;
    std::unordered_map<OPCHANDLE, Entry> entries;
    OPCHANDLE next = 1;
};

// Never destroyed: groups of a client may still go while static objects are torn down.
Table& TheTable() {
    static auto* table = new Table;
    return *table;
}

}  // namespace

OPCHANDLE HandleTable::Register(HandleKind kind, void* object) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    if (table.entries.size() >= 0xFFFFFFFFu) return 0;
    // After a wrap, skip 0 and the numbers still held.
    while (table.next == 0 || table.entries.count(table.next) != 0) ++table.next;
    const OPCHANDLE handle = table.next++;
    table.entries.emplace(handle, Entry{kind, object});
    return handle;
}

void HandleTable::Unregister(OPCHANDLE handle) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.entries.erase(handle);
}

void* HandleTable::Resolve(OPCHANDLE handle, HandleKind kind) {
    if (handle == 0) return nullptr;
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    const auto found = table.entries.find(handle);
    if (found == table.entries.end() || found->second.kind != kind) return nullptr;
    return found->second.object;
}

std::size_t HandleTable::LiveCount() {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    return table.entries.size();
}

void HandleTable::SetNextHandleForTesting(OPCHANDLE next) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.next = next;
}
