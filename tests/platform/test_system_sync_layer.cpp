// What the Linux layer's events and threads have beyond or instead of
// Windows': the waiters the port hub registers on handles, named events
// refused, thread stacks as pthread sizes them, no suspended start.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/posix/system/event_signal.h"
#include "platform/posix/system/handle_table.h"
#include "platform/win32.h"

namespace {

using namespace std::chrono_literals;

struct HandleCloser {
    HANDLE h;
    ~HandleCloser() {
        if (h) CloseHandle(h);
    }
};

// Records notifications the way the port hub does.
class CountingWaiter final : public kiln::platform::SignalWaiter {
  public:
    void Notify() override {
        {
            std::lock_guard guard(lock_);
            ++count_;
        }
        wake_.notify_all();
    }
    bool WaitForCount(int n, std::chrono::milliseconds limit) {
        std::unique_lock guard(lock_);
        return wake_.wait_for(guard, limit, [&] { return count_ >= n; });
    }
    int Count() {
        std::lock_guard guard(lock_);
        return count_;
    }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    int count_ = 0;
};

TEST(SystemEvent, RegisteredWaiterIsNotifiedOnSet) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    auto object = kiln::platform::LookupHandle(event);
    ASSERT_TRUE(object);
    CountingWaiter waiter;
    object->AddWaiter(&waiter);
    EXPECT_FALSE(object->IsSignalled());
    std::thread setter([&] { SetEvent(event); });
    EXPECT_TRUE(waiter.WaitForCount(1, 2s));
    setter.join();
    EXPECT_TRUE(object->IsSignalled());
    object->RemoveWaiter(&waiter);
    ResetEvent(event);
    SetEvent(event);
    EXPECT_EQ(waiter.Count(), 1);  // removed waiters hear nothing more
}

TEST(SystemEvent, SignalEventHandleSetsEventsOnly) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HandleCloser closer{event};
    EXPECT_TRUE(kiln::platform::SignalEventHandle(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    HandleCloser threadCloser{thread};
    SetLastError(0);
    EXPECT_FALSE(kiln::platform::SignalEventHandle(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
}

TEST(SystemEvent, NamedEventsAreRefused) {
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"Global\\Kiln"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

DWORD WINAPI ReportStackSize(LPVOID parameter) {
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    *static_cast<size_t*>(parameter) = size;
    return 0;
}

TEST(SystemThread, StackSizeIsHonouredAndRoundedUp) {
    struct Case {
        SIZE_T requested;
        size_t atLeast;
    };
    const size_t minimum = PTHREAD_STACK_MIN;
    const Case cases[] = {
        {64 * 1024, 64 * 1024},  // the backend's worker thread
        {256 * 1024 + 1, 256 * 1024 + 1},
        {1, minimum},
    };
    // Far below the default stack of several MiB, with room for what a
    // sanitizer's thread start adds.
    const size_t slack = 256 * 1024;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        size_t reported = 0;
        HANDLE thread = CreateThread(nullptr, c.requested, ReportStackSize, &reported, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        HandleCloser closer{thread};
        ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        EXPECT_GE(reported, c.atLeast);
        EXPECT_LT(reported, c.atLeast + slack);
    }
}

// Windows starts a thread without a start address, to crash in it.
TEST(SystemThread, NoStartAddressIsRefused) {
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SystemThread, SuspendedStartIsNotSupported) {
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReportStackSize, nullptr, CREATE_SUSPENDED, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(SystemThread, RegisteredWaiterIsNotifiedWhenTheThreadEnds) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    HandleCloser releaseCloser{release};
    HANDLE thread = CreateThread(
        nullptr, 64 * 1024,
        [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE); },
        release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    HandleCloser closer{thread};
    auto object = kiln::platform::LookupHandle(thread);
    ASSERT_TRUE(object);
    CountingWaiter waiter;
    object->AddWaiter(&waiter);
    EXPECT_FALSE(object->IsSignalled());
    SetEvent(release);
    EXPECT_TRUE(waiter.WaitForCount(1, 5s));
    EXPECT_TRUE(object->IsSignalled());
    object->RemoveWaiter(&waiter);
}

}  // namespace
