// The security of files and directories: owner and group from the inode, the
// DACL from the mode bits and POSIX ACLs (a directory's default ACL as
// inheritable entries), the SACL from a trusted.* extended attribute, which
// only a process with CAP_SYS_ADMIN (SeSecurityPrivilege) can read or write.
//
// POSIX ACLs cannot say whether entries were inherited, and Linux never
// propagates later changes of a parent's default ACL: every DACL is reported
// as protected.
#include "platform/posix/files/file_security.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>

#include "platform/posix/files/attribute_store.h"
#include "platform/posix/files/file_object.h"
#include "platform/posix/files/found_entry.h"
#include "platform/posix/names/confinement.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/security/internal.h"
#include "platform/posix/security/posix_acl.h"
#include "platform/posix/system/descriptors.h"
#include "platform/posix/system/errors.h"

namespace {

using namespace kiln::platform::security;
using kiln::platform::ProcFdPath;
using kiln::platform::WindowsErrorFromErrno;

constexpr char kSaclAttribute[] = "trusted.kiln.sacl";
// The attribute holds a 4-byte header (format 1, flags) and the SACL.
constexpr BYTE kSaclFormat = 1;
constexpr BYTE kSaclProtected = 0x01;

struct AclHandle {
    acl_t acl = nullptr;
    AclHandle() = default;
    explicit AclHandle(acl_t a) : acl(a) {}
    AclHandle(const AclHandle&) = delete;
    AclHandle& operator=(const AclHandle&) = delete;
    ~AclHandle() {
        if (acl) acl_free(acl);
    }
};

struct Target {
    int fd = -1;
    struct stat st {};
    std::string path;  // /proc/self/fd/N
    bool symlink = false;
    bool directory = false;
    // Where the object's name was found to lead to it just now: its ACLs are
    // read there by name, without a walk through /proc. parentFd -1: unknown.
    int parentFd = -1;
    const char* name = nullptr;
    bool noPosixAcls = false;  // known from the attribute record's reading
    bool dataFd = false;       // fd is open for data (not O_PATH): calls on it work directly
};

DWORD Describe(int fd, Target* target) {
    target->fd = fd;
    if (fstatat(fd, "", &target->st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
        return WindowsErrorFromErrno(errno);
    target->path = ProcFdPath(fd);
    target->symlink = S_ISLNK(target->st.st_mode);
    target->directory = S_ISDIR(target->st.st_mode);
    return ERROR_SUCCESS;
}

// A handle's object described through the name it was opened by, when that
// name still leads to it; otherwise through its descriptor.
DWORD DescribeFile(const kiln::platform::FileObject& file, Target* target) {
    if (file.ParentFd() >= 0 && !file.Name().empty()) {
        struct statx sx;
        // The stat kept from the open will do when nothing needs reading by
        // name (the name may lead elsewhere by now); otherwise the name must
        // still lead to the handle's object.
        const bool kept = file.RecentOpenStat(&sx) && kiln::platform::KnownWithoutPosixAcls(sx);
        if (kept || (::statx(file.ParentFd(), file.Name().c_str(),
                             AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
                             STATX_BASIC_STATS | STATX_BTIME, &sx) == 0 &&
                     sx.stx_ino == file.Inode() &&
                     makedev(sx.stx_dev_major, sx.stx_dev_minor) == file.Device())) {
            target->fd = file.Fd();
            target->st.st_mode = sx.stx_mode;
            target->st.st_uid = sx.stx_uid;
            target->st.st_gid = sx.stx_gid;
            target->symlink = S_ISLNK(sx.stx_mode);
            target->directory = S_ISDIR(sx.stx_mode);
            target->parentFd = file.ParentFd();
            target->name = file.Name().c_str();
            target->noPosixAcls = kiln::platform::KnownWithoutPosixAcls(sx);
            return ERROR_SUCCESS;
        }
    }
    if (!file.EnsureFd()) return GetLastError();
    return Describe(file.Fd(), target);
}

// The kernel's form of a POSIX ACL in its extended attribute: a version word,
// then entries of tag, permissions and id.
constexpr uint32_t kAclXattrVersion = 2;
enum : uint16_t {
    kTagUserObj = 0x01,
    kTagUser = 0x02,
    kTagGroupObj = 0x04,
    kTagGroup = 0x08,
    kTagMask = 0x10,
    kTagOther = 0x20,
};

bool ParseAclXattr(const unsigned char* data, size_t size, PosixAcl* acl, int* count) {
    auto read16 = [](const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); };
    auto read32 = [](const unsigned char* p) {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    };
    if (size < 4 || (size - 4) % 8 != 0 || read32(data) != kAclXattrVersion) return false;
    *count = 0;
    for (size_t at = 4; at < size; at += 8) {
        const uint16_t tag = read16(data + at);
        const unsigned perms = read16(data + at + 2) & 7u;
        const uint32_t id = read32(data + at + 4);
        ++*count;
        switch (tag) {
            case kTagUserObj:
                acl->owner = perms;
                break;
            case kTagGroupObj:
                acl->group = perms;
                break;
            case kTagOther:
                acl->other = perms;
                break;
            case kTagMask:
                acl->mask = perms;
                break;
            case kTagUser:
                acl->users.emplace_back(static_cast<uid_t>(id), perms);
                break;
            case kTagGroup:
                acl->groups.emplace_back(static_cast<gid_t>(id), perms);
                break;
            default:
                return false;
        }
    }
    return true;
}

// The same form written, entries in the order the kernel insists on: owner,
// named users by id, group, named groups by id, mask, other.
std::vector<unsigned char> EncodeAclXattr(const PosixAcl& acl) {
    std::vector<unsigned char> out;
    out.reserve(4 + 8 * (4 + acl.users.size() + acl.groups.size()));
    auto put16 = [&](unsigned v) {
        out.push_back(static_cast<unsigned char>(v));
        out.push_back(static_cast<unsigned char>(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        put16(v & 0xFFFFu);
        put16(v >> 16);
    };
    auto entry = [&](uint16_t tag, unsigned perms, uint32_t id) {
        put16(tag);
        put16(perms & 7u);
        put32(id);
    };
    constexpr uint32_t kNoId = 0xFFFFFFFFu;
    put32(kAclXattrVersion);
    entry(kTagUserObj, acl.owner, kNoId);
    auto users = acl.users;
    std::sort(users.begin(), users.end());
    for (const auto& [uid, perms] : users) entry(kTagUser, perms, uid);
    entry(kTagGroupObj, acl.group, kNoId);
    auto groups = acl.groups;
    std::sort(groups.begin(), groups.end());
    for (const auto& [gid, perms] : groups) entry(kTagGroup, perms, gid);
    if (acl.mask) entry(kTagMask, *acl.mask, kNoId);
    entry(kTagOther, acl.other, kNoId);
    return out;
}

bool AclUnsupported(int error) {
    return error == ENOTSUP || error == ENOSYS;
}

// The POSIX ACL of the given type; the mode bits for the access ACL of a file
// system without ACLs. For the default type an absent ACL gives nullopt.
std::optional<PosixAcl> ReadPosixAcl(const Target& target, acl_type_t type, DWORD* error) {
    *error = ERROR_SUCCESS;
    if (target.symlink || target.noPosixAcls) {
        if (type == ACL_TYPE_DEFAULT) return std::nullopt;
        return PosixAcl::FromMode(target.st.st_mode & 0777);
    }
    if (target.parentFd >= 0) {
        const char* attribute =
            type == ACL_TYPE_ACCESS ? "system.posix_acl_access" : "system.posix_acl_default";
        std::vector<unsigned char> value(4 + 8 * 32);
        ssize_t n = kiln::platform::GetXattrAt(target.parentFd, target.name, attribute,
                                               value.data(), value.size());
        if (n < 0 && errno == ERANGE) {
            n = kiln::platform::GetXattrAt(target.parentFd, target.name, attribute, nullptr, 0);
            if (n > 0) {
                value.resize(static_cast<size_t>(n));
                n = kiln::platform::GetXattrAt(target.parentFd, target.name, attribute,
                                               value.data(), value.size());
            }
        }
        if (n < 0) {
            if (AclUnsupported(errno) || errno == ENODATA) {
                if (type == ACL_TYPE_DEFAULT) return std::nullopt;
                return PosixAcl::FromMode(target.st.st_mode & 0777);
            }
            *error = WindowsErrorFromErrno(errno);
            return std::nullopt;
        }
        PosixAcl parsed;
        int count = 0;
        if (!ParseAclXattr(value.data(), static_cast<size_t>(n), &parsed, &count)) {
            *error = ERROR_INVALID_ACL;
            return std::nullopt;
        }
        if (type == ACL_TYPE_DEFAULT && count == 0) return std::nullopt;
        return parsed;
    }
    AclHandle handle(acl_get_file(target.path.c_str(), type));
    if (!handle.acl) {
        if (AclUnsupported(errno) || errno == ENODATA) {
            if (type == ACL_TYPE_DEFAULT) return std::nullopt;
            return PosixAcl::FromMode(target.st.st_mode & 0777);
        }
        *error = WindowsErrorFromErrno(errno);
        return std::nullopt;
    }
    PosixAcl result;
    acl_entry_t entry;
    int count = 0;
    for (int rc = acl_get_entry(handle.acl, ACL_FIRST_ENTRY, &entry); rc == 1;
         rc = acl_get_entry(handle.acl, ACL_NEXT_ENTRY, &entry)) {
        ++count;
        acl_tag_t tag;
        acl_permset_t permset;
        if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &permset) != 0) continue;
        unsigned perms = (acl_get_perm(permset, ACL_READ) == 1 ? 4 : 0) |
                         (acl_get_perm(permset, ACL_WRITE) == 1 ? 2 : 0) |
                         (acl_get_perm(permset, ACL_EXECUTE) == 1 ? 1 : 0);
        switch (tag) {
            case ACL_USER_OBJ:
                result.owner = perms;
                break;
            case ACL_GROUP_OBJ:
                result.group = perms;
                break;
            case ACL_OTHER:
                result.other = perms;
                break;
            case ACL_MASK:
                result.mask = perms;
                break;
            case ACL_USER:
            case ACL_GROUP: {
                void* qualifier = acl_get_qualifier(entry);
                if (!qualifier) break;
                if (tag == ACL_USER) {
                    result.users.emplace_back(*static_cast<uid_t*>(qualifier), perms);
                } else {
                    result.groups.emplace_back(*static_cast<gid_t*>(qualifier), perms);
                }
                acl_free(qualifier);
                break;
            }
            default:
                break;
        }
    }
    if (type == ACL_TYPE_DEFAULT && count == 0) return std::nullopt;
    return result;
}

bool AddEntry(acl_t* acl, acl_tag_t tag, const void* qualifier, unsigned perms) {
    acl_entry_t entry;
    acl_permset_t permset;
    if (acl_create_entry(acl, &entry) != 0 || acl_set_tag_type(entry, tag) != 0) return false;
    if (qualifier && acl_set_qualifier(entry, qualifier) != 0) return false;
    if (acl_get_permset(entry, &permset) != 0 || acl_clear_perms(permset) != 0) return false;
    if ((perms & 4) && acl_add_perm(permset, ACL_READ) != 0) return false;
    if ((perms & 2) && acl_add_perm(permset, ACL_WRITE) != 0) return false;
    if ((perms & 1) && acl_add_perm(permset, ACL_EXECUTE) != 0) return false;
    return acl_set_permset(entry, permset) == 0;
}

acl_t ToPosix(const PosixAcl& model) {
    acl_t acl = acl_init(static_cast<int>(4 + model.users.size() + model.groups.size()));
    if (!acl) return nullptr;
    bool ok = AddEntry(&acl, ACL_USER_OBJ, nullptr, model.owner) &&
              AddEntry(&acl, ACL_GROUP_OBJ, nullptr, model.group) &&
              AddEntry(&acl, ACL_OTHER, nullptr, model.other);
    for (const auto& [uid, perms] : model.users) ok = ok && AddEntry(&acl, ACL_USER, &uid, perms);
    for (const auto& [gid, perms] : model.groups) ok = ok && AddEntry(&acl, ACL_GROUP, &gid, perms);
    if (model.mask) ok = ok && AddEntry(&acl, ACL_MASK, nullptr, *model.mask);
    if (!ok) {
        acl_free(acl);
        return nullptr;
    }
    return acl;
}

// The stored SACL: ERROR_SUCCESS with an empty result when there is none.
DWORD ReadSacl(const Target& target, Bytes* sacl, bool* isProtected) {
    sacl->clear();
    *isProtected = false;
    Bytes stored(4 + 0xFFFF);
    const std::string path = target.path.empty() ? ProcFdPath(target.fd) : target.path;
    ssize_t n = target.symlink
                    ? lgetxattr(path.c_str(), kSaclAttribute, stored.data(), stored.size())
                    : getxattr(path.c_str(), kSaclAttribute, stored.data(), stored.size());
    if (n < 0) {
        if (errno == ENODATA || errno == ENOTSUP) return ERROR_SUCCESS;
        return WindowsErrorFromErrno(errno);
    }
    // Anything else than what this code writes is not trusted.
    if (n < 12 || stored[0] != kSaclFormat || AclSizeOf(stored.data() + 4) != n - 4 ||
        !ParseAcl(stored.data() + 4, nullptr, nullptr))
        return ERROR_FILE_CORRUPT;
    *isProtected = (stored[1] & kSaclProtected) != 0;
    sacl->assign(stored.begin() + 4, stored.begin() + n);
    return ERROR_SUCCESS;
}

DWORD WriteSacl(const Target& target, const Bytes* sacl, bool isProtected) {
    if (!sacl) {
        int rc = target.symlink ? lremovexattr(target.path.c_str(), kSaclAttribute)
                                : removexattr(target.path.c_str(), kSaclAttribute);
        if (rc != 0 && errno != ENODATA) return WindowsErrorFromErrno(errno);
        return ERROR_SUCCESS;
    }
    Bytes stored{kSaclFormat, static_cast<BYTE>(isProtected ? kSaclProtected : 0), 0, 0};
    stored.insert(stored.end(), sacl->begin(), sacl->end());
    int rc = target.symlink
                 ? lsetxattr(target.path.c_str(), kSaclAttribute, stored.data(), stored.size(), 0)
                 : setxattr(target.path.c_str(), kSaclAttribute, stored.data(), stored.size(), 0);
    if (rc != 0) return errno == ENOTSUP ? ERROR_NOT_SUPPORTED : WindowsErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD Finish(DWORD error) {
    SetLastError(error);
    return error;
}

// The DACL that stands for an object's POSIX ACL (or its mode alone), its
// default ACL where it has one, and its special bits; empty when too large.
Bytes DaclOf(const PosixAcl& access, const PosixAcl* defaults, const Bytes& ownerSid,
             const Bytes& groupSid, bool directory, unsigned mode) {
    AclBuilder builder;
    AppendPosixEntries(&builder, access, ownerSid, groupSid, directory, 0);
    if (defaults)
        AppendPosixEntries(&builder, *defaults, ownerSid, groupSid, false,
                           OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE);
    // Setuid, setgid and sticky have no access right of their own.
    if (mode & 07000) builder.Add(ACCESS_DENIED_ACE_TYPE, 0, 0, NfsModeSid(mode).data());
    return builder.Finish();
}

// The SIDs of an owner and group and the DACLs made for objects of theirs
// whose permissions are the mode bits alone (no named entries, no default
// ACL): such a DACL depends on nothing but the owner, the group, the mode
// and whether the object is a directory, and a listing or a run of stats
// asks for the same few again and again. Per thread; nothing here can go
// stale, as the key is everything the DACL is made from.
class ModeSecurity {
  public:
    Bytes owner, group;
    uid_t uid = 0;
    gid_t gid = 0;

    // The DACL of `mode` (permissions and special bits); empty when it
    // cannot be built.
    const Bytes* ModeDacl(unsigned mode, bool directory) {
        for (const Dacl& dacl : m_dacls)
            if (dacl.used && dacl.mode == mode && dacl.directory == directory) return &dacl.bytes;
        Dacl& slot = m_dacls[m_next++ % std::size(m_dacls)];
        slot =
            Dacl{true, mode, directory,
                 DaclOf(PosixAcl::FromMode(mode & 0777), nullptr, owner, group, directory, mode)};
        return &slot.bytes;
    }
    void Reset(uid_t newUid, gid_t newGid) {
        uid = newUid;
        gid = newGid;
        owner = UnixUserSid(newUid);
        group = UnixGroupSid(newGid);
        for (Dacl& dacl : m_dacls) dacl.used = false;
    }

  private:
    struct Dacl {
        bool used = false;
        unsigned mode = 0;
        bool directory = false;
        Bytes bytes;
    };
    Dacl m_dacls[4];
    unsigned m_next = 0;
};

ModeSecurity& ModeSecurityOf(uid_t uid, gid_t gid) {
    thread_local ModeSecurity kept[4];
    thread_local unsigned next = 0;
    for (ModeSecurity& entry : kept)
        if (!entry.owner.empty() && entry.uid == uid && entry.gid == gid) return entry;
    ModeSecurity& slot = kept[next++ % std::size(kept)];
    slot.Reset(uid, gid);
    return slot;
}

DWORD ReadSecurity(const kiln::platform::FileObject* file, int fd, SECURITY_INFORMATION info,
                   PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                   PSECURITY_DESCRIPTOR* descriptor) {
    if (owner) *owner = nullptr;
    if (group) *group = nullptr;
    if (dacl) *dacl = nullptr;
    if (sacl) *sacl = nullptr;
    if (!descriptor) return ERROR_INVALID_PARAMETER;
    *descriptor = nullptr;
    Target target;
    if (DWORD error = file ? DescribeFile(*file, &target) : Describe(fd, &target)) return error;

    ModeSecurity& kept = ModeSecurityOf(target.st.st_uid, target.st.st_gid);
    const Bytes& ownerSid = kept.owner;
    const Bytes& groupSid = kept.group;
    DescriptorParts parts;
    Bytes saclBytes;
    if (info & OWNER_SECURITY_INFORMATION) parts.owner = &ownerSid;
    if (info & GROUP_SECURITY_INFORMATION) parts.group = &groupSid;
    if (info & DACL_SECURITY_INFORMATION) {
        DWORD error;
        auto access = ReadPosixAcl(target, ACL_TYPE_ACCESS, &error);
        if (!access) return error;
        std::optional<PosixAcl> defaults;
        if (target.directory) {
            defaults = ReadPosixAcl(target, ACL_TYPE_DEFAULT, &error);
            if (error) return error;
        }
        const bool modeAlone = !defaults && !access->HasNamedEntries() && !access->mask;
        thread_local Bytes built;
        const Bytes* dacl = nullptr;
        if (modeAlone) {
            dacl = kept.ModeDacl((target.st.st_mode & 07000) | access->Mode(), target.directory);
        } else {
            built = DaclOf(*access, defaults ? &*defaults : nullptr, ownerSid, groupSid,
                           target.directory, target.st.st_mode);
            dacl = &built;
        }
        if (dacl->empty()) return ERROR_INVALID_ACL;
        parts.dacl = dacl;
        parts.daclPresent = true;
        parts.control |= SE_DACL_PROTECTED;
    }
    if (info & SACL_SECURITY_INFORMATION) {
        if (!SecurityPrivilegeEnabled()) return ERROR_PRIVILEGE_NOT_HELD;
        bool isProtected = false;
        if (DWORD error = ReadSacl(target, &saclBytes, &isProtected)) return error;
        parts.sacl = &saclBytes;
        parts.saclPresent = true;
        if (isProtected) parts.control |= SE_SACL_PROTECTED;
    }
    PSECURITY_DESCRIPTOR sd = MakeSelfRelativeDescriptor(parts);
    if (!sd) return ERROR_NOT_ENOUGH_MEMORY;
    BOOL present, defaulted;
    if (owner) GetSecurityDescriptorOwner(sd, owner, &defaulted);
    if (group) GetSecurityDescriptorGroup(sd, group, &defaulted);
    if (dacl) GetSecurityDescriptorDacl(sd, &present, dacl, &defaulted);
    if (sacl) GetSecurityDescriptorSacl(sd, &present, sacl, &defaulted);
    *descriptor = sd;
    return ERROR_SUCCESS;
}

// The parts of a descriptor that a new object is given.
struct DescriptorFields {
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE;
    PACL sacl = nullptr;
    BOOL saclPresent = FALSE;

    bool Read(PSECURITY_DESCRIPTOR sd) {
        BOOL defaulted = FALSE;
        return GetSecurityDescriptorOwner(sd, &owner, &defaulted) &&
               GetSecurityDescriptorGroup(sd, &group, &defaulted) &&
               GetSecurityDescriptorDacl(sd, &daclPresent, &dacl, &defaulted) &&
               GetSecurityDescriptorSacl(sd, &saclPresent, &sacl, &defaulted);
    }
};

// What a SetSecurityInfo call changes, checked before anything is written.
struct Change {
    std::optional<uid_t> owner;
    std::optional<gid_t> group;
    bool dacl = false;
    bool nullDacl = false;
    std::vector<AceView> daclEntries;
    std::optional<unsigned> special;  // setuid, setgid, sticky from an NFS mode entry
    // Who the DACL's owner and group entries name when neither is changed:
    // the creator for a new object, the current owner and group otherwise.
    std::optional<uid_t> daclOwner;
    std::optional<gid_t> daclGroup;
    unsigned keepSpecial = 0;  // bits the kernel gave a new object (setgid of a directory)
    // A new object, which its creator removes if the change fails: nothing
    // of what it had needs putting back.
    bool newObject = false;
    bool sacl = false;
    std::optional<Bytes> saclBytes;  // none: remove the SACL
    std::optional<bool> saclProtected;
};

DWORD CheckChange(SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl,
                  Change* change) {
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!owner) return ERROR_INVALID_PARAMETER;
        if (!SidHeaderValid(owner)) return ERROR_INVALID_SID;
        change->owner = UidOfSid(owner);
        if (!change->owner) return ERROR_INVALID_OWNER;
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        if (!group) return ERROR_INVALID_PARAMETER;
        if (!SidHeaderValid(group)) return ERROR_INVALID_SID;
        change->group = GidOfSid(group);
        if (!change->group) return ERROR_INVALID_PRIMARY_GROUP;
    }
    if (info & DACL_SECURITY_INFORMATION) {
        change->dacl = true;
        change->nullDacl = dacl == nullptr;
        if (dacl && !ParseAcl(dacl, &change->daclEntries, nullptr)) return ERROR_INVALID_ACL;
        for (const AceView& entry : change->daclEntries)
            if (auto mode = entry.sid ? ModeOfNfsSid(entry.sid) : std::nullopt)
                change->special = *mode & 07000;
    }
    if (info & SACL_SECURITY_INFORMATION) {
        if (!SecurityPrivilegeEnabled()) return ERROR_PRIVILEGE_NOT_HELD;
        change->sacl = true;
        if (sacl) {
            DWORD used = 0;
            if (!ParseAcl(sacl, nullptr, &used)) return ERROR_INVALID_ACL;
            // Kept as it is, with its size trimmed to the entries.
            const BYTE* p = reinterpret_cast<const BYTE*>(sacl);
            Bytes copy(p, p + used);
            WORD size = static_cast<WORD>(used);
            std::memcpy(copy.data() + 2, &size, 2);
            change->saclBytes = std::move(copy);
        }
        if (info & PROTECTED_SACL_SECURITY_INFORMATION) change->saclProtected = true;
        if (info & UNPROTECTED_SACL_SECURITY_INFORMATION) change->saclProtected = false;
    }
    return ERROR_SUCCESS;
}

DWORD ApplyPosixAcl(const Target& target, acl_type_t type, const PosixAcl* model) {
    if (!model) {
        if (acl_delete_def_file(target.path.c_str()) != 0 && errno != ENODATA &&
            !AclUnsupported(errno))
            return WindowsErrorFromErrno(errno);
        return ERROR_SUCCESS;
    }
    // A new file's own descriptor takes the ACL directly; any other goes
    // through its /proc name, since an O_PATH descriptor refuses it.
    const bool direct = type == ACL_TYPE_ACCESS && target.dataFd;
    if (direct) {
        const std::vector<unsigned char> value = EncodeAclXattr(*model);
        if (fsetxattr(target.fd, "system.posix_acl_access", value.data(), value.size(), 0) == 0)
            return ERROR_SUCCESS;
    } else {
        AclHandle acl(ToPosix(*model));
        if (!acl.acl) return ERROR_NOT_ENOUGH_MEMORY;
        if (acl_set_file(target.path.c_str(), type, acl.acl) == 0) return ERROR_SUCCESS;
    }
    int error = errno;
    if (AclUnsupported(error) && type == ACL_TYPE_ACCESS && !model->HasNamedEntries()) {
        // Without ACL support the mode bits still carry the permissions.
        mode_t mode = (target.st.st_mode & 07000) | model->Mode();
        if ((direct ? fchmod(target.fd, mode) : chmod(target.path.c_str(), mode)) == 0)
            return ERROR_SUCCESS;
        error = errno;
    }
    if (AclUnsupported(error)) return ERROR_NOT_SUPPORTED;
    return error == EPERM ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(error);
}

// What the file had before a change, to put back when a later step fails.
struct Previous {
    std::optional<PosixAcl> access;
    std::optional<PosixAcl> defaults;
    bool daclSaved = false;
    Bytes sacl;
    bool saclProtected = false;
    bool saclSaved = false;
};

void Restore(const Target& target, const Previous& previous) {
    if (previous.daclSaved && previous.access) {
        ApplyPosixAcl(target, ACL_TYPE_ACCESS, &*previous.access);
        if (target.directory)
            ApplyPosixAcl(target, ACL_TYPE_DEFAULT,
                          previous.defaults ? &*previous.defaults : nullptr);
    }
    if (previous.saclSaved)
        WriteSacl(target, previous.sacl.empty() ? nullptr : &previous.sacl, previous.saclProtected);
}

// Sets setuid, setgid and sticky as asked, and checks that they hold: the
// kernel silently drops setgid for a group the caller is not a member of.
DWORD ApplySpecialBits(const Target& target, unsigned special) {
    struct stat st;
    if (stat(target.path.c_str(), &st) != 0) return WindowsErrorFromErrno(errno);
    if ((st.st_mode & 07000) == special) return ERROR_SUCCESS;
    if (chmod(target.path.c_str(), (st.st_mode & 0777) | special) != 0)
        return errno == EPERM ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(errno);
    if (stat(target.path.c_str(), &st) != 0) return WindowsErrorFromErrno(errno);
    return (st.st_mode & 07000) == special ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD ApplyChange(const Target& target, const Change& change) {
    const int fd = target.fd;
    if (change.dacl && target.symlink) return ERROR_NOT_SUPPORTED;

    Previous previous;
    // The DACL first, while this process may still own the file; the owner
    // entry already describes the new owner.
    if (change.dacl) {
        DWORD error = ERROR_SUCCESS;
        if (!change.newObject) {
            previous.access = ReadPosixAcl(target, ACL_TYPE_ACCESS, &error);
            if (!previous.access) return error;
            if (target.directory) {
                previous.defaults = ReadPosixAcl(target, ACL_TYPE_DEFAULT, &error);
                if (error) return error;
            }
            previous.daclSaved = true;
        }
        uid_t newOwner = change.owner.value_or(change.daclOwner.value_or(target.st.st_uid));
        gid_t newGroup = change.group.value_or(change.daclGroup.value_or(target.st.st_gid));
        PosixFromDacl wanted;
        if (change.nullDacl) {
            wanted.access = PosixAcl::FromMode(0777);
        } else {
            wanted = TranslateDacl(change.daclEntries, newOwner, newGroup, target.directory);
        }
        if ((error = ApplyPosixAcl(target, ACL_TYPE_ACCESS, &wanted.access))) return error;
        if (target.directory) {
            error = ApplyPosixAcl(target, ACL_TYPE_DEFAULT,
                                  wanted.defaults ? &*wanted.defaults : nullptr);
            if (error) {
                Restore(target, previous);
                return error;
            }
        }
    }
    if (change.sacl) {
        bool wasProtected = false;
        if (DWORD error = ReadSacl(target, &previous.sacl, &wasProtected);
            error && error != ERROR_FILE_CORRUPT) {
            Restore(target, previous);
            return error;
        }
        previous.saclProtected = wasProtected;
        previous.saclSaved = true;
        bool isProtected = change.saclProtected.value_or(wasProtected);
        if (DWORD error =
                WriteSacl(target, change.saclBytes ? &*change.saclBytes : nullptr, isProtected)) {
            Restore(target, previous);
            return error;
        }
    }
    if (change.owner || change.group) {
        uid_t uid = change.owner.value_or(static_cast<uid_t>(-1));
        gid_t gid = change.group.value_or(static_cast<gid_t>(-1));
        if (fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            int error = errno;
            Restore(target, previous);
            if (error != EPERM) return WindowsErrorFromErrno(error);
            // Windows refuses an owner or group that the caller may not
            // assign with these codes; a caller who does not own the file
            // lacks the right to change it at all.
            if (kiln::platform::ScopeCallerIdentity().uid != target.st.st_uid)
                return ERROR_ACCESS_DENIED;
            if (change.owner && *change.owner != target.st.st_uid) return ERROR_INVALID_OWNER;
            return ERROR_INVALID_PRIMARY_GROUP;
        }
    }
    // Last, since a change of owner clears setuid and setgid. Neither an ACL
    // nor an owner ever adds one of them, so an object that had none keeps
    // none without a look.
    const unsigned wantedSpecial = change.special.value_or(0) | change.keepSpecial;
    if (change.dacl && (change.special || change.keepSpecial) &&
        (wantedSpecial != 0 || (target.st.st_mode & 07000) != 0)) {
        if (DWORD error =
                ApplySpecialBits(target, change.special.value_or(0) | change.keepSpecial)) {
            Restore(target, previous);
            return error;
        }
    }
    return ERROR_SUCCESS;
}

DWORD WriteSecurity(int fd, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                    PACL sacl) {
    Change change;
    if (DWORD error = CheckChange(info, owner, group, dacl, sacl, &change)) return error;
    Target target;
    if (DWORD error = Describe(fd, &target)) return error;
    return ApplyChange(target, change);
}

// withoutFd: the caller answers from the handle's stat or name where it can
// (DescribeFile), and needs no descriptor before that.
std::shared_ptr<kiln::platform::FileObject> FileOf(HANDLE handle, ACCESS_MASK needed, DWORD* error,
                                                   bool withoutFd = false) {
    auto file = withoutFd ? kiln::platform::LookupFileWithoutFd(handle)
                          : kiln::platform::LookupFile(handle);
    if (!file) {
        *error =
            GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((file->GrantedAccess() & needed) != needed) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return file;
}

ACCESS_MASK ReadAccessFor(SECURITY_INFORMATION info) {
    ACCESS_MASK needed = 0;
    if (info &
        (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
        needed |= READ_CONTROL;
    if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    return needed;
}

ACCESS_MASK WriteAccessFor(SECURITY_INFORMATION info) {
    ACCESS_MASK needed = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) needed |= WRITE_OWNER;
    if (info & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    return needed;
}

}  // namespace

namespace kiln::platform::security {

DWORD ModeOnlyDescriptor(uid_t uid, gid_t gid, unsigned mode, bool directory,
                         SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR* sd) {
    ModeSecurity& kept = ModeSecurityOf(uid, gid);
    DescriptorParts parts;
    if (info & OWNER_SECURITY_INFORMATION) parts.owner = &kept.owner;
    if (info & GROUP_SECURITY_INFORMATION) parts.group = &kept.group;
    if (info & DACL_SECURITY_INFORMATION) {
        parts.dacl = kept.ModeDacl(mode & 07777, directory);
        if (parts.dacl->empty()) return ERROR_INVALID_ACL;
        parts.daclPresent = true;
        parts.control |= SE_DACL_PROTECTED;
    }
    *sd = MakeSelfRelativeDescriptor(parts);
    return *sd ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

std::optional<unsigned> PlainModeOf(PSECURITY_DESCRIPTOR sd) {
    if (!sd || !IsValidSecurityDescriptor(sd)) return std::nullopt;
    DescriptorFields f;
    if (!f.Read(sd)) return std::nullopt;
    const auto [owner, group, dacl, daclPresent, sacl, saclPresent] = f;
    if (saclPresent || !daclPresent || !dacl) return std::nullopt;
    const kiln::platform::CallerIdentity creator = kiln::platform::ScopeCallerIdentity();
    if (owner && UidOfSid(owner) != creator.uid) return std::nullopt;
    if (group && GidOfSid(group) != creator.gid) return std::nullopt;
    std::vector<AceView> entries;
    if (!ParseAcl(dacl, &entries, nullptr)) return std::nullopt;
    for (const AceView& entry : entries) {
        const auto mode = entry.sid ? ModeOfNfsSid(entry.sid) : std::nullopt;
        if (mode && (*mode & 07000)) return std::nullopt;  // setuid, setgid, sticky
    }
    const PosixFromDacl wanted = TranslateDacl(entries, creator.uid, creator.gid, false);
    if (wanted.access.HasNamedEntries() || wanted.access.mask) return std::nullopt;
    return wanted.access.Mode();
}

bool DescriptorHasDacl(PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    return sd && GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present;
}

DWORD ApplyNewObjectSecurity(int fd, PSECURITY_DESCRIPTOR sd, const struct statx* created) {
    if (!sd) return ERROR_SUCCESS;
    if (!IsValidSecurityDescriptor(sd)) return ERROR_INVALID_SECURITY_DESCR;
    DescriptorFields f;
    if (!f.Read(sd)) return ERROR_INVALID_SECURITY_DESCR;
    const auto [owner, group, dacl, daclPresent, sacl, saclPresent] = f;
    SECURITY_INFORMATION info = 0;
    if (owner) info |= OWNER_SECURITY_INFORMATION;
    if (group) info |= GROUP_SECURITY_INFORMATION;
    if (daclPresent) info |= DACL_SECURITY_INFORMATION;
    if (saclPresent) info |= SACL_SECURITY_INFORMATION;
    if (info == 0) return ERROR_SUCCESS;
    Change change;
    if (DWORD error = CheckChange(info, owner, group, dacl, sacl, &change)) return error;
    Target target;
    if (created) {
        // Only the owner, group and mode are read, and nothing but its
        // creator has changed them yet.
        target.fd = fd;
        target.st.st_mode = created->stx_mode;
        target.st.st_uid = created->stx_uid;
        target.st.st_gid = created->stx_gid;
        target.path = ProcFdPath(fd);
        target.symlink = S_ISLNK(created->stx_mode);
        target.directory = S_ISDIR(created->stx_mode);
        target.dataFd = !target.directory && !target.symlink;
    } else if (DWORD error = Describe(fd, &target)) {
        return error;
    }
    // As on Windows, a descriptor without owner or group leaves the creator's.
    const kiln::platform::CallerIdentity creator = kiln::platform::ScopeCallerIdentity();
    change.daclOwner = creator.uid;
    change.daclGroup = creator.gid;
    change.newObject = true;
    if (target.directory) change.keepSpecial = target.st.st_mode & S_ISGID;
    return ApplyChange(target, change);
}

}  // namespace kiln::platform::security

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                      PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                      PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    if (ObjectType != SE_FILE_OBJECT) return Finish(ERROR_NOT_SUPPORTED);
    DWORD error = ERROR_SUCCESS;
    // The SACL is read through the descriptor.
    auto file = FileOf(handle, ReadAccessFor(SecurityInfo), &error,
                       !(SecurityInfo & SACL_SECURITY_INFORMATION));
    if (!file) return Finish(error);
    return Finish(ReadSecurity(file.get(), file->Fd(), SecurityInfo, ppsidOwner, ppsidGroup, ppDacl,
                               ppSacl, ppSecurityDescriptor));
}

DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                            PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    if (ObjectType != SE_FILE_OBJECT) return Finish(ERROR_NOT_SUPPORTED);
    if (!pObjectName) return Finish(ERROR_INVALID_PARAMETER);
    // A listing asks for each entry it has just found: that one is answered
    // from what the search read, or opened in the directory the search holds.
    if (DWORD found;
        kiln::platform::FoundEntrySecurity(pObjectName, SecurityInfo, ppsidOwner, ppsidGroup,
                                           ppDacl, ppSecurityDescriptor, &found)) {
        if (ppSacl) *ppSacl = nullptr;
        return Finish(found);
    }
    int fd = kiln::platform::OpenFoundEntry(pObjectName);
    if (fd < 0) fd = kiln::platform::OpenPathConfined(pObjectName, true);
    if (fd < 0) return Finish(GetLastError());
    DWORD error = ReadSecurity(nullptr, fd, SecurityInfo, ppsidOwner, ppsidGroup, ppDacl, ppSacl,
                               ppSecurityDescriptor);
    close(fd);
    return Finish(error);
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                      PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl) {
    kiln::platform::ChangesNamesOrSecurity mark;
    if (ObjectType != SE_FILE_OBJECT) return Finish(ERROR_NOT_SUPPORTED);
    DWORD error = ERROR_SUCCESS;
    auto file = FileOf(handle, WriteAccessFor(SecurityInfo), &error);
    if (!file) return Finish(error);
    file->ForgetOpenStat();
    return Finish(WriteSecurity(file->Fd(), SecurityInfo, psidOwner, psidGroup, pDacl, pSacl));
}

DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID psidGroup,
                            PACL pDacl, PACL pSacl) {
    kiln::platform::ChangesNamesOrSecurity mark;
    if (ObjectType != SE_FILE_OBJECT) return Finish(ERROR_NOT_SUPPORTED);
    if (!pObjectName) return Finish(ERROR_INVALID_PARAMETER);
    int fd = kiln::platform::OpenPathConfined(pObjectName, true);
    if (fd < 0) return Finish(GetLastError());
    DWORD error = WriteSecurity(fd, SecurityInfo, psidOwner, psidGroup, pDacl, pSacl);
    close(fd);
    return Finish(error);
}
