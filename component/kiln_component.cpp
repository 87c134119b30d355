#include "component/kiln_component.h"

#include "nocrtlib/assertion.h"

namespace kiln {

namespace {

template <class P>
void RemoveFromList(datavect<P*>& list, const P* port) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == port) {
            list.erase(i, 1);
            return;
        }
    }
}

}  // namespace

KilnComponent::KilnComponent() {
    RegisterPort(m_errorPort);
}

KilnComponent::~KilnComponent() {
    // Ports that outlive this point (the error port, ports kept elsewhere)
    // must not reach back into lists that are about to go.
    for (InPort* port : m_inPorts) port->SetOwner(nullptr);
    for (OutPort* port : m_outPorts) port->SetOwner(nullptr);
    m_inPorts.clear();
    m_outPorts.clear();
}

int KilnComponent::IntegerQuery() const {
    return 3;
}

KilnComponent::QueryRecord KilnComponent::RecordQuery() const {
    return QueryRecord{};
}

void KilnComponent::Notify() {}

int KilnComponent::Step() {
    return 1;
}

void KilnComponent::Run() {
    PortHub& hub = RequireHub();
    while (Step() != 1) hub.Wait(m_inPorts.data(), m_inPorts.size(), 0, 0);
}

RefPtr<Quantum> KilnComponent::ReceiveAny(PortHub& hub, InPort* const (&ports)[2]) {
    for (;;) {
        RefPtr<Quantum> taken;
        {
            PortHubLock lock(hub);
            InPort* chosen = nullptr;
            uint64_t lowest = 0;
            for (InPort* port : ports) {
                const QuantaEntry* front = port->Front();
                if (front && (!chosen || front->sequence < lowest)) {
                    chosen = port;
                    lowest = front->sequence;
                }
            }
            if (chosen) taken = chosen->PopFront();
        }
        // Released or returned outside the lock: see QuantaStore.
        if (taken) return taken;
        hub.Wait(ports, 2, 0, 0);
    }
}

void KilnComponent::RegisterPort(InPort& port) {
    port.SetOwner(this);
    m_inPorts.push_back(&port);
}

void KilnComponent::RegisterPort(OutPort& port) {
    port.SetOwner(this);
    m_outPorts.push_back(&port);
}

PortHub& KilnComponent::RequireHub() const {
    KILN_ASSERT_TEXT_AT(m_hub != nullptr, "m_hub != nullptr", "KilnComponent", __LINE__);
    return *m_hub;
}

void KilnComponent::ForgetPort(const InPort* port) {
    RemoveFromList(m_inPorts, port);
}

void KilnComponent::ForgetPort(const OutPort* port) {
    RemoveFromList(m_outPorts, port);
}

}  // namespace kiln
