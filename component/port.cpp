#include "component/port.h"

#include <cstring>

#include "component/kiln_component.h"
#include "component/port_hub.h"

namespace kiln {

namespace {

// Takes a port out of service: unlinks it from every peer through its hub,
// then leaves its owner's list. Never throws: it runs in destructors.
template <class Self, class Peer>
void TakeOutOfService(Self& self, void (*disconnect)(PortHub&, Self&, Peer&)) {
    if (PortHub* hub = self.Hub()) {
        try {
            PortHubLock lock(*hub);
            // Every peer is unlinked even if one list disagrees, so that no
            // peer keeps a pointer to this port.
            for (size_t i = 0; i < self.EndPointCount(); ++i) {
                Peer* peer = self.EndPoint(i);
                try {
                    disconnect(*hub, self, *peer);
                    peer->RemoveEndPoint(&self);
                } catch (...) {
                }
            }
            self.ClearEndPoints();
        } catch (...) {
        }
    }
    if (KilnComponent* owner = self.Owner()) {
        try {
            owner->ForgetPort(&self);
        } catch (...) {
        }
    }
}

}  // namespace

void QuantaStore::Append(RefPtr<Quantum> quantum, uint64_t sequence) {
    m_queue.push_back(QuantaEntry{std::move(quantum), sequence});
}

RefPtr<Quantum> QuantaStore::PopFront() {
    if (m_queue.empty()) return nullptr;
    RefPtr<Quantum> quantum = std::move(m_queue.front().quantum);
    m_queue.pop_front();
    return quantum;
}

bool SamePortType(const KilnPort& a, const KilnPort& b) {
    return std::strcmp(a.TypeName(), b.TypeName()) == 0;
}

InPort::~InPort() {
    TakeOutOfService<InPort, OutPort>(
        *this, [](PortHub& hub, InPort& self, OutPort& peer) { hub.Disconnect(peer, self); });
}

bool InPort::IsCompatible(const KilnPort& other) const {
    return SamePortType(*this, other);
}

OutPort::~OutPort() {
    TakeOutOfService<OutPort, InPort>(
        *this, [](PortHub& hub, OutPort& self, InPort& peer) { hub.Disconnect(self, peer); });
}

bool OutPort::IsCompatible(const KilnPort& other) const {
    return SamePortType(*this, other);
}

}  // namespace kiln
