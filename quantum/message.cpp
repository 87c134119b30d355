#include "quantum/message.h"

namespace kiln {

bool EncodeToBytes(const QuantumS& q, datavect<uint8_t>& out, OpCx* errors) {
    QueueEncodeContext cx;
    bool ok = static_cast<bool>(q.Encode(cx)) && cx.CopyTo(out);
    if (errors) errors->TakeErrors(cx);
    return ok;
}

namespace {
thread_local uint32_t t_decodeDepth = 0;
}

DecodeDepthGuard::DecodeDepthGuard() : depth_(++t_decodeDepth) {}
DecodeDepthGuard::~DecodeDepthGuard() { --t_decodeDepth; }

WString DecodeDepthGuard::Message(const char* cls) {
    WString m(u"Nesting deeper than ");
    m += NumberToText(static_cast<uint64_t>(kMaxDecodeDepth));
    m += u" levels in ";
    AppendAscii(m, cls);
    m += u"::Decode()";
    return m;
}

namespace message_detail {

WString FieldMessage(const char* prefix, const char* field, const char* cls, const char* op) {
    WString m;
    AppendAscii(m, prefix);
    if (field) {
        m += u" ";
        AppendAscii(m, field);
    }
    m += u" in ";
    AppendAscii(m, cls);
    AppendAscii(m, op);
    return m;
}

WString FrameMessage(const char16_t* prefix, uint64_t n, const char16_t* middle, const char* cls,
                     const char* op) {
    WString m(prefix);
    m += NumberToText(n);
    m += middle;
    AppendAscii(m, cls);
    AppendAscii(m, op);
    return m;
}

}  // namespace message_detail
}  // namespace kiln
