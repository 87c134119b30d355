// Handles of the platform layer on Linux. A HANDLE is a small number that
// indexes a process-wide table of kernel objects, so that a closed or forged
// handle is recognised (ERROR_INVALID_HANDLE) instead of being dereferenced.
// Objects are shared: a call that uses a handle keeps the object alive even if
// another thread closes the handle meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "platform/handle_waits.h"
#include "platform/win32_base.h"

namespace kiln::platform {

class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // Called when CloseHandle removes the object from the table (before the
    // last shared reference necessarily goes away). lastHolder: nothing else
    // holds the object, so it is destroyed as soon as this returns.
    virtual void OnClose(bool /*lastHolder*/) {}
    // Whether waits on the object are satisfied now (events, threads).
    virtual bool IsSignalled() const { return false; }

    // A waiter is told of every change to signalled; it re-checks
    // IsSignalled itself, so a spurious notification is harmless.
    void AddWaiter(SignalWaiter* waiter) {
        std::lock_guard guard(waitersLock_);
        waiters_.push_back(waiter);
    }
    void RemoveWaiter(SignalWaiter* waiter) {
        std::lock_guard guard(waitersLock_);
        std::erase(waiters_, waiter);
    }

  protected:
    // Signalling objects call this after they became signalled.
    void NotifyWaiters() {
        std::lock_guard guard(waitersLock_);
        for (SignalWaiter* waiter : waiters_) waiter->Notify();
    }

  private:
    std::mutex waitersLock_;
    std::vector<SignalWaiter*> waiters_;
};

// Registers the object and returns its handle; null with ERROR_NOT_ENOUGH_MEMORY
// (last error) when the table is full.
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null (last error ERROR_INVALID_HANDLE).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    std::shared_ptr<KernelObject> found = LookupHandle(handle);
    // Every call on a handle looks its object up: for a final class the
    // exact type says it all, cheaper than a search of the class tree.
    if constexpr (std::is_final_v<T>) {
        const KernelObject* raw = found.get();
        if (raw && typeid(*raw) == typeid(T)) return std::static_pointer_cast<T>(std::move(found));
    }
    auto object = std::dynamic_pointer_cast<T>(std::move(found));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// Removes the handle; false (ERROR_INVALID_HANDLE) when it is not in the table.
bool UnregisterHandle(HANDLE handle);

}  // namespace kiln::platform
