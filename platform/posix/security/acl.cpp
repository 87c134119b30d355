// ACLs and ACEs. Every entry point walks the whole ACL within its AclSize
// before it trusts anything in it, so a forged count or entry size is
// refused instead of leading the walk outside the buffer.
#include <cstring>

#include "platform/posix/security/internal.h"

namespace kiln::platform::security {

namespace {

constexpr size_t kAclHeaderSize = 8;
constexpr size_t kAceFixedSize = 8;  // header and mask; the SID follows

struct AclHeader {
    BYTE revision;
    WORD size;
    WORD count;
};

AclHeader ReadHeader(const void* acl) {
    const BYTE* p = static_cast<const BYTE*>(acl);
    AclHeader header;
    header.revision = p[0];
    std::memcpy(&header.size, p + 2, 2);
    std::memcpy(&header.count, p + 4, 2);
    return header;
}

bool CarriesSid(BYTE type) {
    return type <= SYSTEM_ALARM_ACE_TYPE;
}

}  // namespace

bool ParseAcl(const void* acl, std::vector<AceView>* entries, DWORD* bytesInUse) {
    if (!acl) return false;
    AclHeader header = ReadHeader(acl);
    if (header.revision < MIN_ACL_REVISION || header.revision > MAX_ACL_REVISION) return false;
    if (header.size < kAclHeaderSize) return false;
    const BYTE* base = static_cast<const BYTE*>(acl);
    size_t offset = kAclHeaderSize;
    if (entries) entries->clear();
    for (unsigned i = 0; i < header.count; ++i) {
        if (offset + 4 > header.size) return false;
        AceView view;
        view.at = base + offset;
        view.type = view.at[0];
        view.flags = view.at[1];
        std::memcpy(&view.size, view.at + 2, 2);
        if (view.size < 4 || view.size % 4 != 0 || offset + view.size > header.size) return false;
        if (CarriesSid(view.type)) {
            if (view.size < kAceFixedSize + kSidHeaderSize) return false;
            const BYTE* sid = view.at + kAceFixedSize;
            if (!SidHeaderValid(sid) || kAceFixedSize + SidLength(sid) > view.size) return false;
            std::memcpy(&view.mask, view.at + 4, 4);
            view.sid = sid;
        }
        if (entries) entries->push_back(view);
        offset += view.size;
    }
    if (bytesInUse) *bytesInUse = static_cast<DWORD>(offset);
    return true;
}

const ParsedAcl* ParseAclKept(const void* acl) {
    struct Kept {
        const void* at = nullptr;
        Bytes copy;  // the bytes the walk read: header and entries
        ParsedAcl parsed;
    };
    thread_local Kept kept;
    if (!acl) return nullptr;
    if (kept.at == acl) {
        // The header first: only when it claims the same size is the buffer
        // known to hold as many bytes as the kept copy.
        const BYTE* p = static_cast<const BYTE*>(acl);
        if (std::memcmp(p, kept.copy.data(), kAclHeaderSize) == 0 &&
            std::memcmp(p, kept.copy.data(), kept.copy.size()) == 0)
            return &kept.parsed;
    }
    kept.at = nullptr;
    if (!ParseAcl(acl, &kept.parsed.entries, &kept.parsed.bytesInUse)) return nullptr;
    const BYTE* p = static_cast<const BYTE*>(acl);
    kept.copy.assign(p, p + kept.parsed.bytesInUse);
    kept.at = acl;
    return &kept.parsed;
}

void AclBuilder::Add(BYTE type, BYTE flags, ACCESS_MASK mask, const void* sid) {
    size_t sidLength = SidLength(sid);
    WORD size = static_cast<WORD>(kAceFixedSize + sidLength);
    size_t offset = entries_.size();
    entries_.resize(offset + size);
    BYTE* p = entries_.data() + offset;
    p[0] = type;
    p[1] = flags;
    std::memcpy(p + 2, &size, 2);
    std::memcpy(p + 4, &mask, 4);
    std::memcpy(p + kAceFixedSize, sid, sidLength);
    ++count_;
}

Bytes AclBuilder::Finish() const {
    size_t total = kAclHeaderSize + entries_.size();
    if (total > 0xFFFF) return {};
    Bytes acl(total);
    acl[0] = ACL_REVISION;
    WORD size = static_cast<WORD>(total);
    std::memcpy(acl.data() + 2, &size, 2);
    std::memcpy(acl.data() + 4, &count_, 2);
    if (!entries_.empty())
        std::memcpy(acl.data() + kAclHeaderSize, entries_.data(), entries_.size());
    return acl;
}

}  // namespace kiln::platform::security

using namespace kiln::platform::security;

namespace {

BOOL AddSidAce(PACL pAcl, DWORD revision, BYTE type, DWORD flags, ACCESS_MASK mask, PSID sid) {
    DWORD used = 0;
    if (!ParseAcl(pAcl, nullptr, &used)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION) {
        SetLastError(ERROR_REVISION_MISMATCH);
        return FALSE;
    }
    if (!SidHeaderValid(sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    size_t size = 8 + SidLength(sid);
    if (used + size > AclSizeOf(pAcl)) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    BYTE* base = reinterpret_cast<BYTE*>(pAcl);
    BYTE* p = base + used;
    WORD aceSize = static_cast<WORD>(size);
    p[0] = type;
    p[1] = static_cast<BYTE>(flags);
    std::memcpy(p + 2, &aceSize, 2);
    std::memcpy(p + 4, &mask, 4);
    std::memmove(p + 8, sid, SidLength(sid));
    WORD count;
    std::memcpy(&count, base + 4, 2);
    ++count;
    std::memcpy(base + 4, &count, 2);
    // An entry of a later revision raises the revision of the whole ACL.
    if (base[0] < revision) base[0] = static_cast<BYTE>(revision);
    return TRUE;
}

}  // namespace

BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (!pAcl || nAclLength < sizeof(ACL)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (nAclLength > 0xFFFF || dwAclRevision < MIN_ACL_REVISION ||
        dwAclRevision > MAX_ACL_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE header[8] = {static_cast<BYTE>(dwAclRevision), 0, 0, 0, 0, 0, 0, 0};
    WORD size = static_cast<WORD>(nAclLength);
    std::memcpy(header + 2, &size, 2);
    std::memcpy(pAcl, header, sizeof header);
    return TRUE;
}

BOOL IsValidAcl(PACL pAcl) {
    if (!ParseAcl(pAcl, nullptr, nullptr)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    return TRUE;
}

BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                       ACL_INFORMATION_CLASS dwAclInformationClass) {
    // Asked of every DACL that a stat reads.
    const ParsedAcl* parsed = ParseAclKept(pAcl);
    if (!parsed) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    const std::vector<AceView>& entries = parsed->entries;
    const DWORD used = parsed->bytesInUse;
    switch (dwAclInformationClass) {
        case AclRevisionInformation: {
            if (!pAclInformation || nAclInformationLength < sizeof(ACL_REVISION_INFORMATION)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            ACL_REVISION_INFORMATION info{reinterpret_cast<BYTE*>(pAcl)[0]};
            std::memcpy(pAclInformation, &info, sizeof info);
            return TRUE;
        }
        case AclSizeInformation: {
            if (!pAclInformation || nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            ACL_SIZE_INFORMATION info{static_cast<DWORD>(entries.size()), used,
                                      AclSizeOf(pAcl) - used};
            std::memcpy(pAclInformation, &info, sizeof info);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    const ParsedAcl* parsed = ParseAclKept(pAcl);
    if (!parsed) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    if (!pAce || dwAceIndex >= parsed->entries.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pAce = const_cast<BYTE*>(parsed->entries[dwAceIndex].at);
    return TRUE;
}

BOOL AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask,
                           PSID pSid) {
    if (AceFlags & ~static_cast<DWORD>(VALID_INHERIT_FLAGS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    return AddSidAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, pSid);
}

BOOL AddAccessDeniedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask,
                          PSID pSid) {
    if (AceFlags & ~static_cast<DWORD>(VALID_INHERIT_FLAGS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    return AddSidAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, AceFlags, AccessMask, pSid);
}

BOOL AddAuditAccessAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD dwAccessMask,
                         PSID pSid, BOOL bAuditSuccess, BOOL bAuditFailure) {
    if (AceFlags & ~static_cast<DWORD>(VALID_INHERIT_FLAGS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    DWORD flags = AceFlags;
    if (bAuditSuccess) flags |= SUCCESSFUL_ACCESS_ACE_FLAG;
    if (bAuditFailure) flags |= FAILED_ACCESS_ACE_FLAG;
    return AddSidAce(pAcl, dwAceRevision, SYSTEM_AUDIT_ACE_TYPE, flags, dwAccessMask, pSid);
}
