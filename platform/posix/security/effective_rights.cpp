// Effective rights: Windows' in-order evaluation of allowed and denied
// entries for a trustee and the groups it belongs to.
#include <algorithm>

#include "platform/posix/security/internal.h"

namespace kiln::platform::security {

ACCESS_MASK MapGenericFileRights(ACCESS_MASK mask) {
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

namespace {

// Windows' in-order evaluation for someone to whom `applies` says an entry's
// SID refers.
template <class Applies>
ACCESS_MASK Evaluate(const std::vector<AceView>& entries, const RightsOptions& options,
                     Applies applies) {
    ACCESS_MASK allowed = 0, denied = 0;
    for (const AceView& entry : entries) {
        if (!entry.sid || (entry.flags & INHERIT_ONLY_ACE)) continue;
        if (entry.type != ACCESS_ALLOWED_ACE_TYPE && entry.type != ACCESS_DENIED_ACE_TYPE) continue;
        if (!applies(entry.sid)) continue;
        ACCESS_MASK mask =
            options.mapGenericForFiles ? MapGenericFileRights(entry.mask) : entry.mask;
        if (entry.type == ACCESS_ALLOWED_ACE_TYPE) {
            allowed |= mask & ~denied;
        } else {
            denied |= mask & ~allowed;
        }
    }
    return allowed;
}

// The groups of a Unix user, per thread in front of the shared cache: a stat
// asks for the owner's rights, a listing once per entry, nearly always for
// the same user. The memo expires with the shared cache's answer it was made
// from, so group membership is as stale as caches::AccountLifetime() at most.
const std::vector<gid_t>& GroupsOfUserMemo(uid_t uid) {
    struct Memo {
        bool used = false;
        uid_t uid = 0;
        std::chrono::steady_clock::time_point expires;
        std::vector<gid_t> groups;
    };
    thread_local Memo memo;
    if (!memo.used || memo.uid != uid || caches::CoarseNow() >= memo.expires) {
        std::chrono::steady_clock::time_point fetched;
        memo.groups = GroupsOfUser(uid, &fetched);
        memo.uid = uid;
        memo.used = true;
        memo.expires = fetched + caches::AccountLifetime();
    }
    return memo.groups;
}

}  // namespace

ACCESS_MASK EvaluateRights(const std::vector<AceView>& entries, const std::vector<Bytes>& sids,
                           const RightsOptions& options) {
    return Evaluate(entries, options, [&](const BYTE* entrySid) {
        for (const Bytes& sid : sids)
            if (SameSid(entrySid, sid.data())) return true;
        return false;
    });
}

ACCESS_MASK EvaluateRightsOfTrustee(const std::vector<AceView>& entries, const void* trusteeSid) {
    // The trustee, Everyone and, for a Unix user, its groups: what
    // MembershipOf lists, matched without building the list.
    const std::vector<gid_t>* groups = nullptr;
    if (auto uid = UidOfSid(trusteeSid)) groups = &GroupsOfUserMemo(*uid);
    const Bytes& world = WorldSid();
    return Evaluate(entries, {}, [&](const BYTE* entrySid) {
        if (SameSid(entrySid, trusteeSid) || SameSid(entrySid, world.data())) return true;
        if (groups == nullptr) return false;
        auto gid = GidOfSid(entrySid);
        return gid && std::find(groups->begin(), groups->end(), *gid) != groups->end();
    });
}

std::vector<Bytes> MembershipOf(const void* trusteeSid) {
    std::vector<Bytes> sids{CopySidBytes(trusteeSid)};
    if (!SameSid(trusteeSid, WorldSid().data())) sids.push_back(WorldSid());
    if (auto uid = UidOfSid(trusteeSid)) {
        for (gid_t gid : GroupsOfUser(*uid)) sids.push_back(UnixGroupSid(gid));
    }
    return sids;
}

}  // namespace kiln::platform::security

DWORD GetEffectiveRightsFromAclW(PACL pacl, PTRUSTEE_W pTrustee, PACCESS_MASK pAccessRights) {
    using namespace kiln::platform::security;
    DWORD error = ERROR_SUCCESS;
    if (!pTrustee || !pAccessRights || pTrustee->TrusteeForm != TRUSTEE_IS_SID ||
        pTrustee->pMultipleTrustee || pTrustee->MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!SidHeaderValid(pTrustee->ptstrName)) {
        error = ERROR_INVALID_SID;
    } else if (!pacl) {
        *pAccessRights = STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL;
    } else {
        if (const ParsedAcl* parsed = ParseAclKept(pacl)) {
            *pAccessRights = EvaluateRightsOfTrustee(parsed->entries, pTrustee->ptstrName);
        } else {
            error = ERROR_INVALID_ACL;
        }
    }
    SetLastError(error);
    return error;
}
