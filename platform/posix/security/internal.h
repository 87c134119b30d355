// Helpers shared by the security sources of the platform layer: SIDs as byte
// strings, the bounded walk over an ACL, building ACLs and self-relative
// descriptors, the Unix identities behind SIDs, and rights evaluation.
//
// Callers' buffers are read with memcpy, never through casts, so that SIDs
// and ACLs at any alignment are handled and nothing past a checked bound is
// touched.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/caches.h"
#include "platform/win32_security.h"

namespace kiln::platform::security {

using Bytes = std::vector<BYTE>;

// ---------------------------------------------------------------------------
// SIDs.
constexpr size_t kSidHeaderSize = 8;

inline size_t SidLengthFor(unsigned subAuthorities) {
    return kSidHeaderSize + 4 * subAuthorities;
}

// Revision 1 and at most 15 sub-authorities; reads the first two bytes only.
inline bool SidHeaderValid(const void* sid) {
    if (!sid) return false;
    const BYTE* p = static_cast<const BYTE*>(sid);
    return p[0] == SID_REVISION && p[1] <= SID_MAX_SUB_AUTHORITIES;
}

// The length of a SID whose header is valid.
inline size_t SidLength(const void* sid) {
    return SidLengthFor(static_cast<const BYTE*>(sid)[1]);
}

inline DWORD SidSubAuthority(const void* sid, unsigned index) {
    DWORD value;
    std::memcpy(&value, static_cast<const BYTE*>(sid) + kSidHeaderSize + 4 * index, 4);
    return value;
}

// Both SIDs valid and byte for byte equal.
bool SameSid(const void* a, const void* b);

Bytes MakeSid(const BYTE (&authority)[6], std::initializer_list<DWORD> subAuthorities);
// For the small authorities (Everyone = 1, NT = 5, Unix = 22 ...).
Bytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities);
Bytes CopySidBytes(const void* sid);  // the header must be valid

const Bytes& WorldSid();         // S-1-1-0
const Bytes& CreatorOwnerSid();  // S-1-3-0
const Bytes& CreatorGroupSid();  // S-1-3-1

Bytes UnixUserSid(uid_t uid);
Bytes UnixGroupSid(gid_t gid);
// The uid or gid of S-1-22-1-<uid> / S-1-22-2-<gid>.
std::optional<uid_t> UidOfSid(const void* sid);
std::optional<gid_t> GidOfSid(const void* sid);

// S-1-5-88-3-<mode>: the well-known SID under which Windows file services for
// NFS carry a file's full POSIX mode in its DACL. An entry for it (denying
// nothing) is how a descriptor carries setuid, setgid and sticky, which no
// access right can express.
Bytes NfsModeSid(unsigned mode);
std::optional<unsigned> ModeOfNfsSid(const void* sid);

// ---------------------------------------------------------------------------
// ACLs.
struct AceView {
    BYTE type = 0;
    BYTE flags = 0;
    WORD size = 0;
    ACCESS_MASK mask = 0;
    const BYTE* sid = nullptr;  // for the SID-carrying types (0 to 3), else null
    const BYTE* at = nullptr;   // the entry itself
};

// Checks the whole ACL (revision 2 to 4, header, every entry within AclSize,
// the SIDs of the entry types that carry one) and reports the entries and the
// bytes in use. Reads nothing beyond AclSize bytes.
bool ParseAcl(const void* acl, std::vector<AceView>* entries, DWORD* bytesInUse);

// ParseAcl with the answer kept per thread: the same ACL is asked about
// several times in a row (a stat evaluates its DACL for three trustees, and
// GetAce walks it entry by entry). The answer is reused only for the same
// address holding the same bytes, and stays valid until the thread's next
// call. Null when the ACL is malformed.
struct ParsedAcl {
    std::vector<AceView> entries;
    DWORD bytesInUse = 0;
};
const ParsedAcl* ParseAclKept(const void* acl);

inline WORD AclSizeOf(const void* acl) {
    WORD size;
    std::memcpy(&size, static_cast<const BYTE*>(acl) + 2, 2);
    return size;
}

// Builds an ACL of revision 2 in memory.
class AclBuilder {
  public:
    void Add(BYTE type, BYTE flags, ACCESS_MASK mask, const void* sid);
    bool Empty() const { return count_ == 0; }
    // The finished ACL; empty when it would exceed 0xFFFF bytes.
    Bytes Finish() const;

  private:
    Bytes entries_;
    WORD count_ = 0;
};

// ---------------------------------------------------------------------------
// Descriptors. A self-relative descriptor in LocalAlloc memory with the given
// parts (null for an absent part); null with ERROR_NOT_ENOUGH_MEMORY.
struct DescriptorParts {
    const Bytes* owner = nullptr;
    const Bytes* group = nullptr;
    const Bytes* sacl = nullptr;
    const Bytes* dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;  // PRESENT and SELF_RELATIVE are added
    bool daclPresent = false;
    bool saclPresent = false;
};
PSECURITY_DESCRIPTOR MakeSelfRelativeDescriptor(const DescriptorParts& parts);

// ---------------------------------------------------------------------------
// Accounts.
// Answers are kept for caches::AccountLifetime(); `fetched`, where given,
// receives when the answer was read from the database.
// The names of platform/accounts.h, with when they were read.
std::optional<std::string> UserNameOf(uid_t uid, std::chrono::steady_clock::time_point* fetched);
std::optional<std::string> GroupNameOf(gid_t gid, std::chrono::steady_clock::time_point* fetched);
// The primary and supplementary groups of a user (empty when unknown).
std::vector<gid_t> GroupsOfUser(uid_t uid,
                                std::chrono::steady_clock::time_point* fetched = nullptr);

// ---------------------------------------------------------------------------
// Rights.
struct RightsOptions {
    // Map GENERIC_* bits of entries with the file mapping.
    bool mapGenericForFiles = false;
};

// Evaluates the ACL in order for someone who is each of the given SIDs:
// allowed rights accumulate unless denied before; denied ones stay denied.
// Inherit-only entries are skipped. The ACL must already have been parsed.
ACCESS_MASK EvaluateRights(const std::vector<AceView>& entries, const std::vector<Bytes>& sids,
                           const RightsOptions& options);

// The SIDs that entries may name to apply to the trustee: itself, Everyone
// and, for a Unix user, its groups.
std::vector<Bytes> MembershipOf(const void* trusteeSid);
// EvaluateRights for the trustee's MembershipOf, without building the list;
// what GetEffectiveRightsFromAcl answers.
ACCESS_MASK EvaluateRightsOfTrustee(const std::vector<AceView>& entries, const void* trusteeSid);

ACCESS_MASK MapGenericFileRights(ACCESS_MASK mask);

// ---------------------------------------------------------------------------
// Privileges: whether the process's SeSecurityPrivilege is enabled now.
bool SecurityPrivilegeEnabled();

}  // namespace kiln::platform::security
