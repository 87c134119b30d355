#include "nocrtlib/wire.h"

#include <cstring>

namespace kiln {

namespace {

template <class T>
OpResult EncodeFixed(EncodeContext& cx, T v, const char16_t* failure) {
    uint8_t* p = cx.GetWritePtr(sizeof(T));
    if (!p) {
        cx.AddError(failure);
        return OpResult::Failure();
    }
    for (size_t i = 0; i < sizeof(T); ++i)
        p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * (sizeof(T) - 1 - i)));
    cx.Commit(sizeof(T));
    return OpResult::Success(sizeof(T));
}

template <class T>
OpResult DecodeFixed(DecodeContext& cx, T& v, const char16_t* failure) {
    const uint8_t* p = cx.Peek(sizeof(T));
    if (!p) {
        cx.AddError(failure);
        return OpResult::Failure();
    }
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value = (value << 8) | p[i];
    v = static_cast<T>(value);
    cx.Consume(sizeof(T));
    return OpResult::Success(sizeof(T));
}

// Reads the length word and returns a view of the string's bytes, leaving
// the caller's context untouched on failure.
const uint8_t* DecodeStringView(DecodeContext& cx, uint32_t& len) {
    const uint8_t* head = cx.Peek(4);
    if (!head) {
        cx.AddError(u"DecodeWord32(): premature end of input data");
        cx.AddError(u"DecodeString(): failed at DecodeWord32()");
        return nullptr;
    }
    len = LoadWord32(head);
    const uint8_t* p = cx.Peek(uint64_t{len} + 4);
    if (!p) {
        cx.AddError(u"DecodeString(): premature end of input data");
        return nullptr;
    }
    return p + 4;
}

}  // namespace

OpResult EncodeByte(EncodeContext& cx, uint8_t v) {
    return EncodeFixed(cx, v, u"EncodeByte(): out of space");
}
OpResult EncodeBoolean(EncodeContext& cx, bool v) { return EncodeByte(cx, v ? 1 : 0); }
OpResult EncodeWord16(EncodeContext& cx, uint16_t v) {
    return EncodeFixed(cx, v, u"EncodeWord16(): out of space");
}
OpResult EncodeWord32(EncodeContext& cx, uint32_t v) {
    return EncodeFixed(cx, v, u"EncodeWord32(): out of space");
}
OpResult EncodeWord64(EncodeContext& cx, uint64_t v) {
    return EncodeFixed(cx, v, u"EncodeWord64(): out of space");
}

OpResult EncodeString(EncodeContext& cx, const void* data, uint64_t len) {
    uint8_t* p = len <= 0xFFFFFFFFu - 4 ? cx.GetWritePtr(static_cast<uint32_t>(len + 4)) : nullptr;
    if (!p && len <= 0xFFFFFFFFu - 4) {
        cx.AddError(WString(u"EncodeString(): out of space (need ") + NumberToText(len) +
                    u" bytes)");
        return OpResult::Failure();
    }
    if (len > 0xFFFFFFFFu - 4) {
        cx.AddError(WString(u"EncodeString(): length ") + NumberToText(len) +
                    u" exceeds WORD32_MAX");
        return OpResult::Failure();
    }
    // The space for length and data was obtained in one piece above.
    StoreWord32(p, static_cast<uint32_t>(len));
    if (len) std::memcpy(p + 4, data, len);
    cx.Commit(static_cast<uint32_t>(len + 4));
    return OpResult::Success(static_cast<uint32_t>(len + 4));
}

OpResult EncodeWStrAsUtf8(EncodeContext& cx, std::u16string_view s) {
    datavect<char> utf8;
    if (!WideToUtf8(s, utf8)) {
        cx.AddError(u"EncodeWStrAsUtf8(): conversion of UCS-2 string to UTF-8 failed");
        return OpResult::Failure();
    }
    return EncodeString(cx, utf8.data(), utf8.size());
}

OpResult DecodeByte(DecodeContext& cx, uint8_t& v) {
    return DecodeFixed(cx, v, u"DecodeByte(): premature end of input data");
}
OpResult DecodeBoolean(DecodeContext& cx, bool& v) {
    uint8_t b;
    if (!DecodeByte(cx, b)) {
        cx.AddError(u"DecodeBoolean(): failed at DecodeByte()");
        return OpResult::Failure();
    }
    v = b != 0;
    return OpResult::Success(1);
}
OpResult DecodeWord16(DecodeContext& cx, uint16_t& v) {
    return DecodeFixed(cx, v, u"DecodeWord16(): premature end of input data");
}
OpResult DecodeWord32(DecodeContext& cx, uint32_t& v) {
    return DecodeFixed(cx, v, u"DecodeWord32(): premature end of input data");
}
OpResult DecodeWord64(DecodeContext& cx, uint64_t& v) {
    return DecodeFixed(cx, v, u"DecodeWord64(): premature end of input data");
}

OpResult DecodeString(DecodeContext& cx, datavect<uint8_t>& out) {
    uint32_t len = 0;
    const uint8_t* p = DecodeStringView(cx, len);
    if (!p) return OpResult::Failure();
    out.clear();
    if (!out.append(p, len)) {
        cx.AddError(u"DecodeString(): string allocation failed");
        return OpResult::Failure();
    }
    cx.Consume(uint64_t{len} + 4);
    return OpResult::Success(len + 4);
}

OpResult DecodeString(DecodeContext& cx, NString& out) {
    uint32_t len = 0;
    const uint8_t* p = DecodeStringView(cx, len);
    if (!p) return OpResult::Failure();
    if (!out.assign(std::string_view(reinterpret_cast<const char*>(p), len))) {
        cx.AddError(u"DecodeString(): string allocation failed");
        return OpResult::Failure();
    }
    cx.Consume(uint64_t{len} + 4);
    return OpResult::Success(len + 4);
}

OpResult DecodeWStrAsUtf8(DecodeContext& cx, WString& out) {
    uint32_t len = 0;
    const uint8_t* p = DecodeStringView(cx, len);
    if (!p) {
        cx.AddError(u"DecodeWStrAsUtf8(): error decoding UTF-8 string");
        return OpResult::Failure();
    }
    if (!Utf8ToWide(std::string_view(reinterpret_cast<const char*>(p), len), out)) {
        cx.AddError(u"DecodeWStrAsUtf8(): conversion of UTF-8 input string to UCS-2 failed");
        return OpResult::Failure();
    }
    cx.Consume(uint64_t{len} + 4);
    return OpResult::Success(len + 4);
}

}  // namespace kiln
