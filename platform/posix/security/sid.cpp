// SIDs: the Windows functions and the byte-string helpers behind them.
#include <cstring>

#include "platform/posix/security/internal.h"

namespace kiln::platform::security {

bool SameSid(const void* a, const void* b) {
    if (!SidHeaderValid(a) || !SidHeaderValid(b)) return false;
    size_t length = SidLength(a);
    return length == SidLength(b) && std::memcmp(a, b, length) == 0;
}

Bytes MakeSid(const BYTE (&authority)[6], std::initializer_list<DWORD> subAuthorities) {
    Bytes sid(SidLengthFor(static_cast<unsigned>(subAuthorities.size())));
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    std::memcpy(sid.data() + 2, authority, 6);
    size_t offset = kSidHeaderSize;
    for (DWORD value : subAuthorities) {
        std::memcpy(sid.data() + offset, &value, 4);
        offset += 4;
    }
    return sid;
}

Bytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    const BYTE value[6] = {0, 0, 0, 0, 0, authority};
    return MakeSid(value, subAuthorities);
}

Bytes CopySidBytes(const void* sid) {
    const BYTE* p = static_cast<const BYTE*>(sid);
    return Bytes(p, p + SidLength(sid));
}

const Bytes& WorldSid() {
    static const Bytes sid = MakeSid(1, {SECURITY_WORLD_RID});
    return sid;
}

const Bytes& CreatorOwnerSid() {
    static const Bytes sid = MakeSid(3, {SECURITY_CREATOR_OWNER_RID});
    return sid;
}

const Bytes& CreatorGroupSid() {
    static const Bytes sid = MakeSid(3, {SECURITY_CREATOR_GROUP_RID});
    return sid;
}

Bytes UnixUserSid(uid_t uid) {
    return MakeSid(22, {SECURITY_UNIX_USER_RID, uid});
}
Bytes UnixGroupSid(gid_t gid) {
    return MakeSid(22, {SECURITY_UNIX_GROUP_RID, gid});
}

namespace {

std::optional<DWORD> UnixIdOfSid(const void* sid, DWORD kind) {
    if (!SidHeaderValid(sid)) return std::nullopt;
    static const BYTE unixAuthority[6] = {0, 0, 0, 0, 0, 22};
    const BYTE* p = static_cast<const BYTE*>(sid);
    if (p[1] != 2 || std::memcmp(p + 2, unixAuthority, 6) != 0) return std::nullopt;
    if (SidSubAuthority(sid, 0) != kind) return std::nullopt;
    return SidSubAuthority(sid, 1);
}

}  // namespace

std::optional<uid_t> UidOfSid(const void* sid) {
    auto id = UnixIdOfSid(sid, SECURITY_UNIX_USER_RID);
    // (uid_t)-1 means "no change" to chown and names no user.
    if (!id || *id == static_cast<DWORD>(-1)) return std::nullopt;
    return static_cast<uid_t>(*id);
}

std::optional<gid_t> GidOfSid(const void* sid) {
    auto id = UnixIdOfSid(sid, SECURITY_UNIX_GROUP_RID);
    if (!id || *id == static_cast<DWORD>(-1)) return std::nullopt;
    return static_cast<gid_t>(*id);
}

Bytes NfsModeSid(unsigned mode) {
    return MakeSid(5, {88, 3, mode & 07777});
}

std::optional<unsigned> ModeOfNfsSid(const void* sid) {
    if (!SidHeaderValid(sid)) return std::nullopt;
    static const BYTE ntAuthority[6] = {0, 0, 0, 0, 0, 5};
    const BYTE* p = static_cast<const BYTE*>(sid);
    if (p[1] != 3 || std::memcmp(p + 2, ntAuthority, 6) != 0) return std::nullopt;
    if (SidSubAuthority(sid, 0) != 88 || SidSubAuthority(sid, 1) != 3) return std::nullopt;
    return SidSubAuthority(sid, 2) & 07777;
}

}  // namespace kiln::platform::security

using namespace kiln::platform::security;

BOOL IsValidSid(PSID pSid) {
    if (!SidHeaderValid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    return TRUE;
}

DWORD GetLengthSid(PSID pSid) {
    if (!SidHeaderValid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return 0;
    }
    return static_cast<DWORD>(SidLength(pSid));
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    if (!SidHeaderValid(pSid1) || !SidHeaderValid(pSid2)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    // Unequal valid SIDs are not an error.
    SetLastError(ERROR_SUCCESS);
    return SameSid(pSid1, pSid2) ? TRUE : FALSE;
}

BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    if (!SidHeaderValid(pSourceSid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    size_t length = SidLength(pSourceSid);
    if (nDestinationSidLength < length || !pDestinationSid) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memmove(pDestinationSid, pSourceSid, length);
    return TRUE;
}

DWORD GetSidLengthRequired(UCHAR nSubAuthorityCount) {
    return static_cast<DWORD>(SidLengthFor(nSubAuthorityCount));
}

BOOL InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                   BYTE nSubAuthorityCount) {
    if (!Sid || !pIdentifierAuthority || nSubAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE* p = static_cast<BYTE*>(Sid);
    p[0] = SID_REVISION;
    p[1] = nSubAuthorityCount;
    std::memcpy(p + 2, pIdentifierAuthority->Value, 6);
    return TRUE;
}

PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID pSid) {
    if (!SidHeaderValid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    // The authority is a byte array: any address is aligned for it.
    return reinterpret_cast<PSID_IDENTIFIER_AUTHORITY>(static_cast<BYTE*>(pSid) + 2);
}

PDWORD GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
    if (!SidHeaderValid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    if (nSubAuthority >= static_cast<BYTE*>(pSid)[1]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<PDWORD>(static_cast<BYTE*>(pSid) + kSidHeaderSize + 4 * nSubAuthority);
}

PUCHAR GetSidSubAuthorityCount(PSID pSid) {
    if (!SidHeaderValid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<PUCHAR>(pSid) + 1;
}
