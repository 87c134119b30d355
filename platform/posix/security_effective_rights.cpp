// Effective rights: Windows' in-order evaluation of allowed and denied
// entries for a trustee and the groups it belongs to.
#include "platform/posix/security_internal.h"

namespace kiln::platform::security {

ACCESS_MASK MapGenericFileRights(ACCESS_MASK mask) {
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

ACCESS_MASK EvaluateRights(const std::vector<AceView>& entries, const std::vector<Bytes>& sids,
                           const RightsOptions& options) {
    ACCESS_MASK allowed = 0, denied = 0;
    for (const AceView& entry : entries) {
        if (!entry.sid || (entry.flags & INHERIT_ONLY_ACE)) continue;
        if (entry.type != ACCESS_ALLOWED_ACE_TYPE && entry.type != ACCESS_DENIED_ACE_TYPE) continue;
        bool applies = false;
        for (const Bytes& sid : sids) applies = applies || SameSid(entry.sid, sid.data());
        if (!applies) continue;
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

// The trustee and the groups it belongs to, into `sids`, whose elements are
// reused: a stat asks three times, a listing three times per entry.
void MembershipOf(const void* trusteeSid, std::vector<Bytes>* sids) {
    size_t used = 0;
    auto add = [&](const void* sid) {
        if (used == sids->size()) sids->emplace_back();
        const BYTE* bytes = static_cast<const BYTE*>(sid);
        (*sids)[used++].assign(bytes, bytes + SidLength(sid));
    };
    add(trusteeSid);
    if (!SameSid(trusteeSid, WorldSid().data())) add(WorldSid().data());
    if (auto uid = UidOfSid(trusteeSid)) {
        for (gid_t gid : GroupsOfUser(*uid)) add(UnixGroupSid(gid).data());
    }
    sids->resize(used);
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
        thread_local std::vector<AceView> entries;
        thread_local std::vector<Bytes> sids;
        if (!ParseAcl(pacl, &entries, nullptr)) {
            error = ERROR_INVALID_ACL;
        } else {
            MembershipOf(pTrustee->ptstrName, &sids);
            *pAccessRights = EvaluateRights(entries, sids, {});
        }
    }
    SetLastError(error);
    return error;
}
