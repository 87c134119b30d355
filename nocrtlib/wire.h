// The wire primitives. Integers are big-endian; a String is a Word32 length
// followed by the bytes; wide strings travel as UTF-8 Strings. No primitive
// throws: a failure appends its message to the context's error list, returns
// a failed OpResult and leaves the read position unchanged.
#pragma once

#include <string_view>

#include "nocrtlib/decode_context.h"
#include "nocrtlib/encode_context.h"
#include "nocrtlib/ncstring.h"

namespace kiln {

OpResult EncodeByte(EncodeContext& cx, uint8_t v);
OpResult EncodeBoolean(EncodeContext& cx, bool v);
OpResult EncodeWord16(EncodeContext& cx, uint16_t v);
OpResult EncodeWord32(EncodeContext& cx, uint32_t v);
OpResult EncodeWord64(EncodeContext& cx, uint64_t v);
OpResult EncodeString(EncodeContext& cx, const void* p, uint64_t len);
OpResult EncodeWStrAsUtf8(EncodeContext& cx, std::u16string_view s);

OpResult DecodeByte(DecodeContext& cx, uint8_t& v);
OpResult DecodeBoolean(DecodeContext& cx, bool& v);
OpResult DecodeWord16(DecodeContext& cx, uint16_t& v);
OpResult DecodeWord32(DecodeContext& cx, uint32_t& v);
OpResult DecodeWord64(DecodeContext& cx, uint64_t& v);
OpResult DecodeString(DecodeContext& cx, datavect<uint8_t>& out);
// A narrow string receives a terminating zero as well.
OpResult DecodeString(DecodeContext& cx, NString& out);
OpResult DecodeWStrAsUtf8(DecodeContext& cx, WString& out);

inline void StoreWord32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint32_t LoadWord32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace kiln
