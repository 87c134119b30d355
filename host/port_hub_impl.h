// PortHubImpl: the host's PortHub. It links output ports to input ports,
// numbers every delivery from one 64-bit counter, appends to the target
// queue under its lock and wakes the thread that waits on that queue. A wait
// also ends when an event or thread added with AddWaitHandle is signalled.
// One hub serves any number of components on any number of threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "component/kiln_component.h"
#include "component/port_hub.h"
#include "nocrtlib/exceptions.h"

namespace kiln {

// Linking two ports failed: different types, or a port of another hub.
class PortLinkError : public WStrException {
  public:
    explicit PortLinkError(WString text) : WStrException(std::move(text)) {}
    WString Description() const override { return WStrException::Description(); }
};

class PortHubImpl final : public PortHub {
  public:
    PortHubImpl() = default;
    PortHubImpl(const PortHubImpl&) = delete;
    PortHubImpl& operator=(const PortHubImpl&) = delete;
    // Ports still linked are detached (hub pointer and end-point lists
    // cleared) so that they can be destroyed later without the hub. No
    // thread may be waiting or sending when the hub goes.
    ~PortHubImpl();

    // The component's interface.
    void AddWaitHandle(HANDLE handle) override;
    void Wait(InPort* const* ports, size_t count, uint32_t reserved1, uint32_t reserved2) override;
    // A null quantum, or one that a linked port does not accept, is not
    // delivered there. Result: 1 when every linked port took it, else 0.
    uint8_t Send(OutPort& port, const RefPtr<Quantum>& quantum) override;
    void Disconnect(OutPort& out, InPort& in) override;
    void Lock() override;
    void Unlock() override;

    // The host's side.
    // Links the two ports (a second link of the same pair is a no-op).
    // PortLinkError when their types differ or one belongs to another hub.
    void Link(OutPort& out, InPort& in);
    // Removes a link; false when the two were not linked.
    bool Unlink(OutPort& out, InPort& in);
    // Installs this hub in the component; its ports are linked separately.
    void Install(KilnComponent& component) { component.SetHub(this); }
    // Quanta that reach `port` are taken by the thread that sent them: after
    // the delivery, with the hub unlocked, the sender calls `consume`, which
    // pops them. Nobody waits on such a port. The SFTP server makes its
    // replies this way, on the provider's own thread, which spares two
    // thread switches per request. Set before the port receives anything;
    // cleared only when no thread can send to it any more.
    void SetConsumer(InPort& port, std::function<void()> consume);
    // Wait with a time-out: true when a port may have input or a handle is
    // signalled, false when the time ran out first.
    bool WaitFor(InPort* const* ports, size_t count, std::chrono::nanoseconds timeout);

    // Figures for tests and diagnostics.
    uint64_t DeliveryCount() const;  // the last sequence number given
    uint64_t RefusedCount() const;   // deliveries a port did not accept
    uint64_t SleepCount() const;     // waits that had to block
    uint64_t DisconnectCount() const;

  private:
    struct Waiter;
    struct WakeSignal;

    bool WaitUntil(InPort* const* ports, size_t count,
                   const std::chrono::steady_clock::time_point* deadline);
    // Drops the bookkeeping of one link; with the lock held.
    void ForgetLink(OutPort& out, InPort& in);
    // Marks the waiters on `port` woken and adds their signals to `wake`,
    // for the caller to notify once the lock is released.
    // What one send collects under the lock for after it. Most sends reach
    // one port, so this holds a few without an allocation.
    template <class T>
    class Collected {
      public:
        void Add(T value) {
            if (m_count < kInline)
                m_inline[m_count++] = std::move(value);
            else
                m_more.push_back(std::move(value));
        }
        template <class F>
        void ForEach(F f) {
            for (size_t i = 0; i < m_count; ++i) f(m_inline[i]);
            for (T& value : m_more) f(value);
        }

      private:
        static constexpr size_t kInline = 4;
        T m_inline[kInline] = {};
        size_t m_count = 0;
        std::vector<T> m_more;
    };
    void WakeWaitersOn(const InPort* port, Collected<std::shared_ptr<WakeSignal>>& wake);

    mutable std::mutex m_mutex;
    uint64_t m_sequence = 0;
    uint64_t m_refused = 0;
    uint64_t m_sleeps = 0;
    uint64_t m_disconnects = 0;
    std::vector<Waiter*> m_waiters;
    // Stable addresses: Send calls them after releasing the lock.
    std::unordered_map<const InPort*, std::function<void()>> m_consumers;
    // Handles that each thread added for its next wait.
    std::unordered_map<std::thread::id, std::vector<HANDLE>> m_pendingHandles;
    // How many links each port of this hub has.
    std::unordered_map<InPort*, size_t> m_inLinks;
    std::unordered_map<OutPort*, size_t> m_outLinks;
};

}  // namespace kiln
