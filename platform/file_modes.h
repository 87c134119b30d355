// What a file system keeps of a POSIX mode beside a file's DACL, for the
// provider's translation between permissions and DACLs.
//
// A Linux file system keeps the mode itself, and a DACL only stands for it:
// w there is writing a file's data, since removing a name is its directory's
// decision, and setuid, setgid and sticky, which no access right can say,
// ride in the DACL on an entry that grants and denies nothing. A Windows
// file system keeps the DACL alone: w is everything the permissions' write
// rights grant, and no entry carries more.
#pragma once

#include "platform/win32.h"

namespace kiln::platform {

// The part of `writeRights` (what a DACL made from permissions grants for w)
// that a DACL must grant for w to read back as granted.
ACCESS_MASK RightsThatGrantWrite(ACCESS_MASK writeRights);

// The SID of the entry that carries the whole of `mode` (07777) in a DACL
// made from permissions, and true; false where the file system keeps no mode.
bool ModeEntrySid(DWORD mode, BYTE (&sid)[SECURITY_MAX_SID_SIZE]);

// The setuid, setgid and sticky bits (07000) that a DACL's mode entry
// carries; 0 without one.
DWORD SpecialModeBits(PACL dacl);

}  // namespace kiln::platform
