#include "support/test_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace kiln::test {

class TestHost::Collector final : public InPort {
  public:
    explicit Collector(std::string typeName) : m_typeName(std::move(typeName)) {}
    ~Collector() override = default;
    const char* TypeName() const override { return m_typeName.c_str(); }
    bool Accepts(const RefPtr<Quantum>& quantum) const override { return bool(quantum); }

  private:
    std::string m_typeName;
};

class TestHost::Feeder final : public OutPort {
  public:
    explicit Feeder(std::string typeName) : m_typeName(std::move(typeName)) {}
    ~Feeder() override = default;
    const char* TypeName() const override { return m_typeName.c_str(); }

  private:
    std::string m_typeName;
};

namespace {

std::u16string ToU16(const WString& s) {
    return std::u16string(s.sv());
}

WString Widen(const char* text) {
    WString out;
    AppendAscii(out, text ? text : "");
    return out;
}

}  // namespace

TestHost::TestHost(std::unique_ptr<KilnComponent> component) : m_component(std::move(component)) {
    if (!m_component) throw std::invalid_argument("TestHost: no component");
}

TestHost::~TestHost() {
    if (!m_thread.joinable()) return;
    if (!m_finished.load()) {
        RefPtr<Quantum> eof = MakeRef<QtEof>();
        for (size_t i = 0; i < m_component->InPorts().size(); ++i) {
            if (m_component->InPorts()[i]->Accepts(eof)) {
                m_hub.Send(*m_feeders[i], eof);
                break;
            }
        }
    }
    if (!Join(kDefaultTimeout)) {
        std::fprintf(stderr, "TestHost: the component did not finish; stopping\n");
        std::abort();
    }
    m_thread.join();
}

void TestHost::Start() {
    if (m_thread.joinable()) throw std::logic_error("TestHost: already started");
    const datavect<InPort*>& inputs = m_component->InPorts();
    for (size_t i = 0; i < inputs.size(); ++i) {
        m_feeders.push_back(std::make_unique<Feeder>(inputs[i]->TypeName()));
        m_hub.Link(*m_feeders.back(), *inputs[i]);
    }
    const datavect<OutPort*>& outputs = m_component->OutPorts();
    for (size_t i = 0; i < outputs.size(); ++i)
        m_hub.Link(*outputs[i], CollectorFor(outputs[i]->TypeName()));
    m_component->SetHub(m_componentHub ? m_componentHub : &m_hub);
    m_thread = std::thread([this] { RunComponent(); });
}

void TestHost::RunComponent() {
    RunOutcome outcome;
    try {
        m_component->Run();
        outcome.kind = RunOutcome::Kind::Returned;
    } catch (const KilnComponent::Exit& exit) {
        outcome.kind = RunOutcome::Kind::Exit;
        outcome.cls = exit.cls;
        outcome.code = exit.code;
        outcome.text = exit.Description();
        // What a real host does with it: report it on the error port.
        RefPtr<QtError> error = MakeRef<QtError>();
        error->m_component = MakeRef<QtStr>(m_component->Name());
        error->m_cls = exit.cls;
        error->m_code = exit.code;
        error->m_desc = exit.desc;
        m_hub.Send(m_component->ErrorPort(), error);
    } catch (const WException& e) {
        outcome.kind = RunOutcome::Kind::Exception;
        outcome.text = e.Description();
    } catch (const std::exception& e) {
        outcome.kind = RunOutcome::Kind::Exception;
        outcome.text = Widen(e.what());
    } catch (...) {
        outcome.kind = RunOutcome::Kind::Exception;
        outcome.text = u"unknown exception";
    }
    {
        std::lock_guard lock(m_outcomeLock);
        m_outcome = outcome;
        m_finished.store(true);
    }
    m_outcomeChanged.notify_all();
}

bool TestHost::Send(const RefPtr<Quantum>& quantum) {
    const datavect<InPort*>& inputs = m_component->InPorts();
    for (size_t i = 0; i < inputs.size() && i < m_feeders.size(); ++i)
        if (inputs[i]->Accepts(quantum)) return SendTo(i, quantum);
    ADD_FAILURE() << "TestHost: no input port of the component takes "
                  << (quantum ? quantum->TypeId() : "a null quantum")
                  << (m_feeders.empty() ? " (not started)" : "");
    return false;
}

bool TestHost::SendTo(size_t inputIndex, const RefPtr<Quantum>& quantum) {
    if (inputIndex >= m_feeders.size()) {
        ADD_FAILURE() << "TestHost: no input port " << inputIndex;
        return false;
    }
    return m_hub.Send(*m_feeders[inputIndex], quantum) != 0;
}

InPort& TestHost::CollectorFor(const char* typeName) {
    for (auto& collector : m_collectors)
        if (std::strcmp(collector->TypeName(), typeName) == 0) return *collector;
    m_collectors.push_back(std::make_unique<Collector>(typeName));
    return *m_collectors.back();
}

void TestHost::Drain() {
    std::vector<RefPtr<Quantum>> taken;
    {
        PortHubLock lock(m_hub);
        for (;;) {
            Collector* next = nullptr;
            for (auto& collector : m_collectors) {
                const QuantaEntry* front = collector->Front();
                if (front && (!next || front->sequence < next->Front()->sequence))
                    next = collector.get();
            }
            if (!next) break;
            taken.push_back(next->PopFront());
        }
    }
    for (RefPtr<Quantum>& q : taken) m_items.push_back(Item{std::move(q), false});
}

std::vector<RefPtr<Quantum>> TestHost::Received() {
    Drain();
    std::vector<RefPtr<Quantum>> out;
    out.reserve(m_items.size());
    for (const Item& item : m_items) out.push_back(item.quantum);
    return out;
}

std::vector<std::u16string> TestHost::ReceivedDumps() {
    std::vector<std::u16string> out;
    for (const RefPtr<Quantum>& q : Received()) out.push_back(ToU16(q->Dump(DumpOptions{})));
    return out;
}

RefPtr<Quantum> TestHost::WaitForMatch(const std::function<bool(const Quantum&)>& match,
                                       std::chrono::milliseconds timeout) {
    RefPtr<Quantum> found;
    WaitUntilCollected(
        [&] {
            for (Item& item : m_items) {
                if (!item.taken && match(*item.quantum)) {
                    item.taken = true;
                    found = item.quantum;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

bool TestHost::WaitUntilCollected(const std::function<bool()>& done,
                                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Drain();
        if (done()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::vector<InPort*> ports;
        for (auto& collector : m_collectors) ports.push_back(collector.get());
        // Without a collector (not started, no reply port) nothing can come.
        if (ports.empty()) return false;
        m_hub.WaitFor(ports.data(), ports.size(), deadline - now);
    }
}

bool TestHost::Join(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_outcomeLock);
    return m_outcomeChanged.wait_for(lock, timeout, [this] { return m_finished.load(); });
}

RunOutcome TestHost::Outcome() const {
    std::lock_guard lock(m_outcomeLock);
    return m_outcome;
}

}  // namespace kiln::test
