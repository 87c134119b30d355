// The host's PortHub under load: quanta per second from a host thread to a
// component thread, and the round trip of a request answered on the reply
// port it carried (median and 99th percentile as counters, microseconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "component/general_quanta.h"
#include "component/kiln_component.h"
#include "component/qt_out_port.h"
#include "host/port_hub_impl.h"

namespace kiln {
namespace {

class QtBenchRequest : public QtMessage<QtBenchRequest> {
  public:
    KILN_QUANTUM_ID(QtBenchRequest)
    uint32_t m_id = 0;
    RefPtr<QtOutPort<QtSuccess>> m_outReply;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_id", &QtBenchRequest::m_id),
                               Field("m_outReply", &QtBenchRequest::m_outReply));
    }
};

// Takes requests until QtEof; answers those that carry a reply port, and
// acknowledges every `ackEvery`-th request on its own output port.
class BenchComponent : public KilnComponent {
  public:
    explicit BenchComponent(uint32_t ackEvery) : m_ackEvery(ackEvery) {
        RegisterPort(m_requests);
        RegisterPort(m_eof);
        RegisterPort(m_ack);
    }
    void Run() override {
        InPort* const ports[2] = {&m_requests, &m_eof};
        uint64_t count = 0;
        for (;;) {
            RefPtr<QtBenchRequest> request = QuantumCast<QtBenchRequest>(ReceiveAny(ports));
            if (!request) return;
            if (request->m_outReply) Send(*request->m_outReply, MakeRef<QtSuccess>());
            if (m_ackEvery && ++count % m_ackEvery == 0) Send(m_ack, MakeRef<QtSuccess>());
        }
    }

    TypedInPort<QtBenchRequest> m_requests;
    TypedInPort<QtEof> m_eof;
    TypedOutPort<QtSuccess> m_ack;

  private:
    uint32_t m_ackEvery;
};

// The host's side of one running component.
struct Rig {
    explicit Rig(uint32_t ackEvery) : component(ackEvery) {
        hub.Link(requests, component.m_requests);
        hub.Link(eof, component.m_eof);
        hub.Link(component.m_ack, acks);
        hub.Install(component);
        thread = std::thread([this] { component.Run(); });
    }
    ~Rig() {
        hub.Send(eof, MakeRef<QtEof>());
        thread.join();
    }
    // Waits for the next quantum on `port` and drops it.
    void Take(InPort& port) {
        InPort* const ports[1] = {&port};
        for (;;) {
            RefPtr<Quantum> q;
            {
                PortHubLock lock(hub);
                q = port.PopFront();
            }
            if (q) return;
            hub.Wait(ports, 1, 0, 0);
        }
    }

    PortHubImpl hub;
    TypedOutPort<QtBenchRequest> requests;
    TypedOutPort<QtEof> eof;
    TypedInPort<QtSuccess> acks;
    TypedInPort<QtSuccess> replies;
    BenchComponent component;
    std::thread thread;
};

void BM_HubThroughput(benchmark::State& state) {
    const auto batch = static_cast<uint32_t>(state.range(0));
    Rig rig(batch);
    for (auto _ : state) {
        for (uint32_t i = 0; i < batch; ++i) {
            RefPtr<QtBenchRequest> request = MakeRef<QtBenchRequest>();
            request->m_id = i;
            rig.hub.Send(rig.requests, request);
        }
        rig.Take(rig.acks);  // the component has taken the whole batch
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_HubThroughput)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();

void BM_RequestRoundTrip(benchmark::State& state) {
    Rig rig(0);
    std::vector<double> micros;
    micros.reserve(1 << 20);
    uint32_t id = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        RefPtr<QtBenchRequest> request = MakeRef<QtBenchRequest>();
        request->m_id = ++id;
        request->m_outReply = MakeRef<QtOutPort<QtSuccess>>();
        rig.hub.Link(*request->m_outReply, rig.replies);
        rig.hub.Send(rig.requests, request);
        request.reset();
        rig.Take(rig.replies);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_RequestRoundTrip)->UseRealTime();

}  // namespace
}  // namespace kiln

BENCHMARK_MAIN();
