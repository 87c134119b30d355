#include "host/sftp_attrs.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "host/host_os.h"
#include "platform/accounts.h"
#include "platform/caches.h"

namespace kiln::sftp {
namespace {

constexpr std::u16string_view kUserDomain = u"Unix User";
constexpr std::u16string_view kGroupDomain = u"Unix Group";

// Splits "account@domain" at the first "@".
void SplitPrincipal(std::u16string_view p, std::u16string_view& account,
                    std::u16string_view& domain) {
    size_t at = p.find(u'@');
    account = p.substr(0, at);
    domain = at == std::u16string_view::npos ? std::u16string_view() : p.substr(at + 1);
}

std::string Utf8(std::u16string_view s) {
    return Narrow(s);
}

std::optional<uint32_t> ParseDecimal(std::string_view s) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<uint32_t>(v);
}

// Linux ids the provider could not name come back as the SID text
// S-1-22-1-<uid> or S-1-22-2-<gid>.
std::optional<uint32_t> IdFromSid(std::u16string_view principal, std::string_view prefix) {
    std::string p = Utf8(principal);
    if (p.rfind(prefix, 0) != 0) return std::nullopt;
    return ParseDecimal(std::string_view(p).substr(prefix.size()));
}

std::u16string UnixSidText(const char* prefix, uint32_t id) {
    return std::u16string(Widen(prefix + std::to_string(id)).sv());
}

uint32_t Flags(const QtSfsAttrs& a) {
    return a.m_validAttrFlags;
}

int64_t ClampTime(uint64_t t) {
    return t > INT64_MAX ? INT64_MAX : static_cast<int64_t>(t);
}

uint8_t TypeForVersion(SfsType type, int version) {
    uint32_t t = static_cast<uint32_t>(type);
    if (t < 1 || t > 9) return static_cast<uint8_t>(SfsType::Unknown);
    // Socket, devices and FIFOs are new in version 6; older ones call them
    // special.
    if (version < 6 && t > 5) return static_cast<uint8_t>(SfsType::Special);
    return static_cast<uint8_t>(t);
}

bool ReadAcl(std::string_view blob, int version, QtSfsAttrs& out) {
    SftpReader r(blob);
    auto acl = MakeRef<QtSfsAcl>();
    acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    uint32_t count = 0;
    if (version >= 6) r.U32(acl->m_flags);
    if (!r.U32(count)) return false;
    // Each entry takes at least 16 bytes; a count that cannot fit is a lie.
    if (count > r.Remaining() / 16) return false;
    for (uint32_t i = 0; i < count; ++i) {
        auto ace = MakeRef<QtSfsAce>();
        uint32_t type = 0;
        std::string_view who;
        r.U32(type);
        r.U32(ace->m_flags);
        r.U32(ace->m_mask);
        if (!r.String(who)) return false;
        ace->m_type = static_cast<SfsAceType>(type);
        ace->m_who = MakeStr(Widen(who).sv());
        acl->m_aces->Append(ace);
    }
    if (!r.Ok()) return false;
    // Versions 4 and 5 have no ACL flags: what they send is the whole
    // discretionary list.
    if (version < 6) acl->m_flags = 0x01 | 0x02 | 0x04;
    out.m_acl = acl;
    return true;
}

void WriteAcl(SftpWriter& w, int version, const QtSfsAcl* acl) {
    size_t at = w.BeginString();
    if (version >= 6) w.U32(acl ? acl->m_flags : 0);
    size_t countAt = w.ReserveU32();
    uint32_t count = 0;
    if (acl && acl->m_aces) {
        for (QtSfsAce* ace : *acl->m_aces) {
            if (!ace) continue;
            // Older versions have no way to say that the list is partial;
            // audit and alarm entries would read as access entries to them.
            w.U32(static_cast<uint32_t>(ace->m_type));
            w.U32(ace->m_flags);
            w.U32(ace->m_mask);
            w.String(ace->m_who ? Utf8(ace->m_who->sv()) : std::string());
            ++count;
        }
    }
    w.PatchU32(countAt, count);
    w.EndString(at);
}

AttrsError ReadV3(SftpReader& r, QtSfsAttrs& a) {
    uint32_t flags = 0;
    if (!r.U32(flags)) return AttrsError::Malformed;
    if (flags & ~(V3Attr::Size | V3Attr::UidGid | V3Attr::Permissions | V3Attr::AcModTime |
                  V3Attr::Extended))
        return AttrsError::UnknownFlags;
    if (flags & V3Attr::Size) {
        r.U64(a.m_size);
        a.m_validAttrFlags |= SfsAttrFlags::Size;
    }
    bool unknownPrincipal = false;
    if (flags & V3Attr::UidGid) {
        uint32_t uid = 0, gid = 0;
        r.U32(uid);
        r.U32(gid);
        // An id that no account has is still a Unix SID, S-1-22-1-<uid> or
        // S-1-22-2-<gid>, the form in which the provider reports such owners.
        auto owner = PrincipalOfUid(uid);
        auto group = PrincipalOfGid(gid);
        if (!owner && uid != 0xFFFFFFFFu) owner = UnixSidText("S-1-22-1-", uid);
        if (!group && gid != 0xFFFFFFFFu) group = UnixSidText("S-1-22-2-", gid);
        if (owner && group) {
            a.m_owner = MakeStr(*owner);
            a.m_group = MakeStr(*group);
            a.m_validAttrFlags |= SfsAttrFlags::OwnerGroup;
        } else {
            unknownPrincipal = true;
        }
    }
    if (flags & V3Attr::Permissions) {
        r.U32(a.m_permissions);
        a.m_permissions &= 07777;  // setuid, setgid and sticky too
        a.m_validAttrFlags |= SfsAttrFlags::Permissions;
    }
    if (flags & V3Attr::AcModTime) {
        uint32_t at = 0, mt = 0;
        r.U32(at);
        r.U32(mt);
        a.m_accessTime = at;
        a.m_modifyTime = mt;
        a.m_validAttrFlags |= SfsAttrFlags::AccessTime | SfsAttrFlags::ModifyTime;
    }
    if (flags & V3Attr::Extended) {
        uint32_t count = 0;
        r.U32(count);
        for (uint32_t i = 0; i < count && r.Ok(); ++i) {
            std::string_view type, data;
            r.String(type);
            r.String(data);
        }
    }
    if (!r.Ok()) return AttrsError::Malformed;
    return unknownPrincipal ? AttrsError::UnknownPrincipal : AttrsError::None;
}

AttrsError ReadV4(SftpReader& r, int version, QtSfsAttrs& a) {
    uint32_t flags = 0;
    uint8_t type = 0;
    if (!r.U32(flags) || !r.U8(type)) return AttrsError::Malformed;
    uint32_t known = AttrFlagsOfVersion(version) | V4Attr::Extended |
                     (version >= 6 ? V4Attr::UntranslatedName : 0);
    if (flags & ~known) return AttrsError::UnknownFlags;
    a.m_type = static_cast<SfsType>(type);
    a.m_validAttrFlags = flags & AttrFlagsOfVersion(version);
    const bool ns = flags & SfsAttrFlags::SubsecondTimes;
    if (flags & SfsAttrFlags::Size) r.U64(a.m_size);
    if (flags & SfsAttrFlags::AllocSize) r.U64(a.m_allocSize);
    if (flags & SfsAttrFlags::OwnerGroup) {
        std::string_view owner, group;
        r.String(owner);
        r.String(group);
        a.m_owner = MakeStr(PrincipalOfWireName(owner, false));
        a.m_group = MakeStr(PrincipalOfWireName(group, true));
    }
    if (flags & SfsAttrFlags::Permissions) {
        r.U32(a.m_permissions);
        a.m_permissions &= 07777;  // setuid, setgid and sticky too
    }
    auto time = [&](uint32_t bit, uint64_t& s, uint32_t& n) {
        if (!(flags & bit)) return;
        r.U64(s);
        if (ns) r.U32(n);
    };
    time(SfsAttrFlags::AccessTime, a.m_accessTime, a.m_accessTimeNs);
    time(SfsAttrFlags::CreateTime, a.m_createTime, a.m_createTimeNs);
    time(SfsAttrFlags::ModifyTime, a.m_modifyTime, a.m_modifyTimeNs);
    time(SfsAttrFlags::CTime, a.m_cTime, a.m_cTimeNs);
    if (flags & SfsAttrFlags::Acl) {
        std::string_view blob;
        if (!r.String(blob) || !ReadAcl(blob, version, a)) return AttrsError::Malformed;
    }
    if (flags & SfsAttrFlags::Bits) {
        r.U32(a.m_attrBits);
        if (version >= 6)
            r.U32(a.m_attrBitsValid);
        else
            a.m_attrBitsValid = 0xFF;  // version 5 sends every bit it knows
    }
    if (flags & SfsAttrFlags::TextHint) r.U8(a.m_textHint);
    if (flags & SfsAttrFlags::MimeType) {
        std::string_view mime;
        r.String(mime);
        a.m_mimeType = MakeStr(Widen(mime).sv());
    }
    if (flags & SfsAttrFlags::LinkCount) r.U32(a.m_linkCount);
    if (flags & V4Attr::UntranslatedName) {
        std::string_view untranslated;
        r.String(untranslated);
    }
    if (flags & V4Attr::Extended) {
        uint32_t count = 0;
        r.U32(count);
        for (uint32_t i = 0; i < count && r.Ok(); ++i) {
            std::string_view t, d;
            r.String(t);
            r.String(d);
        }
    }
    // Negative times (before 1970) have no form in the provider's record.
    if (r.Ok()) {
        for (uint64_t t : {a.m_accessTime, a.m_createTime, a.m_modifyTime, a.m_cTime})
            if (t > INT64_MAX) return AttrsError::Malformed;
    }
    return r.Ok() ? AttrsError::None : AttrsError::Malformed;
}

void WriteV3(SftpWriter& w, const QtSfsAttrs& a) {
    const uint32_t f = Flags(a);
    uint32_t flags = 0;
    std::optional<uint32_t> uid, gid;
    if (f & SfsAttrFlags::OwnerGroup && a.m_owner && a.m_group) {
        uid = UidOfPrincipal(a.m_owner->sv());
        gid = GidOfPrincipal(a.m_group->sv());
    }
    const uint32_t mode = PosixMode(a);
    if (f & SfsAttrFlags::Size) flags |= V3Attr::Size;
    if (uid && gid) flags |= V3Attr::UidGid;
    if (mode) flags |= V3Attr::Permissions;
    // Version 3 sets both times together, so it reports them together.
    if ((f & SfsAttrFlags::ModifyTime) && a.m_modifyTime <= 0xFFFFFFFFu) flags |= V3Attr::AcModTime;
    w.U32(flags);
    if (flags & V3Attr::Size) w.U64(a.m_size);
    if (flags & V3Attr::UidGid) {
        w.U32(*uid);
        w.U32(*gid);
    }
    if (flags & V3Attr::Permissions) w.U32(mode);
    if (flags & V3Attr::AcModTime) {
        uint64_t at = (f & SfsAttrFlags::AccessTime) ? a.m_accessTime : a.m_modifyTime;
        w.U32(at <= 0xFFFFFFFFu ? static_cast<uint32_t>(at) : 0xFFFFFFFFu);
        w.U32(static_cast<uint32_t>(a.m_modifyTime));
    }
}

void WriteV4(SftpWriter& w, int version, const QtSfsAttrs& a) {
    uint32_t flags = Flags(a) & AttrFlagsOfVersion(version);
    if ((flags & SfsAttrFlags::OwnerGroup) && !(a.m_owner && a.m_group))
        flags &= ~SfsAttrFlags::OwnerGroup;
    const bool anyTime = flags & (SfsAttrFlags::AccessTime | SfsAttrFlags::CreateTime |
                                  SfsAttrFlags::ModifyTime | SfsAttrFlags::CTime);
    if (!anyTime) flags &= ~SfsAttrFlags::SubsecondTimes;
    const bool ns = flags & SfsAttrFlags::SubsecondTimes;
    w.U32(flags);
    w.U8(TypeForVersion(a.m_type, version));
    if (flags & SfsAttrFlags::Size) w.U64(a.m_size);
    if (flags & SfsAttrFlags::AllocSize) w.U64(a.m_allocSize);
    if (flags & SfsAttrFlags::OwnerGroup) {
        w.String(WireName(a.m_owner->sv()));
        w.String(WireName(a.m_group->sv()));
    }
    if (flags & SfsAttrFlags::Permissions) w.U32(PosixMode(a));
    auto time = [&](uint32_t bit, uint64_t s, uint32_t n) {
        if (!(flags & bit)) return;
        w.U64(static_cast<uint64_t>(ClampTime(s)));
        if (ns) w.U32(n);
    };
    time(SfsAttrFlags::AccessTime, a.m_accessTime, a.m_accessTimeNs);
    time(SfsAttrFlags::CreateTime, a.m_createTime, a.m_createTimeNs);
    time(SfsAttrFlags::ModifyTime, a.m_modifyTime, a.m_modifyTimeNs);
    time(SfsAttrFlags::CTime, a.m_cTime, a.m_cTimeNs);
    if (flags & SfsAttrFlags::Acl) WriteAcl(w, version, a.m_acl.get());
    if (flags & SfsAttrFlags::Bits) {
        // Version 5 cannot say which bits are known; it gets the known ones
        // that are set.
        w.U32(version >= 6 ? a.m_attrBits : (a.m_attrBits & a.m_attrBitsValid));
        if (version >= 6) w.U32(a.m_attrBitsValid);
    }
    if (flags & SfsAttrFlags::TextHint) w.U8(a.m_textHint);
    if (flags & SfsAttrFlags::MimeType) w.String(a.m_mimeType ? Utf8(a.m_mimeType->sv()) : "");
    if (flags & SfsAttrFlags::LinkCount) w.U32(a.m_linkCount);
}

}  // namespace

uint32_t AttrFlagsOfVersion(int version) {
    using namespace SfsAttrFlags;
    uint32_t v4 = Size | Permissions | AccessTime | CreateTime | ModifyTime | Acl | OwnerGroup |
                  SubsecondTimes;
    if (version <= 4) return v4;
    if (version == 5) return v4 | Bits;
    return v4 | Bits | AllocSize | TextHint | MimeType | LinkCount | CTime;
}

AttrsError ReadAttrs(SftpReader& reader, int version, QtSfsAttrs& out) {
    return version <= 3 ? ReadV3(reader, out) : ReadV4(reader, version, out);
}

void WriteAttrs(SftpWriter& writer, int version, const QtSfsAttrs& attrs) {
    if (version <= 3)
        WriteV3(writer, attrs);
    else
        WriteV4(writer, version, attrs);
}

uint32_t PosixMode(const QtSfsAttrs& a) {
    uint32_t type = 0;
    switch (a.m_type) {
        case SfsType::Regular:
            type = WireMode::Regular;
            break;
        case SfsType::Directory:
            type = WireMode::Directory;
            break;
        case SfsType::Symlink:
            type = WireMode::Symlink;
            break;
        case SfsType::Socket:
            type = WireMode::Socket;
            break;
        case SfsType::CharDevice:
            type = WireMode::CharDevice;
            break;
        case SfsType::BlockDevice:
            type = WireMode::BlockDevice;
            break;
        case SfsType::Fifo:
            type = WireMode::Fifo;
            break;
        default:
            break;
    }
    uint32_t perms = (Flags(a) & SfsAttrFlags::Permissions) ? (a.m_permissions & 07777) : 0;
    return type | perms;
}

namespace {

// The date column of a long name, as ls shows it: the time of day for the
// last six months, the year otherwise. The entries of a directory often
// share a modification time, so the text of the last one is kept.
std::string_view DateColumn(time_t t, time_t now) {
    constexpr time_t kSixMonths = (365 * 24 * 60 * 60) / 2;
    const bool recent = t > now - kSixMonths && t < now + kSixMonths;
    thread_local time_t keptTime = 0;
    thread_local bool keptRecent = false;
    thread_local char kept[32] = "";
    if (kept[0] && keptTime == t && keptRecent == recent) return kept;
    struct tm tm {};
    kept[0] = 0;
    // The day padded by hand: not every C library knows %e.
    if (os::LocalTime(t, tm)) {
        char day[4];
        std::snprintf(day, sizeof day, "%2d", tm.tm_mday);
        const std::string format = std::string("%b ") + day + (recent ? " %H:%M" : "  %Y");
        if (strftime(kept, sizeof kept, format.c_str(), &tm) == 0) kept[0] = 0;
    }
    keptTime = t;
    keptRecent = recent;
    return kept;
}

}  // namespace

std::string Longname(std::string_view name, const QtSfsAttrs& a, time_t now) {
    const uint32_t mode = PosixMode(a);
    char modeText[12] = "?--------- ";
    switch (mode & WireMode::TypeMask) {
        case WireMode::Regular:
            modeText[0] = '-';
            break;
        case WireMode::Directory:
            modeText[0] = 'd';
            break;
        case WireMode::Symlink:
            modeText[0] = 'l';
            break;
        case WireMode::Socket:
            modeText[0] = 's';
            break;
        case WireMode::CharDevice:
            modeText[0] = 'c';
            break;
        case WireMode::BlockDevice:
            modeText[0] = 'b';
            break;
        case WireMode::Fifo:
            modeText[0] = 'p';
            break;
        default:
            break;
    }
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i)) modeText[1 + i] = rwx[i];

    std::string user = "?", group = "?";
    if ((Flags(a) & SfsAttrFlags::OwnerGroup) && a.m_owner && a.m_group) {
        user = WireName(a.m_owner->sv());
        group = WireName(a.m_group->sv());
    }
    const unsigned links = (Flags(a) & SfsAttrFlags::LinkCount) ? a.m_linkCount : 1;
    const uint64_t size = (Flags(a) & SfsAttrFlags::Size) ? a.m_size : 0;
    const std::string_view date =
        (Flags(a) & SfsAttrFlags::ModifyTime)
            ? DateColumn(static_cast<time_t>(ClampTime(a.m_modifyTime)), now)
            : std::string_view();

    // The layout of "%s %3u %-8s %-8s %8llu %s %s", put together by hand:
    // every entry of a version 3 listing pays for it, and the formatted
    // printing was a tenth of a listing's cost.
    std::string line;
    line.reserve(64 + name.size());
    auto pad = [&line](size_t used, size_t width) {
        if (used < width) line.append(width - used, ' ');
    };
    auto number = [&](unsigned long long value, size_t width) {
        char digits[24];
        const size_t n =
            static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
        pad(n, width);
        line.append(digits, n);
    };
    line.append(modeText).append(1, ' ');
    number(links, 3);
    line.append(1, ' ').append(user);
    pad(user.size(), 8);
    line.append(1, ' ').append(group);
    pad(group.size(), 8);
    line.append(1, ' ');
    number(size, 8);
    line.append(1, ' ').append(date.empty() ? std::string_view("Jan  1  1970") : date);
    line.append(1, ' ').append(name);
    return line;
}

namespace {

// The ids and account of a principal. A listing names the same owner and
// group for entry after entry, each written as ids and in the long name: the
// answers for the last two principals are kept until the second turns (at
// most a second), well within the five seconds that the account look-ups
// themselves are kept.
struct PrincipalFacts {
    std::optional<uint32_t> uid, gid;
    std::string account;
    // As clients see it, at every version: a Linux account by its name, an id
    // that no account has by its number; SIDs and domains stay inside.
    std::string wire;
};

PrincipalFacts Resolve(std::u16string_view principal) {
    std::u16string_view account, domain;
    SplitPrincipal(principal, account, domain);
    PrincipalFacts facts;
    facts.account = Utf8(account);
    if (auto id = IdFromSid(principal, "S-1-22-1-"))
        facts.uid = id;
    else if (domain == kUserDomain)
        if (auto uid = platform::security::UidOfName(facts.account)) facts.uid = *uid;
    if (auto id = IdFromSid(principal, "S-1-22-2-"))
        facts.gid = id;
    else if (domain == kGroupDomain)
        if (auto gid = platform::security::GidOfName(facts.account)) facts.gid = *gid;
    const bool unixAccount = domain == kUserDomain || domain == kGroupDomain;
    if (unixAccount || !(facts.uid || facts.gid))
        facts.wire = facts.account;
    else
        facts.wire = std::to_string(facts.uid ? *facts.uid : *facts.gid);
    return facts;
}

const PrincipalFacts& FactsOf(std::u16string_view principal) {
    struct Kept {
        std::u16string principal;
        PrincipalFacts facts;
        std::chrono::steady_clock::time_point when;
        bool valid = false;
    };
    thread_local Kept kept[2];
    thread_local unsigned next = 0;
    const auto now = platform::caches::CoarseNow();
    for (Kept& k : kept)
        if (k.valid && k.principal == principal &&
            now - k.when < platform::caches::kPrincipalFactsLifetime)
            return k.facts;
    Kept& k = kept[next++ % 2];
    k.principal.assign(principal);
    k.facts = Resolve(principal);
    k.when = now;
    k.valid = true;
    return k.facts;
}

}  // namespace

std::optional<uint32_t> UidOfPrincipal(std::u16string_view principal) {
    return FactsOf(principal).uid;
}

std::optional<uint32_t> GidOfPrincipal(std::u16string_view principal) {
    return FactsOf(principal).gid;
}

std::optional<std::u16string> PrincipalOfUid(uint32_t uid) {
    std::optional<std::string> user = platform::security::UserNameOf(uid);
    if (!user) return std::nullopt;
    WString name = Widen(*user);
    return std::u16string(name.sv()) + u"@" + std::u16string(kUserDomain);
}

std::optional<std::u16string> PrincipalOfGid(uint32_t gid) {
    std::optional<std::string> group = platform::security::GroupNameOf(gid);
    if (!group) return std::nullopt;
    WString name = Widen(*group);
    return std::u16string(name.sv()) + u"@" + std::u16string(kGroupDomain);
}

std::string WireName(std::u16string_view principal) {
    return FactsOf(principal).wire;
}

std::u16string PrincipalOfWireName(std::string_view name, bool group) {
    // A number names an id, as OpenSSH's clients print one that has no
    // account; a bare name is an account of the field's kind, so that a user
    // and a group of one name each land where they belong. Anything with a
    // domain is the client's own principal and goes to the provider as given.
    if (auto id = ParseDecimal(name)) {
        auto principal = group ? PrincipalOfGid(*id) : PrincipalOfUid(*id);
        return principal ? *principal : UnixSidText(group ? "S-1-22-2-" : "S-1-22-1-", *id);
    }
    std::u16string principal(Widen(name).sv());
    if (name.empty() || name.find('@') != std::string_view::npos) return principal;
    return principal + u"@" + std::u16string(group ? kGroupDomain : kUserDomain);
}

}  // namespace kiln::sftp
