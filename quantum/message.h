// Declarative message classes. A message class lists its fields once, in
// wire order, and one generic encoder, decoder, dumper and MemSize serve
// every class:
//
//   class QtSfsRead : public QtMessage<QtSfsRead> {
//   public:
//       KILN_QUANTUM_ID(QtSfsRead)
//       RefPtr<QtBytes> m_handle;
//       uint64_t m_offset = 0;
//       uint32_t m_length = 0;
//       static constexpr auto Fields() {
//           return std::make_tuple(Field("m_handle", &QtSfsRead::m_handle),
//                                  Field("m_offset", &QtSfsRead::m_offset),
//                                  Field("m_length", &QtSfsRead::m_length));
//       }
//   };
//
// The member's type decides the field kind: unsigned integers of 8 to 64
// bits, bool, an enumeration (an enum class with an EnumText overload; its
// underlying type gives the width), RefPtr<QuantumS> (any encodable quantum:
// type ID, then content), RefPtr<X> for an encodable X (a nested quantum of a
// fixed class), and RefPtr<X> for an X that is only a Quantum (carried in
// memory: not encoded, null after decoding, dumped like the others).
//
// Wire form: Word32 N, then N bytes of fields. Decoding ignores bytes of the
// frame that no field consumed.
#pragma once

#include <concepts>
#include <tuple>
#include <type_traits>

#include "nocrtlib/wire.h"
#include "quantum/quantum.h"
#include "quantum/registry.h"

#define KILN_QUANTUM_ID(Name) static constexpr char kTypeId[] = #Name;

namespace kiln {

template <class E>
concept QuantumEnum = std::is_enum_v<E> && requires(E e) {
    { EnumText(e) } -> std::convertible_to<WString>;
};

template <class C, class M>
struct FieldDesc {
    const char* name;
    M C::*member;
};

template <class C, class M>
constexpr FieldDesc<C, M> Field(const char* name, M C::*member) {
    return FieldDesc<C, M>{name, member};
}

// Marks message classes so that nested fields can tell them from primitives.
class QtMessageBase {
public:
    virtual size_t FieldCount() const = 0;

protected:
    ~QtMessageBase() = default;
};

namespace message_detail {

template <class T>
struct IsRefPtr : std::false_type {};
template <class T>
struct IsRefPtr<RefPtr<T>> : std::true_type {
    using Element = T;
};

template <class X>
constexpr bool IsMessageWithFields() {
    if constexpr (std::is_base_of_v<QtMessageBase, X>)
        return std::tuple_size_v<decltype(X::Fields())> > 0;
    else
        return false;
}

WString FieldMessage(const char* prefix, const char* field, const char* cls, const char* op);
WString FrameMessage(const char16_t* prefix, uint64_t n, const char16_t* middle, const char* cls,
                     const char* op);

}  // namespace message_detail

template <class D>
class QtMessage : public virtual QuantumS, public QtMessageBase {
public:
    const char* TypeId() const override { return D::kTypeId; }
    size_t FieldCount() const override { return std::tuple_size_v<decltype(D::Fields())>; }

    uint64_t MemSize() const override {
        uint64_t total = sizeof(D);
        std::apply([&](const auto&... f) { (AddMemSize(f, total), ...); }, D::Fields());
        return total;
    }

    WString Dump(const DumpOptions& o) const override {
        WString out;
        AppendAscii(out, D::kTypeId);
        out += u":";
        std::apply([&](const auto&... f) { (DumpField(f, o, out), ...); }, D::Fields());
        return out;
    }

    OpResult Encode(EncodeContext& cx) const override {
        QueueEncodeContext body;
        bool ok = true;
        std::apply([&](const auto&... f) { ((ok = ok && EncodeField(f, body, cx)), ...); },
                   D::Fields());
        if (!ok) return OpResult::Failure();
        uint64_t n = body.Size();
        if (n > 0xFFFFFFFFu - 4) {
            cx.AddError(message_detail::FrameMessage(u"Total size ", n, u" is larger than WORD32_MAX in ",
                                                     D::kTypeId, "::Encode()"));
            return OpResult::Failure();
        }
        if (!EncodeWord32(cx, static_cast<uint32_t>(n))) {
            cx.AddError(message_detail::FrameMessage(u"Error encoding total size (", n, u") in ",
                                                     D::kTypeId, "::Encode()"));
            return OpResult::Failure();
        }
        if (n && body.AppendTo(cx) != n) {
            cx.AddError(message_detail::FrameMessage(u"Error encoding data of size ", n, u" in ",
                                                     D::kTypeId, "::Encode()"));
            return OpResult::Failure();
        }
        return OpResult::Success(static_cast<uint32_t>(n + 4));
    }

    OpResult Decode(DecodeContext& cx) override {
        DecodeDepthGuard depth;
        if (depth.TooDeep()) {
            cx.AddError(DecodeDepthGuard::Message(D::kTypeId));
            return OpResult::Failure();
        }
        // Read the frame in place; the caller's position moves only once the
        // whole frame decoded.
        const uint8_t* head = cx.Peek(4);
        if (!head) {
            cx.AddError(u"DecodeWord32(): premature end of input data");
            cx.AddError(message_detail::FieldMessage("Error decoding data size", nullptr,
                                                     D::kTypeId, "::Decode()"));
            return OpResult::Failure();
        }
        uint32_t n = LoadWord32(head);
        const uint8_t* frame = cx.Peek(uint64_t{n} + 4);
        if (!frame) {
            cx.AddError(message_detail::FrameMessage(u"Insufficient input to decode ", n,
                                                     u" bytes in ", D::kTypeId, "::Decode()"));
            return OpResult::Failure();
        }
        StaticDecodeContext body(frame + 4, n);
        bool ok = true;
        std::apply([&](const auto&... f) { ((ok = ok && DecodeField(f, body, cx)), ...); },
                   D::Fields());
        if (!ok) return OpResult::Failure();
        cx.Consume(uint64_t{n} + 4);
        return OpResult::Success(n + 4);
    }

private:
    const D& Self() const { return static_cast<const D&>(*this); }
    D& Self() { return static_cast<D&>(*this); }

    template <class M>
    void AddMemSize(const FieldDesc<D, M>& f, uint64_t& total) const {
        if constexpr (message_detail::IsRefPtr<M>::value) {
            using X = typename message_detail::IsRefPtr<M>::Element;
            if constexpr (std::is_base_of_v<QuantumS, X>) {
                const auto& ref = Self().*(f.member);
                if (ref) total += ref->MemSize() + 32;
            }
        }
    }

    template <class M>
    void DumpField(const FieldDesc<D, M>& f, const DumpOptions& o, WString& out) const {
        out += u"\n";
        for (uint32_t i = 0; i < o.indent; ++i) out.append(u' ');
        AppendAscii(out, f.name);
        out += u": ";
        const M& value = Self().*(f.member);
        if constexpr (std::is_same_v<M, bool>) {
            out += value ? u"true" : u"false";
        } else if constexpr (std::is_enum_v<M>) {
            out += EnumText(value);
        } else if constexpr (std::is_integral_v<M>) {
            out += NumberToText(static_cast<uint64_t>(value));
        } else {
            if (value)
                out += value->Dump(o.Nested());
            else
                out += u"null";
        }
    }

    template <class M>
    bool EncodeField(const FieldDesc<D, M>& f, QueueEncodeContext& body, EncodeContext& cx) const {
        const M& value = Self().*(f.member);
        OpResult r;
        const char* failure = "Error encoding";
        if constexpr (std::is_same_v<M, bool>) {
            r = EncodeBoolean(body, value);
        } else if constexpr (std::is_enum_v<M> || std::is_integral_v<M>) {
            using U = typename std::conditional_t<std::is_enum_v<M>, std::underlying_type<M>,
                                         std::type_identity<M>>::type;
            static_assert(std::is_unsigned_v<U> && sizeof(U) != 0);
            if constexpr (sizeof(U) == 1)
                r = EncodeByte(body, static_cast<uint8_t>(value));
            else if constexpr (sizeof(U) == 2)
                r = EncodeWord16(body, static_cast<uint16_t>(value));
            else if constexpr (sizeof(U) == 4)
                r = EncodeWord32(body, static_cast<uint32_t>(value));
            else
                r = EncodeWord64(body, static_cast<uint64_t>(value));
        } else {
            using X = typename message_detail::IsRefPtr<M>::Element;
            if constexpr (!std::is_base_of_v<QuantumS, X>) {
                return true;  // carried in memory only
            } else if constexpr (std::is_same_v<X, QuantumS>) {
                std::string_view id = value ? std::string_view(value->TypeId()) : std::string_view();
                r = EncodeString(body, id.data(), id.size());
                if (!r) {
                    failure = "Error encoding quantum type ID for";
                } else if (value) {
                    r = value->Encode(body);
                }
            } else if (value) {
                r = value->Encode(body);
            } else {
                r = EncodeWord32(body, 0);
                if (!r) failure = "Error encoding zero size for";
            }
        }
        if (r) return true;
        cx.TakeErrors(body);
        cx.AddError(message_detail::FieldMessage(failure, f.name, D::kTypeId, "::Encode()"));
        return false;
    }

    template <class M>
    bool DecodeField(const FieldDesc<D, M>& f, StaticDecodeContext& body, DecodeContext& cx) {
        M& value = Self().*(f.member);
        OpResult r;
        const char* failure = "Error decoding";
        if constexpr (std::is_same_v<M, bool>) {
            r = DecodeBoolean(body, value);
        } else if constexpr (std::is_enum_v<M> || std::is_integral_v<M>) {
            using U = typename std::conditional_t<std::is_enum_v<M>, std::underlying_type<M>,
                                         std::type_identity<M>>::type;
            U raw{};
            if constexpr (sizeof(U) == 1)
                r = DecodeByte(body, raw);
            else if constexpr (sizeof(U) == 2)
                r = DecodeWord16(body, raw);
            else if constexpr (sizeof(U) == 4)
                r = DecodeWord32(body, raw);
            else
                r = DecodeWord64(body, raw);
            if (r) value = static_cast<M>(raw);
        } else {
            using X = typename message_detail::IsRefPtr<M>::Element;
            if constexpr (!std::is_base_of_v<QuantumS, X>) {
                value = nullptr;  // in-memory fields never come over the wire
                return true;
            } else if constexpr (std::is_same_v<X, QuantumS>) {
                NString id;
                r = DecodeString(body, id);
                if (r) {
                    if (id.empty()) {
                        value = nullptr;
                    } else {
                        RefPtr<QuantumS> content = QuantumRegistry::Instance().Create(id.sv());
                        if (!content) {
                            failure = "Unrecognized quantum type ID decoded for";
                            r = OpResult::Failure();
                        } else {
                            r = content->Decode(body);
                            if (r) value = std::move(content);
                        }
                    }
                }
            } else {
                const uint8_t* head = body.Peek(4);
                if constexpr (message_detail::IsMessageWithFields<X>()) {
                    // A null reference of a message class is written as a
                    // bare zero length; read it back as null rather than fail
                    // at the first field, so that what we send survives the
                    // round trip.
                    if (head && LoadWord32(head) == 0) {
                        body.Consume(4);
                        value = nullptr;
                        return true;
                    }
                }
                RefPtr<X> fresh(new X);
                r = fresh->Decode(body);
                if (r) value = std::move(fresh);
            }
        }
        if (r) return true;
        cx.TakeErrors(body);
        cx.AddError(message_detail::FieldMessage(failure, f.name, D::kTypeId, "::Decode()"));
        return false;
    }
};

}  // namespace kiln
