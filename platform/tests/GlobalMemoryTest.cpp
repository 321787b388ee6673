#include "platform/GlobalMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

TEST(GlobalMemory, LocksAreCountedAndUnlockSaysWhenTheLastOneGoes) {
    const std::size_t liveBefore = platform::LiveGlobalBlockCount();
    HGLOBAL block = GlobalAlloc(GHND, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(platform::LiveGlobalBlockCount(), liveBefore + 1);
    auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0] | bytes[15], 0) << "GHND zeroes the block";
    EXPECT_EQ(GlobalLock(block), bytes);
    EXPECT_EQ(GlobalUnlock(block), TRUE);
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(GlobalUnlock(block), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(GlobalUnlock(block), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_EQ(GlobalFree(block), nullptr);
    EXPECT_EQ(platform::LiveGlobalBlockCount(), liveBefore);
}

TEST(GlobalMemory, ReAllocKeepsContentsAndHandleButNotWhileLocked) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 4);
    std::memcpy(GlobalLock(block), "VOK!", 4);
    EXPECT_EQ(GlobalReAlloc(block, 64, 0), nullptr) << "a locked block's address must stay valid";
    EXPECT_EQ(GlobalSize(block), 4u);
    GlobalUnlock(block);

    ASSERT_EQ(GlobalReAlloc(block, 4096, GMEM_ZEROINIT), block);
    EXPECT_EQ(GlobalSize(block), 4096u);
    auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
    EXPECT_EQ(std::memcmp(bytes, "VOK!", 4), 0);
    EXPECT_EQ(bytes[4] | bytes[4095], 0);
    GlobalUnlock(block);
    EXPECT_EQ(GlobalReAlloc(block, std::numeric_limits<SIZE_T>::max(), 0), nullptr);
    EXPECT_EQ(GlobalSize(block), 4096u) << "a failed resize leaves the block as it was";
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, std::numeric_limits<SIZE_T>::max()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    GlobalFree(block);

    HGLOBAL empty = GlobalAlloc(GMEM_MOVEABLE, 0);
    EXPECT_EQ(GlobalSize(empty), 0u);
    EXPECT_NE(GlobalLock(empty), nullptr);
    EXPECT_EQ(GlobalFree(empty), nullptr);
}

TEST(GlobalMemory, FreedStaleAndForgedHandlesAreRefusedWithoutBeingTouched) {
    HGLOBAL freed = GlobalAlloc(GMEM_FIXED, 32);
    ASSERT_EQ(GlobalFree(freed), nullptr);
    HGLOBAL later = GlobalAlloc(GMEM_FIXED, 32);  // likely to get the freed storage
    EXPECT_NE(later, freed) << "a stale handle must not reach a later block";

    int local = 0;
    for (HGLOBAL bad : {freed, static_cast<HGLOBAL>(&local), reinterpret_cast<HGLOBAL>(std::uintptr_t{0x1235})}) {
        SetLastError(0);
        EXPECT_EQ(GlobalLock(bad), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(GlobalUnlock(bad), FALSE);
        EXPECT_EQ(GlobalSize(bad), 0u);
        EXPECT_EQ(GlobalReAlloc(bad, 16, 0), nullptr);
        EXPECT_EQ(GlobalFree(bad), bad);
    }
    EXPECT_EQ(GlobalSize(later), 32u);
    EXPECT_EQ(GlobalFree(later), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

}  // namespace
