// Encode plus decode of (a) a request carrying a 32 KiB payload and (b) a
// small message with one short string and two integers.
#include <benchmark/benchmark.h>

#include <vector>

#include "quantum/message.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "quantum/registration.h"

namespace kiln {

class QtBenchWrite : public QtMessage<QtBenchWrite> {
public:
    KILN_QUANTUM_ID(QtBenchWrite)
    RefPtr<QtBytes> m_handle;
    uint64_t m_offset = 0;
    RefPtr<QtBytes> m_data;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_handle", &QtBenchWrite::m_handle),
                               Field("m_offset", &QtBenchWrite::m_offset),
                               Field("m_data", &QtBenchWrite::m_data));
    }
};

class QtBenchEnvelope : public QtMessage<QtBenchEnvelope> {
public:
    KILN_QUANTUM_ID(QtBenchEnvelope)
    uint32_t m_id = 0;
    uint32_t m_type = 0;
    RefPtr<QuantumS> m_content;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_id", &QtBenchEnvelope::m_id),
                               Field("m_type", &QtBenchEnvelope::m_type),
                               Field("m_content", &QtBenchEnvelope::m_content));
    }
};

class QtBenchSmall : public QtMessage<QtBenchSmall> {
public:
    KILN_QUANTUM_ID(QtBenchSmall)
    RefPtr<QtStr> m_name;
    uint32_t m_a = 0;
    uint64_t m_b = 0;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_name", &QtBenchSmall::m_name),
                               Field("m_a", &QtBenchSmall::m_a), Field("m_b", &QtBenchSmall::m_b));
    }
};

KILN_REGISTER_QUANTUM(QtBenchWrite);
KILN_REGISTER_QUANTUM(QtBenchEnvelope);
KILN_REGISTER_QUANTUM(QtBenchSmall);

namespace {

template <class T>
void RoundTrip(benchmark::State& state, const T& message) {
    datavect<uint8_t> wire;
    for (auto _ : state) {
        wire.clear();
        QueueEncodeContext out;
        if (!message.Encode(out) || !out.CopyTo(wire)) state.SkipWithError("encode failed");
        StaticDecodeContext in(wire.data(), wire.size());
        T decoded;
        if (!decoded.Decode(in)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(decoded);
    }
}

void BM_RoundTrip32KiBPayload(benchmark::State& state) {
    std::vector<uint8_t> payload(32 * 1024, 0x5A);
    static const uint8_t kHandle[] = {1, 2};
    auto write = MakeRef<QtBenchWrite>();
    write->m_handle = MakeRef<QtBytes>(kHandle, 2);
    write->m_offset = 1 << 20;
    write->m_data = MakeRef<QtBytes>(payload.data(), payload.size());
    QtBenchEnvelope request;
    request.m_id = 7;
    request.m_type = 6;
    request.m_content = write;
    RoundTrip(state, request);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 32 * 1024);
}
BENCHMARK(BM_RoundTrip32KiBPayload);

void BM_RoundTripSmall(benchmark::State& state) {
    QtBenchSmall small;
    small.m_name = MakeStr(u"readme.txt");
    small.m_a = 42;
    small.m_b = 1234567890123ull;
    RoundTrip(state, small);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RoundTripSmall);

}  // namespace
}  // namespace kiln

BENCHMARK_MAIN();
