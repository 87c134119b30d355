// PortHub: what a component and its ports call on the host. The host links
// ports, numbers and delivers quanta and puts a component's thread to sleep
// until input arrives. The operations keep this order: a host built
// separately from the module depends on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "component/port.h"
#include "platform/win32_base.h"

namespace kiln {

class PortHub {
  public:
    // Makes the calling thread's next Wait also end when the event or thread
    // behind the handle is signalled. Call it immediately before that wait.
    virtual void AddWaitHandle(HANDLE handle) = 0;

    // Blocks until one of the ports may have a queued entry or an added wait
    // handle is signalled. Call it without the lock held; look at the queues
    // (and the handle) again after every return, since an early return is
    // allowed. `ports` may be null when `count` is 0. The two last arguments
    // are reserved; the system passes 0.
    virtual void Wait(InPort* const* ports, size_t count, uint32_t reserved1,
                      uint32_t reserved2) = 0;

    // Delivers the quantum to every input port linked to `port`, each with a
    // fresh sequence number, and wakes their components. The caller keeps its
    // reference. The result is informational only (nonzero: delivered).
    virtual uint8_t Send(OutPort& port, const RefPtr<Quantum>& quantum) = 0;

    // Tells the host that the link between the two ports is going away.
    // Called with the lock held.
    virtual void Disconnect(OutPort& out, InPort& in) = 0;

    // The lock that guards every QuantaStore and end-point list. Held only
    // for short, non-blocking steps, never across a wait.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

  protected:
    ~PortHub() = default;
};

// Holds the hub's lock for a scope.
class PortHubLock {
  public:
    explicit PortHubLock(PortHub& hub) : m_hub(hub) { m_hub.Lock(); }
    ~PortHubLock() { m_hub.Unlock(); }
    PortHubLock(const PortHubLock&) = delete;
    PortHubLock& operator=(const PortHubLock&) = delete;

  private:
    PortHub& m_hub;
};

}  // namespace kiln
