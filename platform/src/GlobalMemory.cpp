// Global memory blocks behind opaque handles.
//
// A handle is a number looked up in a table of live blocks, never an address,
// so a stale or forged handle finds nothing instead of touching freed memory.
// The numbers come from a counter and are not handed out again, so a stale
// handle cannot resolve to a block allocated after its own was freed.

#include "platform/GlobalMemory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Storage = std::unique_ptr<unsigned char, FreeDeleter>;

struct Block {
    Storage data;
    SIZE_T size = 0;
    UINT locks = 0;
};

// Larger requests are refused up front: no real stream is this big, and an
// absurd size (a negative count cast to SIZE_T) must fail cleanly rather than
// reach the allocator.
constexpr SIZE_T kMaxBlockBytes = SIZE_T{1} << 40;

// Token values step by 4 with bit 1 set: never null, never a plausible
// aligned object address, and distinct from every token handed out before.
constexpr std::uintptr_t kTokenStep = 4;
constexpr std::uintptr_t kTokenTag = 2;

struct BlockTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, Block> blocks;
    std::uintptr_t nextSerial = 1;
};

BlockTable& Blocks() {
    static BlockTable* table = new BlockTable;  // never destroyed: threads may outlive static destruction
    return *table;
}

std::uintptr_t TokenOf(HGLOBAL handle) { return reinterpret_cast<std::uintptr_t>(handle); }

// A zero-byte block still owns storage, so that locking it gives a pointer
// that is distinct and valid (for no bytes) like any other block's.
Storage Allocate(SIZE_T bytes, bool zero) {
    const SIZE_T actual = bytes == 0 ? 1 : bytes;
    void* p = zero ? std::calloc(actual, 1) : std::malloc(actual);
    return Storage(static_cast<unsigned char*>(p));
}

// The block of a handle under the table lock, or null (with the error set).
Block* Find(BlockTable& table, HGLOBAL handle) {
    auto it = table.blocks.find(TokenOf(handle));
    if (it == table.blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &it->second;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (dwBytes > kMaxBlockBytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Storage data = Allocate(dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    BlockTable& table = Blocks();
    std::lock_guard lock(table.mutex);
    const std::uintptr_t token = table.nextSerial++ * kTokenStep | kTokenTag;
    table.blocks.emplace(token, Block{std::move(data), dwBytes, 0});
    return reinterpret_cast<HGLOBAL>(token);
}

HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
    if (dwBytes > kMaxBlockBytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    BlockTable& table = Blocks();
    Storage old;  // freed after the lock is released
    {
        std::lock_guard lock(table.mutex);
        Block* block = Find(table, hMem);
        if (block == nullptr) return nullptr;
        // A locked block has handed out its address; moving it would leave
        // the lock holder writing into freed memory.
        if (block->locks > 0) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        Storage resized = Allocate(dwBytes, false);
        if (!resized) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        const SIZE_T kept = block->size < dwBytes ? block->size : dwBytes;
        std::memcpy(resized.get(), block->data.get(), kept);
        if (dwBytes > kept && (uFlags & GMEM_ZEROINIT) != 0) std::memset(resized.get() + kept, 0, dwBytes - kept);
        old = std::move(block->data);
        block->data = std::move(resized);
        block->size = dwBytes;
    }
    return hMem;
}

LPVOID GlobalLock(HGLOBAL hMem) {
    BlockTable& table = Blocks();
    std::lock_guard lock(table.mutex);
    Block* block = Find(table, hMem);
    if (block == nullptr) return nullptr;
    ++block->locks;
    return block->data.get();
}

BOOL GlobalUnlock(HGLOBAL hMem) {
    BlockTable& table = Blocks();
    std::lock_guard lock(table.mutex);
    Block* block = Find(table, hMem);
    if (block == nullptr) return FALSE;
    if (block->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--block->locks > 0) return TRUE;
    SetLastError(ERROR_SUCCESS);
    return FALSE;
}

SIZE_T GlobalSize(HGLOBAL hMem) {
    BlockTable& table = Blocks();
    std::lock_guard lock(table.mutex);
    Block* block = Find(table, hMem);
    return block == nullptr ? 0 : block->size;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
    // Freeing nothing is allowed, so that an empty medium can be released
    // without a check at every call site.
    if (hMem == nullptr) return nullptr;
    BlockTable& table = Blocks();
    Storage data;  // freed after the lock is released
    {
        std::lock_guard lock(table.mutex);
        auto it = table.blocks.find(TokenOf(hMem));
        if (it == table.blocks.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
        data = std::move(it->second.data);
        table.blocks.erase(it);
    }
    return nullptr;
}

namespace platform {

std::size_t LiveGlobalBlockCount() {
    BlockTable& table = Blocks();
    std::lock_guard lock(table.mutex);
    return table.blocks.size();
}

}  // namespace platform
