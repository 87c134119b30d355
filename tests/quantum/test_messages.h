// Message classes used only by the quantum tests: they exercise every field
// kind of the declarative framework.
#pragma once

#include "quantum/message.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "quantum/qt_vect.h"

namespace kiln::test {

enum class Colour : uint16_t { Red = 1, Green = 2 };
WString EnumText(Colour c);

class QtTestInner : public QtMessage<QtTestInner> {
public:
    KILN_QUANTUM_ID(QtTestInner)
    uint32_t m_a = 0;
    RefPtr<QtStr> m_s;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_a", &QtTestInner::m_a), Field("m_s", &QtTestInner::m_s));
    }
};

class QtTestEmpty : public QtMessage<QtTestEmpty> {
public:
    KILN_QUANTUM_ID(QtTestEmpty)
    static constexpr auto Fields() { return std::tuple<>(); }
};

// An in-memory-only quantum, like a reply port.
class QtTestPort : public virtual Quantum {
public:
    const char* TypeId() const override { return "QtTestPort"; }
    uint64_t MemSize() const override { return sizeof(*this); }
    WString Dump(const DumpOptions&) const override { return u"QtTestPort"; }
};

class QtTestOuter : public QtMessage<QtTestOuter> {
public:
    KILN_QUANTUM_ID(QtTestOuter)
    uint8_t m_byte = 0;
    uint16_t m_word16 = 0;
    uint64_t m_word64 = 0;
    bool m_flag = false;
    Colour m_colour = Colour::Red;
    RefPtr<QtTestInner> m_inner;
    RefPtr<QuantumS> m_any;
    RefPtr<QtVectS<QtStr>> m_list;
    RefPtr<QtBytes> m_bytes;
    RefPtr<QtTestEmpty> m_empty;
    RefPtr<QtTestPort> m_port;
    static constexpr auto Fields() {
        return std::make_tuple(
            Field("m_byte", &QtTestOuter::m_byte), Field("m_word16", &QtTestOuter::m_word16),
            Field("m_word64", &QtTestOuter::m_word64), Field("m_flag", &QtTestOuter::m_flag),
            Field("m_colour", &QtTestOuter::m_colour), Field("m_inner", &QtTestOuter::m_inner),
            Field("m_any", &QtTestOuter::m_any), Field("m_list", &QtTestOuter::m_list),
            Field("m_bytes", &QtTestOuter::m_bytes), Field("m_empty", &QtTestOuter::m_empty),
            Field("m_port", &QtTestOuter::m_port));
    }
};

}  // namespace kiln::test
