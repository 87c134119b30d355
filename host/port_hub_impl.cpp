#include "host/port_hub_impl.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "platform/handle_waits.h"

namespace kiln {

// What a sleeping thread waits on. Senders notify it after releasing the
// hub's lock: a thread woken while the lock is still held would at once
// block on that lock again, which costs two more context switches for every
// delivery. By then the waiter may have left, so the condition is shared, and
// each thread keeps one for all its waits.
struct PortHubImpl::WakeSignal {
    std::condition_variable cv;
};

// One thread's wait. Sends to its ports and signalled handles set `woken`
// under the hub's lock, then notify its signal.
struct PortHubImpl::Waiter final : platform::SignalWaiter {
    Waiter(PortHubImpl& hub, InPort* const* ports, size_t count)
        : hub(hub), ports(ports), count(count), signal(ThisThreadsSignal()) {}

    static std::shared_ptr<WakeSignal> ThisThreadsSignal() {
        thread_local std::shared_ptr<WakeSignal> signal = std::make_shared<WakeSignal>();
        return signal;
    }

    // Called by a signalled event or thread, with that object's waiter list
    // locked; the hub's lock is never held while waiters are added or removed,
    // so the two locks are always taken in this order.
    void Notify() override {
        std::shared_ptr<WakeSignal> wake;
        {
            std::lock_guard lock(hub.m_mutex);
            woken = true;
            wake = signal;
        }
        wake->cv.notify_one();
    }

    bool Watches(const InPort* port) const {
        return std::find(ports, ports + count, port) != ports + count;
    }

    PortHubImpl& hub;
    InPort* const* ports;
    size_t count;
    bool woken = false;
    std::shared_ptr<WakeSignal> signal;
};

PortHubImpl::~PortHubImpl() {
    std::lock_guard lock(m_mutex);
    for (auto& [port, links] : m_inLinks) {
        port->ClearEndPoints();
        port->SetHub(nullptr);
    }
    for (auto& [port, links] : m_outLinks) {
        port->ClearEndPoints();
        port->SetHub(nullptr);
    }
}

void PortHubImpl::AddWaitHandle(HANDLE handle) {
    std::lock_guard lock(m_mutex);
    m_pendingHandles[std::this_thread::get_id()].push_back(handle);
}

void PortHubImpl::Wait(InPort* const* ports, size_t count, uint32_t, uint32_t) {
    WaitUntil(ports, count, nullptr);
}

bool PortHubImpl::WaitFor(InPort* const* ports, size_t count, std::chrono::nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    return WaitUntil(ports, count, &deadline);
}

bool PortHubImpl::WaitUntil(InPort* const* ports, size_t count,
                            const std::chrono::steady_clock::time_point* deadline) {
    if (!ports) count = 0;
    std::vector<HANDLE> handles;
    std::unique_lock lock(m_mutex);
    if (!m_pendingHandles.empty()) {
        auto pending = m_pendingHandles.find(std::this_thread::get_id());
        if (pending != m_pendingHandles.end()) {
            handles = std::move(pending->second);
            m_pendingHandles.erase(pending);
        }
    }
    // Declared first so that it outlives the watch, which may still be
    // notifying it until `objects` is gone.
    Waiter waiter(*this, ports, count);
    // Made only for a wait with handles: most waits are on ports alone.
    std::optional<platform::HandleWaits> objects;
    if (!handles.empty()) {
        objects.emplace();
        // The objects' waiter lists are locked before the hub's, never
        // inside it.
        lock.unlock();
        for (HANDLE handle : handles) {
            // A handle that names nothing can never be signalled; returning
            // lets the caller find its own error instead of sleeping for ever.
            if (!objects->Add(handle)) return true;
        }
        objects->Watch(&waiter);
        lock.lock();
    }
    // Nothing could ever end this wait.
    if (count == 0 && !objects) return true;
    auto isReady = [&] {
        if (waiter.woken) return true;
        for (size_t i = 0; i < count; ++i)
            if (!ports[i]->IsEmpty()) return true;
        return objects && objects->AnySignalled();
    };
    bool ready = isReady();
    if (!ready) {
        ++m_sleeps;
        m_waiters.push_back(&waiter);
        if (deadline) {
            ready = waiter.signal->cv.wait_until(lock, *deadline, isReady);
        } else {
            waiter.signal->cv.wait(lock, isReady);
            ready = true;
        }
        std::erase(m_waiters, &waiter);
    }
    // Unlocked before `objects` stops watching: its notifications take the
    // hub's lock.
    lock.unlock();
    return ready;
}

uint8_t PortHubImpl::Send(OutPort& port, const RefPtr<Quantum>& quantum) {
    if (!quantum) return 0;
    Collected<std::shared_ptr<WakeSignal>> wake;
    Collected<const std::function<void()>*> consumers;
    bool all;
    {
        std::lock_guard lock(m_mutex);
        const size_t links = port.EndPointCount();
        all = links > 0;
        for (size_t i = 0; i < links; ++i) {
            InPort* target = port.EndPoint(i);
            // The receiver downcasts what it takes; a quantum of another class
            // must never reach its queue.
            if (!target->Accepts(quantum)) {
                ++m_refused;
                all = false;
                continue;
            }
            target->Append(quantum, ++m_sequence);
            auto consumer = m_consumers.find(target);
            if (consumer == m_consumers.end())
                WakeWaitersOn(target, wake);
            else
                consumers.Add(&consumer->second);
        }
    }
    wake.ForEach([](const std::shared_ptr<WakeSignal>& signal) { signal->cv.notify_one(); });
    consumers.ForEach([](const std::function<void()>* consume) { (*consume)(); });
    return all ? 1 : 0;
}

void PortHubImpl::WakeWaitersOn(const InPort* port, Collected<std::shared_ptr<WakeSignal>>& wake) {
    for (Waiter* waiter : m_waiters) {
        if (waiter->Watches(port) && !waiter->woken) {
            waiter->woken = true;
            wake.Add(waiter->signal);
        }
    }
}

void PortHubImpl::SetConsumer(InPort& port, std::function<void()> consume) {
    std::lock_guard lock(m_mutex);
    if (consume)
        m_consumers[&port] = std::move(consume);
    else
        m_consumers.erase(&port);
}

void PortHubImpl::Disconnect(OutPort& out, InPort& in) {
    ++m_disconnects;
    ForgetLink(out, in);
}

void PortHubImpl::ForgetLink(OutPort& out, InPort& in) {
    // A port without links no longer needs the hub, even when it outlives it.
    if (auto it = m_outLinks.find(&out); it != m_outLinks.end() && --it->second == 0) {
        m_outLinks.erase(it);
        out.SetHub(nullptr);
    }
    if (auto it = m_inLinks.find(&in); it != m_inLinks.end() && --it->second == 0) {
        m_inLinks.erase(it);
        in.SetHub(nullptr);
    }
}

void PortHubImpl::Lock() {
    m_mutex.lock();
}

void PortHubImpl::Unlock() {
    m_mutex.unlock();
}

void PortHubImpl::Link(OutPort& out, InPort& in) {
    if (!out.IsCompatible(in)) {
        WString text(u"PortHub: cannot link an output port for ");
        AppendAscii(text, out.TypeName());
        text += u" to an input port for ";
        AppendAscii(text, in.TypeName());
        throw PortLinkError(text);
    }
    std::lock_guard lock(m_mutex);
    for (PortHub* hub : {out.Hub(), in.Hub()}) {
        if (hub && hub != this)
            throw PortLinkError(WString(u"PortHub: port is linked through another hub"));
    }
    if (out.HasEndPoint(&in)) return;
    if (!out.AddEndPoint(&in)) throw std::bad_alloc();
    if (!in.AddEndPoint(&out)) {
        out.RemoveEndPoint(&in);
        throw std::bad_alloc();
    }
    ++m_outLinks[&out];
    ++m_inLinks[&in];
    out.SetHub(this);
    in.SetHub(this);
}

bool PortHubImpl::Unlink(OutPort& out, InPort& in) {
    std::lock_guard lock(m_mutex);
    if (!out.HasEndPoint(&in)) return false;
    out.RemoveEndPoint(&in);
    if (in.HasEndPoint(&out)) in.RemoveEndPoint(&out);
    ForgetLink(out, in);
    return true;
}

uint64_t PortHubImpl::DeliveryCount() const {
    std::lock_guard lock(m_mutex);
    return m_sequence;
}

uint64_t PortHubImpl::RefusedCount() const {
    std::lock_guard lock(m_mutex);
    return m_refused;
}

uint64_t PortHubImpl::SleepCount() const {
    std::lock_guard lock(m_mutex);
    return m_sleeps;
}

uint64_t PortHubImpl::DisconnectCount() const {
    std::lock_guard lock(m_mutex);
    return m_disconnects;
}

}  // namespace kiln
