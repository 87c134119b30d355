// Helpers shared by the SFS message tests: bytes in and out of quanta; the
// hexadecimal notation for expected wire forms is support/bytes.h's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nocrtlib/decode_context.h"
#include "nocrtlib/encode_context.h"
#include "quantum/quantum.h"
#include "quantum/registry.h"
#include "support/bytes.h"

namespace kiln::sfstest {

using Bytes = std::vector<uint8_t>;

using test::ErrorLines;
using test::Hex;
using test::ToHex;

struct Encoded {
    bool ok = false;
    uint32_t count = 0;
    Bytes bytes;
    std::vector<std::string> errors;
};

inline Encoded Encode(const QuantumS& q) {
    Encoded e;
    QueueEncodeContext cx;
    OpResult r = q.Encode(cx);
    e.ok = r.ok;
    e.count = r.count;
    cx.ForEachChunk([&](const uint8_t* p, size_t n) { e.bytes.insert(e.bytes.end(), p, p + n); });
    e.errors = ErrorLines(cx);
    return e;
}

struct Decoded {
    bool ok = false;
    uint32_t count = 0;
    uint64_t remaining = 0;
    std::vector<std::string> errors;
};

// Decodes from a heap copy of exactly the given bytes, so that a read past
// the end is caught by the address sanitizer.
inline Decoded DecodeInto(QuantumS& q, const uint8_t* p, size_t n) {
    std::vector<uint8_t> exact(p, p + n);
    exact.shrink_to_fit();
    StaticDecodeContext cx(exact.empty() ? nullptr : exact.data(), exact.size());
    Decoded d;
    OpResult r = q.Decode(cx);
    d.ok = r.ok;
    d.count = r.count;
    d.remaining = cx.Remaining();
    d.errors = ErrorLines(cx);
    return d;
}
inline Decoded DecodeInto(QuantumS& q, const Bytes& b) {
    return DecodeInto(q, b.data(), b.size());
}

template <class T>
RefPtr<T> DecodeAs(const Bytes& b, Decoded* result = nullptr) {
    RefPtr<T> q(new T);
    Decoded d = DecodeInto(*q, b);
    if (result) *result = d;
    return d.ok ? q : nullptr;
}

inline std::string DumpOf(const Quantum& q, bool abbreviate = true) {
    DumpOptions o;
    o.abbreviate = abbreviate;
    return Narrow(q.Dump(o).sv());
}

}  // namespace kiln::sfstest
