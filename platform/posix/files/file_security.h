// The security of files on Linux: descriptors built from owners, modes and
// POSIX ACLs, and written back to them (GetSecurityInfo, SetSecurityInfo and
// their named forms answer here).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>

#include "platform/win32_security.h"

namespace kiln::platform::security {

// The descriptor of an object without POSIX ACLs, as its own would read:
// owner, group and the protected DACL that stands for its mode (permissions
// and special bits), from the thread's memo of mode-only DACLs
// (platform/caches.h). LocalAlloc memory.
DWORD ModeOnlyDescriptor(uid_t uid, gid_t gid, unsigned mode, bool directory,
                         SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR* sd);

// Gives an object that was just created with no access at all
// (mode 0) the owner, group, DACL and SACL of a descriptor, through fd (an
// O_PATH descriptor will do). Parts the descriptor lacks keep Linux's
// defaults; the DACL's entries for the creator's user and group stand for the
// object's owner and group. The caller removes the object when this fails.
// `created`: the new object's stat taken after its creation, when the caller
// has one; else the object is looked at again.
DWORD ApplyNewObjectSecurity(int fd, PSECURITY_DESCRIPTOR sd,
                             const struct statx* created = nullptr);
// The permission bits a new file's descriptor comes down to when it asks for
// nothing else: a DACL that stands for owner, group and other alone, no
// special bits, owner and group (if given) the creator's, no SACL. A file
// made with exactly these bits, in a directory without a default ACL, is
// what ApplyNewObjectSecurity would make of it.
std::optional<unsigned> PlainModeOf(PSECURITY_DESCRIPTOR sd);
// Whether the descriptor carries a DACL (null or not): only then is the
// object created without access and given its permissions afterwards.
bool DescriptorHasDacl(PSECURITY_DESCRIPTOR sd);

}  // namespace kiln::platform::security
