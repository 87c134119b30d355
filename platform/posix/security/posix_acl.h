// Translation between a file's POSIX permissions (owner, group, other, the
// named entries and the mask of a POSIX ACL) and a Windows DACL, both ways.
//
// POSIX checks the owner entry alone for the owner, a named user's entry
// alone for that user, the group entries for members, and "other" for the
// rest. The DACL reproduces that under Windows' in-order evaluation: the
// owner's and the named users' entries come first, each followed by a denial
// of what it lacks when a later entry would grant it; then the allowances of
// the group entries, the denials of what a group lacks while others have it,
// and Everyone last. Writing evaluates the DACL for each SID (its own entries
// and Everyone's) and turns the rights into rwx bits.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "platform/posix/security/internal.h"

namespace kiln::platform::security {

// rwx bits: 4 read, 2 write, 1 execute.
struct PosixAcl {
    unsigned owner = 0;
    unsigned group = 0;
    unsigned other = 0;
    std::optional<unsigned> mask;  // present whenever there are named entries
    std::vector<std::pair<uid_t, unsigned>> users;
    std::vector<std::pair<gid_t, unsigned>> groups;

    bool HasNamedEntries() const { return !users.empty() || !groups.empty(); }
    static PosixAcl FromMode(unsigned mode);
    unsigned Mode() const;  // the permission bits that the kernel shows for it
};

// The access rights that stand for r, w and x. POSIX w on a file is writing
// its data and extended attributes: removing its name is its directory's
// decision (FILE_DELETE_CHILD there), and setting times, attributes, mode or
// owner is for the owner alone, whatever the mode bits say.
constexpr ACCESS_MASK kReadRights = 0x00120089u;
constexpr ACCESS_MASK kWriteRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | SYNCHRONIZE;
constexpr ACCESS_MASK kExecuteRights = 0x00100020u;
constexpr ACCESS_MASK kOwnerOnlyRights = FILE_WRITE_ATTRIBUTES | WRITE_DAC | WRITE_OWNER;
// A DACL grants w with the data rights alone, whatever else its entry says.
constexpr ACCESS_MASK kWriteTest = FILE_WRITE_DATA | FILE_APPEND_DATA;

ACCESS_MASK RightsOfPerms(unsigned rwx, bool directory);
unsigned PermsOfRights(ACCESS_MASK rights);

// Appends the entries of one POSIX ACL: with inheritFlags 0 the ACL of the
// object itself (owner and group as the given SIDs), otherwise a directory's
// default ACL as inheritable entries for CREATOR OWNER and CREATOR GROUP.
void AppendPosixEntries(AclBuilder* builder, const PosixAcl& acl, const Bytes& ownerSid,
                        const Bytes& groupSid, bool directory, BYTE inheritFlags);

// The POSIX form of a DACL (already parsed) for an object with the given
// owner and group. defaults is set for a directory whose DACL has
// inheritable entries.
struct PosixFromDacl {
    PosixAcl access;
    std::optional<PosixAcl> defaults;
};
PosixFromDacl TranslateDacl(const std::vector<AceView>& entries, uid_t owner, gid_t group,
                            bool directory);

}  // namespace kiln::platform::security
