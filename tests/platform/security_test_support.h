// Helpers of the security tests: SIDs and ACLs in plain buffers, and running
// a piece of a test as the unprivileged user nobody/nogroup.
#pragma once

#ifndef _WIN32
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "last_error.h"
#include "platform/win32.h"

namespace kiln::test {

using SidBuffer = std::vector<BYTE>;

inline SidBuffer Sid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    SidBuffer sid(GetSidLengthRequired(static_cast<UCHAR>(subAuthorities.size())));
    SID_IDENTIFIER_AUTHORITY value{{0, 0, 0, 0, 0, authority}};
    InitializeSid(sid.data(), &value, static_cast<BYTE>(subAuthorities.size()));
    DWORD i = 0;
    for (DWORD sub : subAuthorities) *GetSidSubAuthority(sid.data(), i++) = sub;
    return sid;
}

inline SidBuffer UserSid(DWORD uid) {
    return Sid(22, {1, uid});
}
inline SidBuffer GroupSid(DWORD gid) {
    return Sid(22, {2, gid});
}
inline SidBuffer World() {
    return Sid(1, {0});
}

constexpr DWORD kNobody = 65534;
constexpr DWORD kNogroup = 65534;
constexpr DWORD kUsersGroup = 100;

struct Ace {
    BYTE type;
    BYTE flags;
    DWORD mask;
    SidBuffer sid;
};

// An ACL with the entries in order, in a buffer of exactly its size.
inline std::vector<BYTE> MakeAcl(const std::vector<Ace>& entries) {
    DWORD size = sizeof(ACL);
    for (const Ace& ace : entries) size += 8 + static_cast<DWORD>(ace.sid.size());
    std::vector<BYTE> acl(size);
    InitializeAcl(reinterpret_cast<PACL>(acl.data()), size, ACL_REVISION);
    for (const Ace& ace : entries) {
        auto* p = reinterpret_cast<PACL>(acl.data());
        PSID sid = const_cast<BYTE*>(ace.sid.data());
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE)
            AddAccessAllowedAceEx(p, ACL_REVISION, ace.flags, ace.mask, sid);
        else if (ace.type == ACCESS_DENIED_ACE_TYPE)
            AddAccessDeniedAceEx(p, ACL_REVISION, ace.flags, ace.mask, sid);
        else
            AddAuditAccessAceEx(p, ACL_REVISION, ace.flags, ace.mask, sid, TRUE, FALSE);
    }
    return acl;
}

inline ACCESS_MASK EffectiveRights(const void* acl, const SidBuffer& sid, DWORD* error = nullptr) {
    TRUSTEE_W trustee{};
    trustee.TrusteeForm = TRUSTEE_IS_SID;
    trustee.ptstrName = reinterpret_cast<LPWSTR>(const_cast<BYTE*>(sid.data()));
    ACCESS_MASK rights = 0xDEADBEEF;
    DWORD rc =
        GetEffectiveRightsFromAclW(static_cast<PACL>(const_cast<void*>(acl)), &trustee, &rights);
    if (error) *error = rc;
    return rights;
}

// What a file's DACL grants for r, w and x (w: the data and extended
// attributes; the attribute, DAC and owner rights are the owner's alone).
constexpr ACCESS_MASK kReadRights = 0x00120089, kWriteRights = 0x00100016,
                      kExecuteRights = 0x00100020;
constexpr ACCESS_MASK kOwnerOnly = FILE_WRITE_ATTRIBUTES | WRITE_DAC | WRITE_OWNER;

inline ACCESS_MASK RightsOf(unsigned rwx) {
    return (rwx & 4 ? kReadRights : 0) | (rwx & 2 ? kWriteRights : 0) |
           (rwx & 1 ? kExecuteRights : 0);
}

// The DACL that the provider builds from POSIX permissions: owner and group
// denials where Windows' order would otherwise grant more, then the
// allowances of owner, group and Everyone; with setuid, setgid or sticky in
// the mode (or when asked), the NFS mode entry S-1-5-88-3-<mode> that denies
// nothing.
inline std::vector<BYTE> DaclFromPermissions(unsigned mode, const SidBuffer& owner,
                                             const SidBuffer& group, bool modeEntry = false) {
    ACCESS_MASK ownerAllow = RightsOf(mode >> 6 & 7) | WRITE_DAC | WRITE_OWNER;
    ACCESS_MASK ownerDeny = RightsOf(~(mode >> 6) & 7) & ~SYNCHRONIZE;
    ACCESS_MASK groupAllow = RightsOf(mode >> 3 & 7);
    ACCESS_MASK groupDeny = RightsOf(~(mode >> 3) & 7) & ~SYNCHRONIZE;
    ACCESS_MASK other = RightsOf(mode & 7);
    std::vector<Ace> entries;
    if (ownerDeny && (groupAllow || other) &&
        (other & groupAllow & ownerAllow) != (other | groupAllow) &&
        (other || (groupAllow & ownerAllow) != groupAllow))
        entries.push_back({ACCESS_DENIED_ACE_TYPE, 0, ownerDeny, owner});
    if (groupDeny && other && (other & groupAllow) != other)
        entries.push_back({ACCESS_DENIED_ACE_TYPE, 0, groupDeny, group});
    entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, ownerAllow, owner});
    if (groupAllow) entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, groupAllow, group});
    if (other) entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, other, World()});
    if ((mode & 07000) || modeEntry)
        entries.push_back({ACCESS_DENIED_ACE_TYPE, 0, 0, Sid(5, {88, 3, mode})});
    return MakeAcl(entries);
}

#ifndef _WIN32
// Runs body in a child process, as nobody/nogroup without supplementary
// groups or capabilities when asked; gives the child's exit code (body's
// result), or -1 when the child could not drop privileges or died.
inline int InChild(const std::function<int()>& body, bool asNobody = false) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (asNobody &&
            (setgroups(0, nullptr) != 0 || setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
             setresuid(kNobody, kNobody, kNobody) != 0))
            _exit(250);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 250 ? -1 : WEXITSTATUS(status);
}

inline int RunAsNobody(const std::function<int()>& body) {
    return InChild(body, true);
}

// Whether the calling thread has the capability in its effective set.
inline bool EffectiveCap(int cap) {
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> cap) & 1;
    }
    return false;
}
#endif

}  // namespace kiln::test
