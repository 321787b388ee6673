#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Makes the calling thread's queue without taking anything from it.
void MakeQueue() {
    MSG msg{};
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

// Empties the calling thread's queue, so that one test's leftovers cannot
// reach the next one on the same (main) thread.
void Drain() {
    MSG msg{};
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// A thread that makes its queue and then ends; its id is kept for posting.
DWORD IdOfAnEndedThreadWithAQueue() {
    DWORD id = 0;
    std::thread([&] {
        MakeQueue();
        id = GetCurrentThreadId();
    }).join();
    return id;
}

TEST(ThreadMessages, PostingFailsUntilTheThreadHasAQueueAndAfterItEnded) {
    std::atomic<DWORD> id{0};
    std::atomic<bool> posted{false};
    std::atomic<bool> madeQueue{false};
    std::thread receiver([&] {
        id = GetCurrentThreadId();
        while (!posted) std::this_thread::yield();
        MakeQueue();
        madeQueue = true;
        MSG msg{};
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_USER + 7);
        EXPECT_EQ(msg.hwnd, nullptr);
    });
    while (id == 0) std::this_thread::yield();
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0)) << "no queue yet";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    posted = true;
    while (!madeQueue) std::this_thread::yield();
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 7, 0, 0));
    receiver.join();

    const DWORD ended = IdOfAnEndedThreadWithAQueue();
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(ended, WM_USER, 0, 0)) << "the queue went with its thread";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(ThreadMessages, MessagesArriveInPostingOrderWithTheirParameters) {
    Drain();
    const DWORD self = GetCurrentThreadId();
    for (UINT i = 0; i < 5; ++i)
        ASSERT_TRUE(PostThreadMessageA(self, WM_USER + i, i * 10, -static_cast<LPARAM>(i)));
    for (UINT i = 0; i < 5; ++i) {
        MSG msg{};
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_USER + i);
        EXPECT_EQ(msg.wParam, i * 10);
        EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(i));
    }
    MSG msg{};
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(ThreadMessages, AFilterTakesMatchingMessagesFirstAndLetsQuitThrough) {
    Drain();
    const DWORD self = GetCurrentThreadId();
    PostThreadMessageA(self, WM_TIMER, 1, 0);
    PostThreadMessageA(self, WM_USER + 1, 2, 0);
    PostThreadMessageA(self, WM_USER + 2, 3, 0);
    MSG msg{};
    ASSERT_GT(GetMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 5), 0);
    EXPECT_EQ(msg.wParam, 3u) << "the filter skips earlier messages outside it";
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 5, PM_REMOVE));

    PostQuitMessage(4);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 100, WM_USER + 100, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_QUIT) << "a filter does not hold back WM_QUIT";

    // What the filters passed over is still there, in order.
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.wParam, 2u);
}

TEST(ThreadMessages, QuitEndsTheLoopWithTheExitCode) {
    Drain();
    PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
    PostQuitMessage(-3);
    MSG msg{};
    int loops = 0;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++loops;
    }
    EXPECT_EQ(loops, 1);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(static_cast<int>(msg.wParam), -3);
}

TEST(ThreadMessages, PeekLeavesOrTakesTheMessage) {
    Drain();
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 9, 42, 0);
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 42u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << "NOREMOVE left it queued";
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 9u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "REMOVE took it";
}

TEST(ThreadMessages, AWindowOrANullMessageIsRefusedWithoutEndingALoop) {
    MSG msg{};
    auto window = reinterpret_cast<HWND>(std::intptr_t{0x10});
    EXPECT_EQ(GetMessageA(&msg, window, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));
}

TEST(ThreadMessages, GetMessageWaitsForAMessagePostedLater) {
    std::atomic<DWORD> id{0};
    std::thread receiver([&] {
        MakeQueue();
        id = GetCurrentThreadId();
        MSG msg{};
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(msg.wParam, 9u);
    });
    while (id == 0) std::this_thread::yield();
    Sleep(50);
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 9, 0));
    receiver.join();
}

TEST(ThreadMessageConcurrency, ManyPostersLoseNoMessageAndKeepEachPostersOrder) {
    constexpr int kPosters = 8;
    constexpr int kEach = 2000;
    std::atomic<DWORD> loopId{0};
    std::vector<int> next(kPosters, 0);
    int received = 0;
    bool inOrder = true;
    std::thread loop([&] {
        MakeQueue();
        loopId = GetCurrentThreadId();
        MSG msg{};
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            const auto poster = static_cast<std::size_t>(msg.wParam);
            if (poster >= next.size() || msg.lParam != next[poster]) inOrder = false;
            if (poster < next.size()) next[poster] = static_cast<int>(msg.lParam) + 1;
            ++received;
        }
    });
    while (loopId == 0) std::this_thread::yield();

    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_TRUE(PostThreadMessageA(loopId, WM_USER, static_cast<WPARAM>(p), i));
        });
    }
    for (auto& poster : posters) poster.join();
    PostThreadMessageA(loopId, WM_QUIT, 0, 0);
    loop.join();

    EXPECT_EQ(received, kPosters * kEach);
    EXPECT_TRUE(inOrder);
    for (int p = 0; p < kPosters; ++p) EXPECT_EQ(next[static_cast<std::size_t>(p)], kEach);
}

}  // namespace
