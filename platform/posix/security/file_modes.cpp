// The mode a Linux file system keeps beside the DACL that stands for it: w
// is the data rights alone, and the bits without an access right ride on the
// NFS mode entry, as the file's own descriptor carries them.
#include "platform/file_modes.h"

#include <cstring>

#include "platform/posix/security/internal.h"
#include "platform/posix/security/posix_acl.h"

namespace kiln::platform {

ACCESS_MASK RightsThatGrantWrite(ACCESS_MASK writeRights) {
    return writeRights & security::kWriteTest;
}

bool ModeEntrySid(DWORD mode, BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
    const security::Bytes bytes = security::NfsModeSid(mode);
    std::memcpy(sid, bytes.data(), bytes.size());
    return true;
}

DWORD SpecialModeBits(PACL dacl) {
    const security::ParsedAcl* parsed = dacl ? security::ParseAclKept(dacl) : nullptr;
    if (parsed == nullptr) return 0;
    for (const security::AceView& entry : parsed->entries) {
        if (entry.sid == nullptr) continue;
        if (auto mode = security::ModeOfNfsSid(entry.sid)) return *mode & 07000;
    }
    return 0;
}

}  // namespace kiln::platform
