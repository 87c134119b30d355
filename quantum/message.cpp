#include "quantum/message.h"

namespace kiln {

bool EncodeToBytes(const QuantumS& q, datavect<uint8_t>& out, OpCx* errors) {
    QueueEncodeContext cx;
    bool ok = static_cast<bool>(q.Encode(cx)) && cx.CopyTo(out);
    if (errors) errors->TakeErrors(cx);
    return ok;
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
