#include "component/qt_error.h"

#include "quantum/registration.h"

namespace kiln {

namespace {

constexpr const char16_t* kErrClsNames[] = {
    u"ErrCls.Kiln",
    u"ErrCls.Win",
    u"ErrCls.Socks4",
    u"ErrCls.Socks5Auth",
    u"ErrCls.Socks5Conn",
    u"ErrCls.Http",
    u"ErrCls.LocalSshDisconn",
    u"ErrCls.SshChnOpen",
    u"ErrCls.Marrowd",
    u"ErrCls.Sfs",
    u"ErrCls.Sftp",
    u"ErrCls.Scp",
    u"ErrCls.RemoteSshDisconn",
};

}  // namespace

WString EnumText(ErrCls cls) {
    const auto value = static_cast<uint32_t>(cls);
    constexpr uint32_t kNamed = sizeof(kErrClsNames) / sizeof(kErrClsNames[0]);
    if (value >= 1 && value <= kNamed) return WString(kErrClsNames[value - 1]);
    return u"ErrCls." + NumberToText(value);
}

KILN_REGISTER_QUANTUM(QtError);
KILN_REGISTER_QUANTUM(QtEof);

}  // namespace kiln
