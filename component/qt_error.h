// QtError (a component's failure, as the host reports it) and QtEof (end of
// input: nothing more will come on the port it arrives on).
#pragma once

#include "component/err_cls.h"
#include "quantum/message.h"
#include "quantum/qt_str.h"

namespace kiln {

class QtError : public QtMessage<QtError> {
  public:
    KILN_QUANTUM_ID(QtError)

    RefPtr<QtStr> m_component;
    ErrCls m_cls = ErrCls::Kiln;
    uint32_t m_code = 0;
    RefPtr<QtStr> m_desc;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_component", &QtError::m_component),
                               Field("m_cls", &QtError::m_cls), Field("m_code", &QtError::m_code),
                               Field("m_desc", &QtError::m_desc));
    }
};

class QtEof : public QtMessage<QtEof> {
  public:
    KILN_QUANTUM_ID(QtEof)

    static constexpr auto Fields() { return std::tuple<>(); }
};

}  // namespace kiln
