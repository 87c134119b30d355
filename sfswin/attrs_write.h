// Writing attributes: the SetStat/FSetStat handler (KilnSfsWin::SetStat)
// lives in attrs_write.cpp; the translation it shares with Open and MkDir
// (ApplyAttrBits, NativeTimes, NativeSecurity) is in attrs_translation.h.
#pragma once

#include "platform/win32.h"

namespace kiln::KilnSfsWin {

// The Windows attributes that a client may change directly: read-only,
// hidden, system, archive, normal, temporary, offline, not-content-indexed.
inline constexpr DWORD kSettableAttributes = 0x31A7u;

}  // namespace kiln::KilnSfsWin
