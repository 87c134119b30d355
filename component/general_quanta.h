// General-purpose quanta that the framework registers beside the SFS ones.
// The provider itself uses only QtNameValueTree (its initialisation
// parameters) of these; the others are carried for hosts that speak them and
// hold no fields of their own.
#pragma once

#include <string_view>

#include "quantum/message.h"
#include "quantum/qt_str.h"
#include "quantum/qt_vect.h"

namespace kiln {

// A named value with named children, in order.
class QtNameValueTree : public QtMessage<QtNameValueTree> {
  public:
    KILN_QUANTUM_ID(QtNameValueTree)

    RefPtr<QtStr> m_name;
    RefPtr<QtStr> m_value;
    RefPtr<QtVectS<QtNameValueTree>> m_nested;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_name", &QtNameValueTree::m_name),
                               Field("m_value", &QtNameValueTree::m_value),
                               Field("m_nested", &QtNameValueTree::m_nested));
    }

    static RefPtr<QtNameValueTree> Make(std::u16string_view name, std::u16string_view value);
    // Appends a child node (creating the child vector on first use) and
    // returns it. Null when memory ran out.
    RefPtr<QtNameValueTree> AddChild(std::u16string_view name, std::u16string_view value);
    // The value of the first direct child whose name is exactly `name`;
    // null when there is none.
    RefPtr<QtStr> ChildValue(std::u16string_view name) const;
};

// Field-less general-purpose quanta: each encodes as an empty frame.
#define KILN_FIELDLESS_QUANTUM(Name)                              \
    class Name : public QtMessage<Name> {                         \
      public:                                                     \
        KILN_QUANTUM_ID(Name)                                     \
        static constexpr auto Fields() { return std::tuple<>(); } \
    }

KILN_FIELDLESS_QUANTUM(QtConnect);
KILN_FIELDLESS_QUANTUM(QtConnectProxy);
KILN_FIELDLESS_QUANTUM(QtSuccess);
KILN_FIELDLESS_QUANTUM(QtListen);
KILN_FIELDLESS_QUANTUM(QtAccepted);
KILN_FIELDLESS_QUANTUM(QtFlush);
KILN_FIELDLESS_QUANTUM(QtDataRate);
KILN_FIELDLESS_QUANTUM(QtNameValueStr);
KILN_FIELDLESS_QUANTUM(QtNameValueBin);
KILN_FIELDLESS_QUANTUM(QtDatagram);
KILN_FIELDLESS_QUANTUM(QtDatagramSendError);
KILN_FIELDLESS_QUANTUM(QtBuffer);
KILN_FIELDLESS_QUANTUM(QtExitCode);
KILN_FIELDLESS_QUANTUM(QtTrigger);

#undef KILN_FIELDLESS_QUANTUM

}  // namespace kiln
