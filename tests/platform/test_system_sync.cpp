// Events, threads, waits and critical sections as Windows has them: these
// run on both systems (what only the Linux layer has is in
// test_system_sync_layer.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct HandleCloser {
    HANDLE h;
    ~HandleCloser() {
        if (h) CloseHandle(h);
    }
};

TEST(SystemEvent, ManualResetStaysSignalledUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(SystemEvent, AutoResetLetsOneWaitThrough) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    SetEvent(event);  // setting twice does not count twice
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
}

TEST(SystemEvent, AutoResetWakesExactlyOneOfTwoWaiters) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, 400) == WAIT_OBJECT_0) ++woken;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(50ms);
    SetEvent(event);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST(SystemEvent, WaitTimesOutAfterRoughlyTheTimeout) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    auto begin = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - begin, 60ms);
}

TEST(SystemEvent, InfiniteWaitEndsWhenAnotherThreadSets) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    std::thread setter([&] {
        std::this_thread::sleep_for(30ms);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
}

// Calls on handles that are not (or no longer) what the call needs. Each
// call's result and last error are read before any expectation.
TEST(SystemEvent, InvalidHandlesFailWithInvalidHandle) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE forged = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFFF0));
    struct Call {
        const char* name;
        bool (*fails)(HANDLE);
    };
    const Call calls[] = {
        {"SetEvent", [](HANDLE h) { return !SetEvent(h); }},
        {"ResetEvent", [](HANDLE h) { return !ResetEvent(h); }},
        {"WaitForSingleObject", [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_FAILED; }},
        {"GetExitCodeThread",
         [](HANDLE h) {
             DWORD code = 0;
             return !GetExitCodeThread(h, &code);
         }},
        {"CloseHandle", [](HANDLE h) { return !CloseHandle(h); }},
    };
    std::vector<HANDLE> handles{nullptr, forged};
#ifndef _WIN32
    // Windows hands a closed handle's value out again at once, for any new
    // object; our layer does not. INVALID_HANDLE_VALUE is the current
    // process's pseudo-handle there (waitable, closable); our layer has no
    // process objects and refuses it.
    handles.push_back(closed);
    handles.push_back(INVALID_HANDLE_VALUE);
#endif
    for (HANDLE h : handles) {
        for (const Call& call : calls) {
            SetLastError(0);
            const bool failed = call.fails(h);
            const DWORD error = GetLastError();
            SCOPED_TRACE(std::string(call.name) + " of " +
                         std::to_string(reinterpret_cast<uintptr_t>(h)));
            EXPECT_TRUE(failed);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        }
    }
}

// Closing most of many handles makes the table give memory back and drop
// its free slots at the end; what is still open, the last slot included,
// must keep working, and what was closed must stay closed.
TEST(SystemEvent, HandlesKeptWhileTheTableShrinksStillWork) {
    std::vector<HANDLE> kept, closed;
    for (int i = 0; i < 300; ++i) {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        (i % 10 == 0 || i == 299 ? kept : closed).push_back(h);
    }
    for (HANDLE h : closed) ASSERT_TRUE(CloseHandle(h));
    for (HANDLE h : closed) EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    std::vector<HANDLE> fresh;
    for (int i = 0; i < 300; ++i) fresh.push_back(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    for (HANDLE h : kept) {
        EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        ASSERT_TRUE(SetEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    }
    for (HANDLE h : fresh) EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    for (HANDLE h : kept) EXPECT_TRUE(CloseHandle(h));
    for (HANDLE h : fresh) EXPECT_TRUE(CloseHandle(h));
}

TEST(SystemThread, ExitCodeIsStillActiveWhileRunningThenTheReturnValue) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    HandleCloser releaseCloser{release};
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
            return 42;
        },
        release, 0, &id);
    ASSERT_NE(thread, nullptr);
    HandleCloser closer{thread};
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    // A finished thread stays signalled for every later wait.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
}

TEST(SystemThread, ThreadOutlivesItsClosedHandle) {
    static std::atomic<bool> ran{false};
    ran = false;
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    HandleCloser releaseCloser{release};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
            ran = true;
            return 0;
        },
        release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(CloseHandle(thread));
    SetEvent(release);
    auto limit = Clock::now() + 5s;
    while (!ran && Clock::now() < limit) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(ran);
}

TEST(SystemThread, AnEventHasNoExitCode) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    DWORD code = 7;
    SetLastError(0);
    const BOOL got = GetExitCodeThread(event, &code);  // an event is not a thread
    const DWORD error = GetLastError();
    EXPECT_FALSE(got);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(code, 7u);
}

TEST(SystemCriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));  // the owner may always enter again

    std::atomic<int> otherGotIn{-1};
    std::thread other([&] { otherGotIn = TryEnterCriticalSection(&section); });
    other.join();
    EXPECT_EQ(otherGotIn.load(), FALSE);

    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    std::thread stillHeld([&] { otherGotIn = TryEnterCriticalSection(&section); });
    stillHeld.join();
    EXPECT_EQ(otherGotIn.load(), FALSE);  // one level is still held

    LeaveCriticalSection(&section);
    std::thread free([&] {
        otherGotIn = TryEnterCriticalSection(&section);
        if (otherGotIn) LeaveCriticalSection(&section);
    });
    free.join();
    EXPECT_EQ(otherGotIn.load(), TRUE);
    DeleteCriticalSection(&section);
}

TEST(SystemCriticalSection, SerialisesIncrementsFromManyThreads) {
    CRITICAL_SECTION section;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&section);
                long seen = counter;
                std::atomic_signal_fence(std::memory_order_seq_cst);
                counter = seen + 1;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}

}  // namespace
