// Events, threads, waits and critical sections. Events and threads are kernel
// objects of the handle table; whoever waits on them (WaitForSingleObject,
// the port hub) registers a SignalWaiter and is told of every change, so a
// wait never polls.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/posix/system/event_signal.h"
#include "platform/posix/system/handle_table.h"
#include "platform/win32_system.h"

namespace kiln::platform {
namespace {

class Event final : public KernelObject {
  public:
    Event(bool manualReset, bool initialState)
        : manualReset_(manualReset), signalled_(initialState) {}

    bool IsSignalled() const override { return signalled_.load(std::memory_order_acquire); }

    void Set() {
        {
            std::lock_guard guard(lock_);
            signalled_.store(true, std::memory_order_release);
        }
        NotifyWaiters();
    }

    void Reset() {
        std::lock_guard guard(lock_);
        signalled_.store(false, std::memory_order_release);
    }

    // Satisfies one wait: an auto-reset event goes back to non-signalled in
    // the same step, so that of several waiters exactly one gets through.
    bool TryAcquire() {
        std::lock_guard guard(lock_);
        if (!signalled_.load(std::memory_order_relaxed)) return false;
        if (!manualReset_) signalled_.store(false, std::memory_order_release);
        return true;
    }

  private:
    std::mutex lock_;
    const bool manualReset_;
    std::atomic<bool> signalled_;
};

class Thread final : public KernelObject {
  public:
    bool IsSignalled() const override { return finished_.load(std::memory_order_acquire); }

    DWORD ExitCode() const { return exitCode_.load(std::memory_order_acquire); }

    void Finish(DWORD exitCode) {
        exitCode_.store(exitCode, std::memory_order_release);
        finished_.store(true, std::memory_order_release);
        NotifyWaiters();
    }

    void PublishId(DWORD id) {
        id_.store(id, std::memory_order_release);
        id_.notify_all();
    }

    DWORD WaitForId() {
        id_.wait(0, std::memory_order_acquire);
        return id_.load(std::memory_order_acquire);
    }

  private:
    std::atomic<bool> finished_{false};
    std::atomic<DWORD> exitCode_{STILL_ACTIVE};
    std::atomic<DWORD> id_{0};
};

struct ThreadStart {
    std::shared_ptr<Thread> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void* RunThread(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    start->thread->PublishId(GetCurrentThreadId());
    DWORD exitCode = start->routine(start->parameter);
    start->thread->Finish(exitCode);
    return nullptr;
}

// The waiting side of a wait: woken by the object's NotifyWaiters.
class BlockingWaiter final : public SignalWaiter {
  public:
    void Notify() override {
        {
            std::lock_guard guard(lock_);
            notified_ = true;
        }
        wake_.notify_one();
    }

    // Waits for a notification until the deadline; false when the deadline
    // passed without one.
    bool WaitUntil(const std::chrono::steady_clock::time_point* deadline) {
        std::unique_lock guard(lock_);
        bool notified = true;
        if (deadline) {
            notified = wake_.wait_until(guard, *deadline, [this] { return notified_; });
        } else {
            wake_.wait(guard, [this] { return notified_; });
        }
        notified_ = false;
        return notified;
    }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool notified_ = false;
};

bool TryAcquire(KernelObject& object) {
    if (auto* event = dynamic_cast<Event*>(&object)) return event->TryAcquire();
    return object.IsSignalled();
}

size_t PageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 4096;
}

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) {
    static_assert(sizeof(pthread_mutex_t) <= sizeof(section->Opaque));
    static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION));
    return std::launder(reinterpret_cast<pthread_mutex_t*>(section->Opaque));
}

}  // namespace

bool SignalEventHandle(HANDLE event) {
    auto object = LookupHandleAs<Event>(event);
    if (!object) return false;
    object->Set();
    return true;
}

}  // namespace kiln::platform

using kiln::platform::Event;
using kiln::platform::LookupHandle;
using kiln::platform::LookupHandleAs;
using kiln::platform::RegisterHandle;
using kiln::platform::Thread;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (lpName && *lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::shared_ptr<Event> event;
    try {
        event = std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = RegisterHandle(std::move(event));
    // Windows sets the last error on success too (ERROR_ALREADY_EXISTS for an
    // existing named event); an unnamed event is always new.
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE hEvent) {
    return kiln::platform::SignalEventHandle(hEvent) ? TRUE : FALSE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<Event>(hEvent);
    if (!event) return FALSE;
    event->Reset();
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (dwCreationFlags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    struct AttributesGuard {
        pthread_attr_t* a;
        ~AttributesGuard() { pthread_attr_destroy(a); }
    } attributesGuard{&attributes};

    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) {
        // Windows rounds the stack up to its allocation granularity; Linux
        // needs at least PTHREAD_STACK_MIN and whole pages.
        size_t size =
            dwStackSize < static_cast<SIZE_T>(PTHREAD_STACK_MIN) ? PTHREAD_STACK_MIN : dwStackSize;
        size_t page = kiln::platform::PageSize();
        if (size > SIZE_MAX - page) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        size = (size + page - 1) / page * page;
        if (pthread_attr_setstacksize(&attributes, size) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }

    std::shared_ptr<Thread> thread;
    std::unique_ptr<kiln::platform::ThreadStart> start;
    try {
        thread = std::make_shared<Thread>();
        start.reset(new kiln::platform::ThreadStart{thread, lpStartAddress, lpParameter});
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Registered before it runs, so that a thread that ends at once still
    // has a handle to report its exit code through.
    HANDLE handle = RegisterHandle(thread);
    if (!handle) return nullptr;

    pthread_t id;
    int rc = pthread_create(&id, &attributes, kiln::platform::RunThread, start.get());
    if (rc != 0) {
        kiln::platform::UnregisterHandle(handle);
        SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    start.release();  // the new thread owns it now
    if (lpThreadId) *lpThreadId = thread->WaitForId();
    return handle;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread) return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

BOOL SwitchToThread() {
    // Linux does not tell whether another thread ran; the callers only use
    // the call to give up the processor while they spin.
    sched_yield();
    return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec remaining{static_cast<time_t>(dwMilliseconds / 1000),
                       static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto object = LookupHandle(hHandle);
    if (!object) return WAIT_FAILED;
    if (kiln::platform::TryAcquire(*object)) return WAIT_OBJECT_0;
    if (dwMilliseconds == 0) return WAIT_TIMEOUT;

    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline;
    const Clock::time_point* deadlinePointer = nullptr;
    if (dwMilliseconds != INFINITE) {
        deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
        deadlinePointer = &deadline;
    }
    kiln::platform::BlockingWaiter waiter;
    object->AddWaiter(&waiter);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        // Checked after registering, so that a signal between the first
        // check and AddWaiter is not missed.
        if (kiln::platform::TryAcquire(*object)) {
            result = WAIT_OBJECT_0;
            break;
        }
        if (!waiter.WaitUntil(deadlinePointer)) {
            if (kiln::platform::TryAcquire(*object)) result = WAIT_OBJECT_0;
            break;
        }
    }
    object->RemoveWaiter(&waiter);
    return result;
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* mutex = new (lpCriticalSection->Opaque) pthread_mutex_t;
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD) {
    InitializeCriticalSection(lpCriticalSection);
    return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(kiln::platform::MutexOf(lpCriticalSection));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(kiln::platform::MutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(kiln::platform::MutexOf(lpCriticalSection));
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(kiln::platform::MutexOf(lpCriticalSection));
}
