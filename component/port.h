// Ports: the ends through which components and the host exchange quanta.
//
// An output port feeds the input ports it is linked to; an input port is a
// queue (QuantaStore) that the host's PortHub fills and the owning component
// drains. Links, queues and end-point lists are guarded by the hub's lock.
// Ports are members of their component, or of a quantum that travels as a
// reply channel (QtOutPort), and are never owned by the lists that name them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "nocrtlib/datavect.h"
#include "nocrtlib/exceptions.h"
#include "quantum/quantum.h"

namespace kiln {

class KilnComponent;
class PortHub;
class InPort;
class OutPort;

// Raised when a port that comes apart is missing from its peer's list: the
// two lists disagree, which only a fault of the host's linking can cause.
class EndPointNotFound : public WStrException {
  public:
    EndPointNotFound() : WStrException(u"EndPointList: end point not found") {}
    WString Description() const override { return WStrException::Description(); }
};

class KilnPort {
  public:
    KilnPort() = default;
    KilnPort(const KilnPort&) = delete;
    KilnPort& operator=(const KilnPort&) = delete;
    // Not noexcept: a reply port is also a quantum, whose counted base may
    // report a broken count from its destructor.
    virtual ~KilnPort() noexcept(false) = default;

    // The registered type name of the quanta the port carries ("QtSfsRequest").
    virtual const char* TypeName() const = 0;

    KilnComponent* Owner() const { return m_owner; }
    void SetOwner(KilnComponent* owner) { m_owner = owner; }
    // The hub that linked the port; null while the port is not linked. A
    // port's destructor may read it while the hub unlinks a peer on another
    // thread, hence atomic.
    PortHub* Hub() const { return m_hub.load(std::memory_order_acquire); }
    void SetHub(PortHub* hub) { m_hub.store(hub, std::memory_order_release); }

  private:
    KilnComponent* m_owner = nullptr;
    std::atomic<PortHub*> m_hub{nullptr};
};

// The ports linked to one port. Guarded by the hub's lock.
template <class P>
class EndPointList : public NoCopy {
  public:
    virtual ~EndPointList() noexcept(false) = default;

    // Whether another port may be linked to this one: the same type name,
    // compared byte by byte.
    virtual bool IsCompatible(const KilnPort& other) const = 0;

    size_t EndPointCount() const { return m_endPoints.size(); }
    P* EndPoint(size_t i) const { return m_endPoints[i]; }
    bool HasEndPoint(const P* p) const {
        for (P* e : m_endPoints)
            if (e == p) return true;
        return false;
    }
    // False when memory ran out.
    bool AddEndPoint(P* p) { return m_endPoints.push_back(p); }
    // Removes the first entry for p; EndPointNotFound when there is none.
    void RemoveEndPoint(const P* p) {
        for (size_t i = 0; i < m_endPoints.size(); ++i) {
            if (m_endPoints[i] == p) {
                m_endPoints.erase(i, 1);
                return;
            }
        }
        throw EndPointNotFound();
    }
    void ClearEndPoints() { m_endPoints.clear(); }

  private:
    datavect<P*> m_endPoints;
};

// One queued delivery: the quantum and the hub's sequence number for it.
struct QuantaEntry {
    RefPtr<Quantum> quantum;
    uint64_t sequence = 0;
};

// The queue of an input port. The hub appends at the back and the owning
// component takes from the front, both under the hub's lock. Never drop a
// taken quantum while holding that lock: a quantum may carry reply ports,
// whose destructors take the lock themselves.
class QuantaStore {
  public:
    QuantaStore() = default;
    QuantaStore(const QuantaStore&) = delete;
    QuantaStore& operator=(const QuantaStore&) = delete;
    virtual ~QuantaStore() noexcept(false) = default;

    // Whether the port takes this quantum: false for null, otherwise whether
    // it is of the port's type or derived from it.
    virtual bool Accepts(const RefPtr<Quantum>& quantum) const = 0;

    bool IsEmpty() const { return m_queue.empty(); }
    size_t QueuedCount() const { return m_queue.size(); }
    // The front entry, or null when the queue is empty.
    const QuantaEntry* Front() const { return m_queue.empty() ? nullptr : &m_queue.front(); }
    void Append(RefPtr<Quantum> quantum, uint64_t sequence);
    // Takes the front entry's quantum; null when the queue is empty.
    RefPtr<Quantum> PopFront();

  private:
    std::deque<QuantaEntry> m_queue;
};

class InPort : public KilnPort, public QuantaStore, public EndPointList<OutPort> {
  public:
    InPort() = default;
    // Unlinks from every peer through the hub, then leaves the owner's list.
    ~InPort() override;

    bool IsCompatible(const KilnPort& other) const override;
};

class OutPort : public KilnPort, public EndPointList<InPort> {
  public:
    OutPort() = default;
    // Unlinks from every peer through the hub, then leaves the owner's list.
    ~OutPort() override;

    bool IsCompatible(const KilnPort& other) const override;
};

// True when the two type names are equal, byte by byte.
bool SamePortType(const KilnPort& a, const KilnPort& b);

}  // namespace kiln
