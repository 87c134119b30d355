// The quantum object model: every message that crosses a port is a
// reference-counted Quantum; a QuantumS can also be encoded and decoded.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>
#include <typeinfo>

#include "nocrtlib/decode_context.h"
#include "nocrtlib/encode_context.h"
#include "nocrtlib/ncstring.h"
#include "nocrtlib/refptr.h"

namespace kiln {

struct DumpOptions {
    uint32_t indent = 0;     // spaces in front of this quantum's own lines
    uint32_t step = 2;       // spaces added per nesting level
    bool abbreviate = true;  // shorten long byte and character strings

    DumpOptions Nested() const { return DumpOptions{indent + step, step, abbreviate}; }
};

class Quantum : public virtual RefCountable {
public:
    // The quantum type ID: the class name, for example "QtSfsOpen".
    virtual const char* TypeId() const = 0;
    // Estimated bytes held: own size, plus 32 and the size of every
    // separately allocated block, recursively.
    virtual uint64_t MemSize() const = 0;
    virtual WString Dump(const DumpOptions& options) const = 0;
};

class QuantumS : public virtual Quantum {
public:
    virtual OpResult Encode(EncodeContext& cx) const = 0;
    // Replaces the contents with what it reads.
    virtual OpResult Decode(DecodeContext& cx) = 0;
};

// Downcast of a quantum pointer; null when it is of another class. Every
// quantum class derives from its bases virtually, and a dynamic_cast from a
// virtual base walks the class graph even when it succeeds (some 50 ns, a
// dozen times per request on the way through ports and handlers). Nearly
// always the quantum is of the very class asked for: that is tried first,
// through its most derived object, which needs no walk.
template <class T, class U>
T* QuantumPtrCast(U* q) {
    if (q == nullptr) return nullptr;
    if (typeid(*q) == typeid(T)) {
        using Void = std::conditional_t<std::is_const_v<U>, const void, void>;
        return static_cast<T*>(dynamic_cast<Void*>(q));
    }
    return dynamic_cast<T*>(q);
}

// Downcast of a shared quantum; null when it is of another class.
template <class T, class U>
RefPtr<T> QuantumCast(const RefPtr<U>& q) {
    return RefPtr<T>(QuantumPtrCast<T>(q.get()));
}

// Appends ASCII text to a wide string (names and numbers in messages).
inline void AppendAscii(WString& out, std::string_view ascii) {
    out.reserve(out.size() + ascii.size());
    for (char c : ascii) out.append(static_cast<char16_t>(static_cast<unsigned char>(c)));
}
inline WString Ascii(std::string_view ascii) {
    WString w;
    AppendAscii(w, ascii);
    return w;
}

// Decoding recurses once per nesting level; hostile input could nest deep
// enough to exhaust the stack. Every composite decoder holds a guard, and
// input nested deeper than kMaxDecodeDepth fails cleanly instead.
constexpr uint32_t kMaxDecodeDepth = 256;
class DecodeDepthGuard {
public:
    DecodeDepthGuard();
    ~DecodeDepthGuard();
    DecodeDepthGuard(const DecodeDepthGuard&) = delete;
    DecodeDepthGuard& operator=(const DecodeDepthGuard&) = delete;
    bool TooDeep() const { return depth_ > kMaxDecodeDepth; }
    // "Nesting deeper than 256 levels in <cls>::Decode()"
    static WString Message(const char* cls);

private:
    uint32_t depth_;
};

// Encodes a quantum into contiguous bytes; false when encoding failed.
bool EncodeToBytes(const QuantumS& q, datavect<uint8_t>& out, OpCx* errors = nullptr);

}  // namespace kiln
