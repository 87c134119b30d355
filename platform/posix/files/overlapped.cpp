#include "platform/posix/files/overlapped.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/config_files.h"
#include "platform/posix/system/event_signal.h"
#include "platform/win32_system.h"

namespace kiln::platform {
namespace {

HANDLE EventOf(const OVERLAPPED* overlapped) {
    // The low bit of hEvent only tells Windows to skip completion ports.
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) &
                                    ~static_cast<uintptr_t>(1));
}

std::atomic_ref<ULONG_PTR> StatusOf(LPOVERLAPPED overlapped) {
    return std::atomic_ref<ULONG_PTR>(overlapped->Internal);
}

// One mutex and condition for every completion: GetOverlappedResult with
// bWait sleeps on it, so waiting needs no event at all.
struct Completions {
    std::mutex lock;
    std::condition_variable done;
    std::condition_variable work;
    std::deque<std::function<void()>> queue;
    bool hold = false;
    bool started = false;
};

Completions& TheCompletions() {
    static Completions* completions = new Completions;  // never destroyed
    return *completions;
}

void Publish(LPOVERLAPPED overlapped, const IoResult& result) {
    Completions& completions = TheCompletions();
    {
        std::lock_guard guard(completions.lock);
        overlapped->InternalHigh = result.bytes;
        StatusOf(overlapped).store(result.error, std::memory_order_release);
    }
    completions.done.notify_all();
    if (HANDLE event = EventOf(overlapped)) SignalEventHandle(event);
}

void Worker() {
    Completions& completions = TheCompletions();
    std::unique_lock guard(completions.lock);
    for (;;) {
        completions.work.wait(guard,
                              [&] { return !completions.hold && !completions.queue.empty(); });
        auto task = std::move(completions.queue.front());
        completions.queue.pop_front();
        guard.unlock();
        task();
        guard.lock();
    }
}

void Enqueue(std::function<void()> task) {
    Completions& completions = TheCompletions();
    {
        std::lock_guard guard(completions.lock);
        completions.queue.push_back(std::move(task));
        if (!completions.started) {
            completions.started = true;
            std::thread(Worker).detach();
        }
    }
    completions.work.notify_one();
}

}  // namespace

void HoldPendingCompletions(bool hold) {
    Completions& completions = TheCompletions();
    {
        std::lock_guard guard(completions.lock);
        completions.hold = hold;
    }
    completions.work.notify_all();
}

void HoldOverlappedCompletionsForTests(bool hold) {
    HoldPendingCompletions(hold);
}

BOOL CompleteIo(const std::shared_ptr<FileObject>& file, LPOVERLAPPED overlapped,
                LPDWORD bytesTransferred, std::function<IoResult()> operation) {
    if (!overlapped) {
        IoResult result = operation();
        if (bytesTransferred) *bytesTransferred = result.bytes;
        if (result.error != ERROR_SUCCESS) {
            SetLastError(result.error);
            return FALSE;
        }
        return TRUE;
    }
    if (HANDLE event = EventOf(overlapped)) ResetEvent(event);
    overlapped->InternalHigh = 0;
    StatusOf(overlapped).store(STATUS_PENDING, std::memory_order_release);
    if (OverlappedPendingForTests() && (file->Flags() & FILE_FLAG_OVERLAPPED)) {
        if (bytesTransferred) *bytesTransferred = 0;
        // The object rides along so that a close meanwhile cannot free it.
        Enqueue([file, overlapped, operation = std::move(operation)] {
            Publish(overlapped, operation());
        });
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    IoResult result = operation();
    Publish(overlapped, result);
    if (bytesTransferred) *bytesTransferred = result.bytes;
    if (result.error != ERROR_SUCCESS) {
        SetLastError(result.error);
        return FALSE;
    }
    return TRUE;
}

}  // namespace kiln::platform

using namespace kiln::platform;

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (!LookupFile(hFile)) return FALSE;
    if (!lpOverlapped || !lpNumberOfBytesTransferred) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Completions& completions = TheCompletions();
    std::unique_lock guard(completions.lock);
    auto status = [&] { return StatusOf(lpOverlapped).load(std::memory_order_acquire); };
    if (status() == STATUS_PENDING) {
        if (!bWait) {
            *lpNumberOfBytesTransferred = 0;
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        completions.done.wait(guard, [&] { return status() != STATUS_PENDING; });
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    DWORD error = static_cast<DWORD>(status());
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
