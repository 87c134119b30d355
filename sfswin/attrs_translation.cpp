#include "sfswin/attrs_translation.h"

#include <algorithm>
#include <cstring>

#include "nocrtlib/exceptions.h"
#include "platform/filetime.h"
#include "sfswin/error_mapping.h"
#include "sfswin/handle_closer.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr DWORD kInheritanceFlags = 0xFu;

// The well-known SIDs with a special name, in the order reading tries them.
struct SpecialSid {
    bool world;  // S-1-1-0; otherwise S-1-5-<rid>
    DWORD rid;
    const char16_t* outputName;  // null: no special name when reading
    const char16_t* inputName;
};

constexpr SpecialSid kSpecialSids[] = {
    {true, 0, u"EVERYONE@", u"Everyone@"},
    {false, SECURITY_INTERACTIVE_RID, u"INTERACTIVE@", u"Interactive@"},
    {false, SECURITY_NETWORK_RID, nullptr, u"Network@"},
    {false, SECURITY_DIALUP_RID, u"DIALUP@", u"Dialup@"},
    {false, SECURITY_BATCH_RID, u"BATCH@", u"Batch@"},
    {false, SECURITY_ANONYMOUS_LOGON_RID, u"ANONYMOUS@", u"Anonymous@"},
    {false, SECURITY_AUTHENTICATED_USER_RID, u"AUTHENTICATED@", u"Authenticated@"},
    // The name says "service", but what it has always stood for is the local
    // system account; clients rely on that.
    {false, SECURITY_LOCAL_SYSTEM_RID, u"SERVICE@", u"Service@"},
};

// "S-1-<authority>-<sub>..." as a SID; empty for any other text.
OwnedSid SidOfText(std::u16string_view text) {
    if (text.size() < 5 || (text[0] != u'S' && text[0] != u's') || text.substr(1, 3) != u"-1-")
        return OwnedSid();
    std::vector<uint64_t> parts;
    uint64_t value = 0;
    bool digits = false;
    for (size_t i = 4; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'-') {
            if (!digits) return OwnedSid();
            parts.push_back(value);
            value = 0;
            digits = false;
        } else if (text[i] >= u'0' && text[i] <= u'9' && value <= 0xFFFFFFFFull) {
            value = value * 10 + (text[i] - u'0');
            digits = true;
        } else {
            return OwnedSid();
        }
    }
    if (parts.size() < 2 || parts.size() > 1 + SID_MAX_SUB_AUTHORITIES) return OwnedSid();
    for (uint64_t part : parts)
        if (part > 0xFFFFFFFFull) return OwnedSid();
    SID_IDENTIFIER_AUTHORITY authority{};
    for (int i = 0; i < 4; ++i) authority.Value[5 - i] = static_cast<BYTE>(parts[0] >> (8 * i));
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    const BYTE count = static_cast<BYTE>(parts.size() - 1);
    if (!InitializeSid(buffer, &authority, count)) return OwnedSid();
    for (BYTE i = 0; i < count; ++i)
        *GetSidSubAuthority(buffer, i) = static_cast<DWORD>(parts[i + 1]);
    return OwnedSid::Copy(buffer);
}

OwnedSid SpecialSidOf(const SpecialSid& special) {
    return special.world ? WorldSidOwned() : NtAuthoritySid(special.rid);
}

// Whether a SID is the special one: compared in place, since every owner and
// group of every stat is checked against all of them.
bool IsSpecialSid(PSID sid, const SpecialSid& special) {
    if (*GetSidSubAuthorityCount(sid) != 1) return false;
    const SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const SID_IDENTIFIER_AUTHORITY& expected = special.world ? world : nt;
    const DWORD rid = special.world ? SECURITY_WORLD_RID : special.rid;
    return std::memcmp(GetSidIdentifierAuthority(sid)->Value, expected.Value,
                       sizeof expected.Value) == 0 &&
           *GetSidSubAuthority(sid, 0) == rid;
}

// Letter case is ignored for A to Z only, so that no locale can make two
// different names equal.
bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
        if (x != y) return false;
    }
    return true;
}

std::u16string_view TextOf(const RefPtr<QtStr>& text) {
    return text ? std::u16string_view(text->Str()) : std::u16string_view();
}

// Raised inside NativeSecurity so that each kind of failure reaches its own
// log text; never leaves this file.
struct ConversionFailure {
    SfsStatusCode code;
    WString reason;  // what the status carries, and the log after "failed..."
    WString description;
};

WString Prefix(const RequestAttrs& attrs, std::u16string_view path) {
    WString text(u"KilnSfsWin: ");
    text += attrs.action;
    text += u" '";
    text += path;
    return text;
}

[[noreturn]] void FailInvalidParameter(KilnSfsWin& provider, const QtSfsRequest& request,
                                       const RequestAttrs& attrs, std::u16string_view path,
                                       const WString& reason, const WString& description) {
    WString text = Prefix(attrs, path) + u"' failed with InvalidParameter. " + reason;
    if (!description.empty()) text += u" " + description;
    provider.LogRequest(request, SfsLogType::Error, text);
    RaiseStatus(KilnSfsProvider::MakeStatus(SfsStatusCode::InvalidParameter, reason));
}

[[noreturn]] void FailPlain(KilnSfsWin& provider, const QtSfsRequest& request,
                            const RequestAttrs& attrs, std::u16string_view path,
                            std::u16string_view what, const WString& description) {
    provider.LogRequest(request, SfsLogType::Error,
                        Prefix(attrs, path) + u"' failed. " + what + u" " + description);
    RaiseStatus(SfsStatusCode::Failure);
}

OwnedSid ConvertName(std::u16string_view field, std::u16string_view name, PSID owner, PSID group,
                     PrincipalKind kind = PrincipalKind::Any) {
    try {
        return NameToSid(name, owner, group, kind);
    } catch (const SystemError& error) {
        throw ConversionFailure{SfsStatusCode::InvalidParameter,
                                WString(u"Failed to convert ") + field + u" '" + WString(name) +
                                    u"' to the native form.",
                                error.Description()};
    }
}

// Owner or group taken from the token of this thread, or of the process when
// the thread does not impersonate.
OwnedSid TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS infoClass) {
    DWORD size = 0;
    if (!GetTokenInformation(token, infoClass, nullptr, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        ThrowLastError(u"GetTokenInformation()");
    // Twice the size: the answer may grow between the two calls.
    datavect<BYTE> buffer;
    if (size == 0 || !buffer.resize(static_cast<size_t>(size) * 2))
        throw SystemError(u"GetTokenInformation()", ERROR_NOT_ENOUGH_MEMORY);
    if (!GetTokenInformation(token, infoClass, buffer.data(), size * 2, &size))
        ThrowLastError(u"GetTokenInformation()");
    // TOKEN_OWNER and TOKEN_PRIMARY_GROUP both start with the SID pointer.
    PSID sid = *reinterpret_cast<PSID*>(buffer.data());
    return OwnedSid::Copy(sid);
}

void FillFromToken(OwnedSid& owner, OwnedSid& group) {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN) ThrowLastError(u"OpenThreadToken()");
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            ThrowLastError(u"OpenProcessToken()");
    }
    HandleCloser closer(token);
    if (owner.Empty()) owner = TokenSid(token, TokenOwner);
    if (group.Empty()) group = TokenSid(token, TokenPrimaryGroup);
}

DWORD Group(uint32_t p, uint32_t r, uint32_t w, uint32_t x, bool set) {
    DWORD rights = 0;
    if (((p & r) != 0) == set) rights |= kReadGroup;
    if (((p & w) != 0) == set) rights |= kWriteGroup;
    if (((p & x) != 0) == set) rights |= kExecuteGroup;
    return rights;
}

// The entries of the request's ACL, into the DACL and SACL that take them.
void AddAclEntries(NativeFileSecurity& security, const QtSfsAcl& acl, bool daclTakes,
                   bool saclTakes) {
    if (!acl.m_aces) return;
    for (QtSfsAce* ace : *acl.m_aces) {
        if (ace == nullptr) continue;
        // Alarm entries (and types past them) have no place in a file's
        // security here; dropping them would answer Ok for a set that did
        // not happen.
        if (ace->m_type > SfsAceType::SystemAudit)
            throw ConversionFailure{SfsStatusCode::InvalidParameter,
                                    u"The ACE type " +
                                        NumberToText(static_cast<uint32_t>(ace->m_type)) +
                                        u" cannot be stored.",
                                    WString()};
        bool toDacl = daclTakes && (ace->m_type == SfsAceType::AccessAllowed ||
                                    ace->m_type == SfsAceType::AccessDenied);
        bool toSacl = saclTakes && ace->m_type == SfsAceType::SystemAudit;
        if (!toDacl && !toSacl) continue;
        OwnedSid sid =
            ConvertName(u"Ace", TextOf(ace->m_who), security.owner.Get(), security.group.Get());
        DWORD flags = ace->m_flags & kInheritanceFlags;
        DWORD mask = ace->m_mask & kSfsAceMaskBits;
        if (ace->m_type == SfsAceType::AccessAllowed)
            security.dacl.AddAllowed(flags, mask, sid.Get());
        else if (ace->m_type == SfsAceType::AccessDenied)
            security.dacl.AddDenied(flags, mask, sid.Get());
        else
            security.sacl.AddAudit(flags, mask, sid.Get(), (ace->m_flags & 0x10) != 0,
                                   (ace->m_flags & 0x20) != 0);
    }
}

void MakeDescriptor(NativeFileSecurity& security) {
    security.descriptor = std::make_unique<SecurityDescriptorHolder>();
    SecurityDescriptorHolder& sd = *security.descriptor;
    sd.Make();
    // An owner or group that the request does not name is left to the system,
    // which gives a new object the creator's (and on Linux a set-group-ID
    // directory's group); the DACL names the creator's, which stand for them.
    if (security.ownerFromRequest) sd.SetOwner(security.owner.Get(), false);
    if (security.groupFromRequest) sd.SetGroup(security.group.Get(), false);
    if (security.daclPresent) {
        sd.SetDacl(security.dacl.Get());
        sd.SetControl(SE_DACL_PROTECTED, security.daclProtected ? SE_DACL_PROTECTED : 0);
    }
    if (security.saclPresent) {
        sd.SetSacl(security.sacl.Get());
        sd.SetControl(SE_SACL_PROTECTED, security.saclProtected ? SE_SACL_PROTECTED : 0);
    }
}

}  // namespace

// ---- Principals ---------------------------------------------------------------------

WString SidToName(PSID sid, PSID owner, PSID group) {
    if (owner != nullptr && EqualSid(owner, sid)) return WString(u"OWNER@");
    if (group != nullptr && EqualSid(group, sid)) return WString(u"GROUP@");
    // Every special SID has one sub-authority; owners and groups have more.
    if (sid != nullptr && IsValidSid(sid) && *GetSidSubAuthorityCount(sid) == 1) {
        for (const SpecialSid& special : kSpecialSids)
            if (special.outputName != nullptr && IsSpecialSid(sid, special))
                return WString(special.outputName);
    }
    // Every stat asks for two names: one look-up into buffers that fit any
    // ordinary name, the sizing round trip only for longer ones.
    char16_t account[128], domain[128];
    DWORD accountSize = 128, domainSize = 128;
    SID_NAME_USE use = SidTypeUnknown;
    if (sid != nullptr &&
        LookupAccountSidW(nullptr, sid, account, &accountSize, domain, &domainSize, &use)) {
        WString name;
        name.reserve(accountSize + 1 + domainSize);
        name += std::u16string_view(account, accountSize);
        name += u'@';
        name += std::u16string_view(domain, domainSize);
        return name;
    }
    AccountNames names;
    if (sid != nullptr && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
        LookupNamesOfSid(sid, &names))
        return names.account + u"@" + names.domain;
    return SidToText(sid);
}

RefPtr<QtStr> SidToNameStr(PSID sid) {
    // A stat answers two names: an ordinary one is put together on the stack
    // and copied once, into the quantum that carries it.
    char16_t account[128], domain[128];
    DWORD accountSize = 128, domainSize = 128;
    SID_NAME_USE use = SidTypeUnknown;
    if (sid != nullptr && IsValidSid(sid) && *GetSidSubAuthorityCount(sid) != 1 &&
        LookupAccountSidW(nullptr, sid, account, &accountSize, domain, &domainSize, &use)) {
        char16_t text[128 + 1 + 128];
        std::copy_n(account, accountSize, text);
        text[accountSize] = u'@';
        std::copy_n(domain, domainSize, text + accountSize + 1);
        return MakeStr(std::u16string_view(text, accountSize + 1 + domainSize));
    }
    return MakeStr(SidToName(sid));
}

OwnedSid NameToSid(std::u16string_view name, PSID owner, PSID group, PrincipalKind kind) {
    if (!name.empty() && name.back() == u'@') {
        if (owner != nullptr && EqualIgnoringAsciiCase(name, u"OWNER@"))
            return OwnedSid::Copy(owner);
        if (group != nullptr && EqualIgnoringAsciiCase(name, u"GROUP@"))
            return OwnedSid::Copy(group);
        for (const SpecialSid& special : kSpecialSids)
            if (EqualIgnoringAsciiCase(name, special.inputName)) return SpecialSidOf(special);
    }
    // The text form in which SidToName gives a SID that has no name.
    if (OwnedSid sid = SidOfText(name); !sid.Empty()) return sid;
    size_t at = name.find(u'@');
    std::u16string_view account = name.substr(0, at);
    std::u16string_view domain = at == std::u16string_view::npos ? u"" : name.substr(at + 1);
    OwnedSid sid;
    // A bare name can be a user and a group at once (every Debian user has a
    // group of the same name): the field decides which one it means.
    if (domain.empty() && kind != PrincipalKind::Any) {
        WString qualified(kind == PrincipalKind::User ? u"Unix User\\" : u"Unix Group\\");
        qualified += account;
        if (LookupSidOfName(qualified, &sid)) return sid;
    }
    WString lookupName;
    if (!domain.empty()) {
        lookupName += domain;
        lookupName += u"\\";
    }
    lookupName += account;
    if (!LookupSidOfName(lookupName, &sid)) ThrowLastError(u"LookupAccountName()");
    return sid;
}

RefPtr<QtSfsAce> AceToSfs(const ACE_HEADER* ace, PSID owner, PSID group) {
    if (ace == nullptr || ace->AceType > SYSTEM_AUDIT_ACE_TYPE) return nullptr;
    struct FlagPair {
        BYTE windows;
        uint32_t sfs;
    };
    static constexpr FlagPair kFlags[] = {
        {OBJECT_INHERIT_ACE, 0x1},          {CONTAINER_INHERIT_ACE, 0x2},
        {NO_PROPAGATE_INHERIT_ACE, 0x4},    {INHERIT_ONLY_ACE, 0x8},
        {SUCCESSFUL_ACCESS_ACE_FLAG, 0x10}, {FAILED_ACCESS_ACE_FLAG, 0x20},
        {INHERITED_ACE, 0x01000000},
    };
    // Allowed, denied and audit entries share one layout.
    auto* body = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
    auto result = MakeRef<QtSfsAce>();
    result->m_type = static_cast<SfsAceType>(ace->AceType);
    for (const FlagPair& pair : kFlags)
        if (ace->AceFlags & pair.windows) result->m_flags |= pair.sfs;
    result->m_mask = body->Mask & kSfsAceMaskBits;
    PSID sid = const_cast<DWORD*>(&body->SidStart);
    result->m_who = MakeStr(SidToName(sid, owner, group));
    return result;
}

// ---- The attribute record of a request --------------------------------------------------

RequestAttrs ExtractSfsAttrs(const QtSfsRequest& request) {
    RefPtr<QtSfsAttrs> attrs;
    const char16_t* action = nullptr;
    const QuantumS* content = request.m_content.get();
    switch (request.m_type) {
        case SfsRequest::Open:
            if (auto* open = dynamic_cast<const QtSfsOpen*>(content)) {
                attrs = open->m_attrs;
                action = u"Opening file";
            }
            break;
        case SfsRequest::SetStat:
        case SfsRequest::LSetStat:
            if (auto* setStat = dynamic_cast<const QtSfsSetStat*>(content)) {
                attrs = setStat->m_attrs;
                action = u"Writing attributes for";
            }
            break;
        case SfsRequest::FSetStat:
            if (auto* fSetStat = dynamic_cast<const QtSfsFSetStat*>(content)) {
                attrs = fSetStat->m_attrs;
                action = u"Writing attributes for";
            }
            break;
        case SfsRequest::MkDir:
            if (auto* mkDir = dynamic_cast<const QtSfsMkDir*>(content)) {
                attrs = mkDir->m_attrs;
                action = u"Creating directory";
            }
            break;
        default:
            break;
    }
    if (action == nullptr)
        throw KilnComponent::Exit(ErrCls::Kiln, 0,
                                  u"KilnSfsWin::ExtractSfsAttrs: Requested attributes extraction "
                                  u"for " +
                                      EnumText(request.m_type) + u" packet");
    // A request without a record asks for nothing.
    if (!attrs) attrs = MakeRef<QtSfsAttrs>();
    return RequestAttrs{std::move(attrs), action};
}

// ---- Native times ---------------------------------------------------------------------

std::optional<FILETIME> SfsTimeToFileTime(uint64_t seconds, uint32_t nanoseconds) {
    if (nanoseconds >= 1000000000u) return std::nullopt;
    uint64_t shifted = 0, ticks = 0, total = 0;
    if (__builtin_add_overflow(seconds, platform::kSecondsFrom1601To1970, &shifted) ||
        __builtin_mul_overflow(shifted, platform::kFileTimeTicksPerSecond, &ticks) ||
        __builtin_add_overflow(ticks, uint64_t{nanoseconds / 100}, &total))
        return std::nullopt;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(total);
    time.dwHighDateTime = static_cast<DWORD>(total >> 32);
    return time;
}

NativeFileTimes NativeTimes(KilnSfsWin& provider, const QtSfsRequest& request,
                            const RequestAttrs& attrs, std::u16string_view path) {
    const QtSfsAttrs& record = *attrs.attrs;
    const bool subsecond = (record.m_validAttrFlags & SfsAttrFlags::SubsecondTimes) != 0;
    struct Slot {
        uint32_t flag;
        const char16_t* name;
        uint64_t seconds;
        uint32_t nanoseconds;
        NativeFileTimes::Entry NativeFileTimes::*entry;
    };
    const Slot slots[] = {
        {SfsAttrFlags::CreateTime, u"CreateTime", record.m_createTime, record.m_createTimeNs,
         &NativeFileTimes::creation},
        {SfsAttrFlags::ModifyTime, u"ModifyTime", record.m_modifyTime, record.m_modifyTimeNs,
         &NativeFileTimes::modification},
        {SfsAttrFlags::AccessTime, u"AccessTime", record.m_accessTime, record.m_accessTimeNs,
         &NativeFileTimes::access},
    };
    NativeFileTimes times;
    for (const Slot& slot : slots) {
        if ((record.m_validAttrFlags & slot.flag) == 0) continue;
        std::optional<FILETIME> converted =
            SfsTimeToFileTime(slot.seconds, subsecond ? slot.nanoseconds : 0);
        if (!converted)
            FailInvalidParameter(
                provider, request, attrs, path,
                WString(u"Failed to convert ") + slot.name + u" to the native form.", WString());
        (times.*slot.entry).present = true;
        (times.*slot.entry).time = *converted;
    }
    return times;
}

// ---- Native security --------------------------------------------------------------------

void BuildPermissionsDacl(AclBuffer& dacl, uint32_t permissions, PSID owner, PSID group) {
    const uint32_t p = permissions & 0x1FFu;
    const DWORD ownerAllow = Group(p, 0x100, 0x80, 0x40, true) | WRITE_DAC | WRITE_OWNER;
    const DWORD ownerDeny = Group(p, 0x100, 0x80, 0x40, false) & ~SYNCHRONIZE;
    const DWORD groupAllow = Group(p, 0x20, 0x10, 0x08, true);
    const DWORD groupDeny = Group(p, 0x20, 0x10, 0x08, false) & ~SYNCHRONIZE;
    const DWORD other = Group(p, 0x04, 0x02, 0x01, true);

    // Windows stops at the first entry that grants or denies a right, and
    // the owner and the group are Everyone too: a deny is needed only where
    // a later, wider allow would otherwise hand out what the mode withholds.
    if (ownerDeny != 0 && (groupAllow != 0 || other != 0) &&
        (other & groupAllow & ownerAllow) != (other | groupAllow) &&
        (other != 0 || (groupAllow & ownerAllow) != groupAllow))
        dacl.AddDenied(0, ownerDeny, owner);
    if (groupDeny != 0 && other != 0 && (other & groupAllow) != other)
        dacl.AddDenied(0, groupDeny, group);
    dacl.AddAllowed(0, ownerAllow, owner);
    if (groupAllow != 0) dacl.AddAllowed(0, groupAllow, group);
    if (other != 0) {
        OwnedSid world = WorldSidOwned();
        dacl.AddAllowed(0, other, world.Get());
    }
    // Where the file system keeps a mode of its own, the bits that no access
    // right can say (setuid, setgid, sticky) ride on an entry that grants and
    // denies nothing, so it changes no access check.
    BYTE modeSid[SECURITY_MAX_SID_SIZE];
    if (platform::ModeEntrySid(permissions & 07777u, modeSid)) dacl.AddDenied(0, 0, modeSid);
}

std::unique_ptr<NativeFileSecurity> NativeSecurity(KilnSfsWin& provider,
                                                   const QtSfsRequest& request,
                                                   const RequestAttrs& attrs,
                                                   std::u16string_view path, PSID currentOwner,
                                                   PSID currentGroup, bool wantDescriptor) {
    const QtSfsAttrs& record = *attrs.attrs;
    const uint32_t flags = record.m_validAttrFlags;
    const bool wantAcl = (flags & SfsAttrFlags::Acl) != 0;
    const bool wantPermissions =
        (flags & SfsAttrFlags::Permissions) != 0 && provider.PosixPermissions();
    const bool wantOwnerGroup = (flags & SfsAttrFlags::OwnerGroup) != 0 && provider.OwnerGroup();

    auto security = std::make_unique<NativeFileSecurity>();
    if (!wantAcl && !wantPermissions && !wantOwnerGroup) return security;
    security->built = true;

    if (wantAcl && !record.m_acl)
        FailInvalidParameter(provider, request, attrs, path,
                             WString(u"The Acl attribute carries no access control list."),
                             WString());

    try {
        // Owner and group: the current ones, unless the record names them.
        try {
            security->owner = OwnedSid::Copy(currentOwner);
            security->group = OwnedSid::Copy(currentGroup);
        } catch (const SystemError& error) {
            throw ConversionFailure{SfsStatusCode::Failure,
                                    WString(u"Failed to create access control list."),
                                    error.Description()};
        }
        if (wantOwnerGroup) {
            security->owner = ConvertName(u"Owner", TextOf(record.m_owner), nullptr, nullptr,
                                          PrincipalKind::User);
            security->ownerFromRequest = true;
            security->group = ConvertName(u"Group", TextOf(record.m_group), nullptr, nullptr,
                                          PrincipalKind::Group);
            security->groupFromRequest = true;
        }

        if ((wantAcl || wantPermissions) && (security->owner.Empty() || security->group.Empty())) {
            try {
                FillFromToken(security->owner, security->group);
            } catch (const SystemError& error) {
                throw ConversionFailure{
                    SfsStatusCode::Failure,
                    WString(u"Failed to retrieve Owner and Group from security context of this "
                            u"thread."),
                    error.Description()};
            }
        }

        try {
            if (wantAcl) {
                const QtSfsAcl& acl = *record.m_acl;
                bool daclTakes = false, saclTakes = false;
                if (acl.m_flags & 0x01) {  // ControlIncluded
                    security->daclPresent = true;
                    security->daclProtected = (acl.m_flags & 0x04) == 0;
                    daclTakes = (acl.m_flags & 0x02) != 0;  // ControlPresent
                }
                if (acl.m_flags & 0x10) {  // AuditAlarmIncluded
                    security->saclPresent = true;
                    security->saclProtected = (acl.m_flags & 0x20) == 0;
                    saclTakes = true;
                }
                if (daclTakes || saclTakes) {
                    AddAclEntries(*security, acl, daclTakes, saclTakes);
                    if (daclTakes && security->dacl.Get() == nullptr) security->dacl.MakeEmpty();
                    if (saclTakes && security->sacl.Get() == nullptr) security->sacl.MakeEmpty();
                }
            }
            if (wantPermissions && !security->daclPresent) {
                BuildPermissionsDacl(security->dacl, record.m_permissions, security->owner.Get(),
                                     security->group.Get());
                security->daclPresent = true;
                security->daclProtected = true;
            }
        } catch (const SystemError& error) {
            throw ConversionFailure{SfsStatusCode::Failure,
                                    WString(u"Failed to create access control list."),
                                    error.Description()};
        }

        if (wantDescriptor) {
            try {
                MakeDescriptor(*security);
            } catch (const SystemError& error) {
                throw ConversionFailure{SfsStatusCode::Failure,
                                        WString(u"Failed to create security descriptor."),
                                        error.Description()};
            }
        }
    } catch (const ConversionFailure& failure) {
        if (failure.code == SfsStatusCode::InvalidParameter)
            FailInvalidParameter(provider, request, attrs, path, failure.reason,
                                 failure.description);
        FailPlain(provider, request, attrs, path, failure.reason, failure.description);
    }
    return security;
}

// ---- Attribute bits ---------------------------------------------------------------------

DWORD ApplyAttrBits(const QtSfsAttrs& attrs, DWORD current) {
    if ((attrs.m_validAttrFlags & SfsAttrFlags::Bits) == 0) return current;
    struct BitPair {
        uint32_t sfs;
        DWORD windows;
    };
    static constexpr BitPair kBits[] = {
        {SfsAttrBits::ReadOnly, FILE_ATTRIBUTE_READONLY},
        {SfsAttrBits::System, FILE_ATTRIBUTE_SYSTEM},
        {SfsAttrBits::Hidden, FILE_ATTRIBUTE_HIDDEN},
        {SfsAttrBits::Archive, FILE_ATTRIBUTE_ARCHIVE},
    };
    DWORD result = current;
    for (const BitPair& pair : kBits) {
        if ((attrs.m_attrBitsValid & pair.sfs) == 0) continue;
        if (attrs.m_attrBits & pair.sfs)
            result |= pair.windows;
        else
            result &= ~pair.windows;
    }
    return result;
}

}  // namespace kiln::KilnSfsWin
