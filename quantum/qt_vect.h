// Vector quanta: QtVect<T> is an in-memory vector of quanta; QtVectS<T> is
// the encodable one that message fields use. On the wire a QtVectS is a
// Word32 frame length followed by the elements' own encodings, with no count.
#pragma once

#include <string>

#include "nocrtlib/wire.h"
#include "quantum/quantum.h"

namespace kiln {

template <class T>
class QtVect : public virtual Quantum {
public:
    static const std::string& StaticTypeId() {
        static const std::string id = std::string("QtVect[") + T::kTypeId + "]";
        return id;
    }

    size_t Count() const { return m_items.size(); }
    T* operator[](size_t i) const { return m_items[i]; }
    RefPtr<T> At(size_t i) const { return m_items.at(i); }
    const RefPtrVect<T>& Items() const { return m_items; }
    // Appends an element; false when memory ran out.
    bool Append(const RefPtr<T>& item) {
        if (!m_items.push_back(item)) return false;
        if (item) m_itemsMemSize += item->MemSize();
        return true;
    }
    void Clear() {
        m_items.clear();
        m_itemsMemSize = 0;
    }
    T* const* begin() const { return m_items.begin(); }
    T* const* end() const { return m_items.end(); }

    virtual const char16_t* FamilyName() const { return u"QtVect"; }
    const char* TypeId() const override { return StaticTypeId().c_str(); }
    uint64_t MemSize() const override { return sizeof(*this) + m_itemsMemSize; }
    WString Dump(const DumpOptions& o) const override {
        WString out(FamilyName());
        out += u", ";
        out += NumberToText(static_cast<uint64_t>(m_items.size()));
        out += u" objects";
        DumpOptions nested = o.Nested();
        for (size_t i = 0; i < m_items.size(); ++i) {
            out += u"\n";
            for (uint32_t s = 0; s < o.indent; ++s) out.append(u' ');
            out += u"[";
            out += NumberToText(static_cast<uint64_t>(i));
            out += u"] ";
            T* item = m_items[i];
            if (item)
                out += item->Dump(nested);
            else
                out += u"null";
        }
        return out;
    }

protected:
    RefPtrVect<T> m_items;
    uint64_t m_itemsMemSize = 0;
};

template <class T>
class QtVectS : public QtVect<T>, public virtual QuantumS {
public:
    static const std::string& StaticTypeId() {
        static const std::string id = std::string("QtVectS[") + T::kTypeId + "]";
        return id;
    }

    const char16_t* FamilyName() const override { return u"QtVectS"; }
    const char* TypeId() const override { return StaticTypeId().c_str(); }

    OpResult Encode(EncodeContext& cx) const override {
        QueueEncodeContext body;
        const size_t count = this->m_items.size();
        for (size_t i = 0; i < count; ++i) {
            T* item = this->m_items[i];
            // A null element has no encoding of its own; it travels as an
            // empty frame, which is what an empty element decodes from.
            OpResult r = item ? item->Encode(body) : EncodeWord32(body, 0);
            if (!r) {
                cx.TakeErrors(body);
                cx.AddError(u"Error encoding item " + NumberToText(static_cast<uint64_t>(i)) +
                            u" of " + NumberToText(static_cast<uint64_t>(count)) +
                            u" in QtVectS::Encode()");
                return OpResult::Failure();
            }
        }
        uint64_t n = body.Size();
        if (n > 0xFFFFFFFFu - 4) {
            cx.AddError(u"Total size " + NumberToText(n) + u" exceeds WORD32_MAX in QtVectS::Encode()");
            return OpResult::Failure();
        }
        if (!EncodeWord32(cx, static_cast<uint32_t>(n))) {
            cx.AddError(u"Error encoding total size " + NumberToText(n) + u" in QtVectS::Encode()");
            return OpResult::Failure();
        }
        if (n && body.AppendTo(cx) != n) {
            cx.AddError(u"Error encoding data of size " + NumberToText(n) +
                        u" in QtVectS::Encode()");
            return OpResult::Failure();
        }
        return OpResult::Success(static_cast<uint32_t>(n + 4));
    }

    OpResult Decode(DecodeContext& cx) override {
        this->Clear();
        DecodeDepthGuard depth;
        if (depth.TooDeep()) {
            cx.AddError(DecodeDepthGuard::Message("QtVectS"));
            return OpResult::Failure();
        }
        const uint8_t* head = cx.Peek(4);
        if (!head) {
            cx.AddError(u"DecodeWord32(): premature end of input data");
            cx.AddError(u"Error decoding data size in QtVectS::Decode()");
            return OpResult::Failure();
        }
        uint32_t n = LoadWord32(head);
        const uint8_t* frame = cx.Peek(uint64_t{n} + 4);
        if (!frame) {
            cx.AddError(u"Insufficient input to decode " + NumberToText(n) +
                        u" bytes in QtVectS::Decode()");
            return OpResult::Failure();
        }
        StaticDecodeContext body(frame + 4, n);
        for (size_t i = 0; body.HasMore(); ++i) {
            RefPtr<T> item(new T);
            if (!item->Decode(body)) {
                cx.TakeErrors(body);
                cx.AddError(u"Error decoding item " + NumberToText(static_cast<uint64_t>(i)) +
                            u" in QtVectS::Decode()");
                return OpResult::Failure();
            }
            this->Append(item);
        }
        cx.Consume(uint64_t{n} + 4);
        return OpResult::Success(n + 4);
    }
};

}  // namespace kiln
