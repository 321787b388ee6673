#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(Events, AutoResetReleasesExactlyOneWaitAndManualResetStaysSet) {
    HANDLE autoEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(autoEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT) << "a passed wait resets an auto-reset event";

    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    SetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_TRUE(CloseHandle(autoEvent));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_FALSE(CloseHandle(manual)) << "a closed handle is no longer valid";
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
}

TEST(Events, WaitForMultipleReportsTheFirstSignalledIndexAndHonoursTimeOuts) {
    HANDLE events[3] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);

    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 120), WAIT_TIMEOUT);
    long waited = ElapsedMs(start);
    EXPECT_GE(waited, 115);
    EXPECT_LT(waited, 400);

    // Wait-all passes only when every object is signalled, and then consumes all of them.
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 20), WAIT_TIMEOUT);
    SetEvent(events[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    for (HANDLE e : events) CloseHandle(e);
}

TEST(Events, ASetFromAnotherThreadWakesAWaiter) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    struct Arg {
        HANDLE event;
    } arg{event};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Sleep(50);
            SetEvent(static_cast<Arg*>(p)->event);
            return 7;
        },
        &arg, 0, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(Threads, EachThreadHasItsOwnIdAndAThreadHandleIsSignalledOnlyAfterItsRoutine) {
    struct Arg {
        HANDLE go;
        DWORD seenId;
    } arg{CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    DWORD reportedId = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* a = static_cast<Arg*>(p);
            a->seenId = GetCurrentThreadId();
            WaitForSingleObject(a->go, INFINITE);
            return 0;
        },
        &arg, 0, &reportedId);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    SetEvent(arg.go);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(arg.seenId, reportedId);
    EXPECT_NE(reportedId, GetCurrentThreadId());
    CloseHandle(thread);
    CloseHandle(arg.go);
}

TEST(Threads, AnExceptionLeavingARoutineEndsOnlyThatThreadWithAnExitCodeThatSaysSo) {
    testing::internal::CaptureStderr();
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { throw std::runtime_error("disk gone"); }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);  // the process is still here to wait
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0xE06D7363u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("disk gone"), std::string::npos);
    CloseHandle(thread);
}

TEST(CriticalSections, AreRecursiveAndExcludeOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<int> gotIt{-1};
    struct Arg {
        CRITICAL_SECTION* cs;
        std::atomic<int>* got;
    } arg{&cs, &gotIt};
    auto tryOnce = [](LPVOID p) -> DWORD {
        auto* a = static_cast<Arg*>(p);
        BOOL ok = TryEnterCriticalSection(a->cs);
        if (ok) LeaveCriticalSection(a->cs);
        a->got->store(ok);
        return 0;
    };
    HANDLE t = CreateThread(nullptr, 0, tryOnce, &arg, 0, nullptr);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    EXPECT_EQ(gotIt.load(), FALSE);
    LeaveCriticalSection(&cs);
    t = CreateThread(nullptr, 0, tryOnce, &arg, 0, nullptr);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    EXPECT_EQ(gotIt.load(), FALSE) << "one level is still held";
    LeaveCriticalSection(&cs);
    t = CreateThread(nullptr, 0, tryOnce, &arg, 0, nullptr);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    EXPECT_EQ(gotIt.load(), TRUE);
    DeleteCriticalSection(&cs);
}

TEST(Clock, SleepAndTickCountAgree) {
    DWORD before = GetTickCount();
    Sleep(60);
    DWORD after = GetTickCount();
    EXPECT_GE(after - before, 59u);
    EXPECT_LT(after - before, 500u);
}

}  // namespace
