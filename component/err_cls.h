// Error classes of component failures (KilnComponent::Exit, QtError).
#pragma once

#include <cstdint>

#include "nocrtlib/ncstring.h"

namespace kiln {

enum class ErrCls : uint32_t {
    Kiln = 1,
    Win = 2,  // the code is a Windows error code
    Socks4 = 3,
    Socks5Auth = 4,
    Socks5Conn = 5,
    Http = 6,
    LocalSshDisconn = 7,
    SshChnOpen = 8,
    Marrowd = 9,
    Sfs = 10,
    Sftp = 11,
    Scp = 12,
    RemoteSshDisconn = 13,
};

// "ErrCls.Sfs"; a value without a name as "ErrCls." and its decimal number.
WString EnumText(ErrCls cls);

}  // namespace kiln
