// Helpers shared by the SFS message tests: bytes in and out of quanta, and
// hexadecimal notation for expected wire forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nocrtlib/decode_context.h"
#include "nocrtlib/encode_context.h"
#include "quantum/quantum.h"
#include "quantum/registry.h"

namespace kiln::sfstest {

using Bytes = std::vector<uint8_t>;

// "00 00 00 20 51" -> bytes; whitespace is ignored.
inline Bytes Hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::string ToHex(const Bytes& b) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += kDigits[b[i] >> 4];
        s += kDigits[b[i] & 0xF];
    }
    return s;
}

struct Encoded {
    bool ok = false;
    uint32_t count = 0;
    Bytes bytes;
    std::vector<std::string> errors;
};

inline std::vector<std::string> ErrorsOf(const OpCx& cx) {
    std::vector<std::string> out;
    for (const auto& e : cx.Errors()) out.push_back(Narrow(e.sv()));
    return out;
}

inline Encoded Encode(const QuantumS& q) {
    Encoded e;
    QueueEncodeContext cx;
    OpResult r = q.Encode(cx);
    e.ok = r.ok;
    e.count = r.count;
    cx.ForEachChunk([&](const uint8_t* p, size_t n) { e.bytes.insert(e.bytes.end(), p, p + n); });
    e.errors = ErrorsOf(cx);
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
    d.errors = ErrorsOf(cx);
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
