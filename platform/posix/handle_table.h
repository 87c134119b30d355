// Handles of the platform layer on Linux. A HANDLE is a small number that
// indexes a process-wide table of kernel objects, so that a closed or forged
// handle is recognised (ERROR_INVALID_HANDLE) instead of being dereferenced.
// Objects are shared: a call that uses a handle keeps the object alive even if
// another thread closes the handle meanwhile.
#pragma once

#include <memory>

#include "platform/win32_base.h"

namespace kiln::platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called when CloseHandle removes the object from the table (before the
    // last shared reference necessarily goes away).
    virtual void OnClose() {}
    // Whether waits on the object are satisfied now (events, threads).
    virtual bool IsSignalled() const { return false; }
};

// Registers the object and returns its handle; null with ERROR_NOT_ENOUGH_MEMORY
// (last error) when the table is full.
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null (last error ERROR_INVALID_HANDLE).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// Removes the handle; false (ERROR_INVALID_HANDLE) when it is not in the table.
bool UnregisterHandle(HANDLE handle);

}  // namespace kiln::platform
