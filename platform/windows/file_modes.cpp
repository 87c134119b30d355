// A Windows file system keeps no mode beside the DACL: nothing is carried,
// and w is read from all the rights it stands for.
#include "platform/file_modes.h"

namespace kiln::platform {

ACCESS_MASK RightsThatGrantWrite(ACCESS_MASK writeRights) {
    return writeRights;
}

bool ModeEntrySid(DWORD, BYTE (&)[SECURITY_MAX_SID_SIZE]) {
    return false;
}

DWORD SpecialModeBits(PACL) {
    return 0;
}

}  // namespace kiln::platform
