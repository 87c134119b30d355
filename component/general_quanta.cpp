#include "component/general_quanta.h"

#include "quantum/registration.h"

namespace kiln {

RefPtr<QtNameValueTree> QtNameValueTree::Make(std::u16string_view name, std::u16string_view value) {
    RefPtr<QtNameValueTree> node = MakeRef<QtNameValueTree>();
    node->m_name = MakeStr(name);
    node->m_value = MakeStr(value);
    return node;
}

RefPtr<QtNameValueTree> QtNameValueTree::AddChild(std::u16string_view name,
                                                  std::u16string_view value) {
    if (!m_nested) m_nested = MakeRef<QtVectS<QtNameValueTree>>();
    RefPtr<QtNameValueTree> child = Make(name, value);
    if (!m_nested->Append(child)) return nullptr;
    return child;
}

RefPtr<QtStr> QtNameValueTree::ChildValue(std::u16string_view name) const {
    if (!m_nested) return nullptr;
    for (QtNameValueTree* child : *m_nested) {
        if (child && child->m_name && child->m_name->sv() == name) return child->m_value;
    }
    return nullptr;
}

KILN_REGISTER_QUANTUM(QtNameValueTree);
KILN_REGISTER_QUANTUM(QtConnect);
KILN_REGISTER_QUANTUM(QtConnectProxy);
KILN_REGISTER_QUANTUM(QtSuccess);
KILN_REGISTER_QUANTUM(QtListen);
KILN_REGISTER_QUANTUM(QtAccepted);
KILN_REGISTER_QUANTUM(QtFlush);
KILN_REGISTER_QUANTUM(QtDataRate);
KILN_REGISTER_QUANTUM(QtNameValueStr);
KILN_REGISTER_QUANTUM(QtNameValueBin);
KILN_REGISTER_QUANTUM(QtDatagram);
KILN_REGISTER_QUANTUM(QtDatagramSendError);
KILN_REGISTER_QUANTUM(QtBuffer);
KILN_REGISTER_QUANTUM(QtExitCode);
KILN_REGISTER_QUANTUM(QtTrigger);

}  // namespace kiln
