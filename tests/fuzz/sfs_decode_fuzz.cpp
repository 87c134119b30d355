// libFuzzer entry for the SFS message decoders. The input is what a field
// declared as "any quantum" carries, and what a port hands to the registry:
// a type ID string, then that class's encoding. Whatever the bytes, decoding
// fails cleanly (with a message) or yields a message that encodes again and
// whose encoding decodes to the same message.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "nocrtlib/decode_context.h"
#include "nocrtlib/wire.h"
#include "quantum/quantum.h"
#include "quantum/registry.h"

using namespace kiln;

namespace {

[[noreturn]] void Fault(const char* what, std::string_view typeId) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(typeId.size()), typeId.data());
    __builtin_trap();
}

std::string Full(const Quantum& q) {
    DumpOptions o;
    o.abbreviate = false;
    return Narrow(q.Dump(o).sv());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StaticDecodeContext input(data, size);
    NString id;
    if (!DecodeString(input, id)) return 0;
    RefPtr<QuantumS> q = QuantumRegistry::Instance().Create(id.sv());
    if (!q) return 0;
    const uint64_t before = input.Remaining();
    OpResult r = q->Decode(input);
    if (!r) {
        if (input.Errors().empty()) Fault("decoding failed without a message", id.sv());
        return 0;
    }
    if (before - input.Remaining() != r.count)
        Fault("decoded count differs from consumed", id.sv());
    (void)q->MemSize();
    const std::string dump = Full(*q);

    datavect<uint8_t> encoded;
    if (!EncodeToBytes(*q, encoded)) Fault("a decoded message does not encode", id.sv());
    RefPtr<QuantumS> again = QuantumRegistry::Instance().Create(id.sv());
    StaticDecodeContext second(encoded.data(), encoded.size());
    if (!again->Decode(second)) Fault("an encoding of ours does not decode", id.sv());
    if (second.Remaining() != 0) Fault("an encoding of ours has bytes left over", id.sv());
    if (Full(*again) != dump) Fault("the round trip changed the message", id.sv());
    return 0;
}
