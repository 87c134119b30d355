// POSIX permissions <-> DACL; see the header for the rules.
#include "platform/posix/security/posix_acl.h"

#include <algorithm>

namespace kiln::platform::security {

PosixAcl PosixAcl::FromMode(unsigned mode) {
    PosixAcl acl;
    acl.owner = (mode >> 6) & 7;
    acl.group = (mode >> 3) & 7;
    acl.other = mode & 7;
    return acl;
}

unsigned PosixAcl::Mode() const {
    return owner << 6 | mask.value_or(group) << 3 | other;
}

ACCESS_MASK RightsOfPerms(unsigned rwx, bool directory) {
    ACCESS_MASK rights = 0;
    if (rwx & 4) rights |= kReadRights;
    // Write permission on a directory lets its entries be removed.
    if (rwx & 2) rights |= kWriteRights | (directory ? FILE_DELETE_CHILD : 0);
    if (rwx & 1) rights |= kExecuteRights;
    return rights;
}

unsigned PermsOfRights(ACCESS_MASK rights) {
    unsigned rwx = 0;
    if ((rights & kReadRights) == kReadRights) rwx |= 4;
    if ((rights & kWriteTest) == kWriteTest) rwx |= 2;
    if ((rights & kExecuteRights) == kExecuteRights) rwx |= 1;
    return rwx;
}

void AppendPosixEntries(AclBuilder* builder, const PosixAcl& acl, const Bytes& ownerSid,
                        const Bytes& groupSid, bool directory, BYTE inheritFlags) {
    const bool inheritable = inheritFlags != 0;
    const Bytes& owner = inheritable ? CreatorOwnerSid() : ownerSid;
    const Bytes& group = inheritable ? CreatorGroupSid() : groupSid;
    const unsigned mask = acl.mask.value_or(7);
    // SYNCHRONIZE is shared by all three groups and never denied.
    const ACCESS_MASK everything = RightsOfPerms(7, directory) & ~SYNCHRONIZE;

    struct Grant {
        Bytes sid;
        ACCESS_MASK allow;
    };
    std::vector<Grant> users, groups;
    for (const auto& [uid, perms] : acl.users) {
        Bytes sid = UnixUserSid(uid);
        if (!inheritable && sid == owner) continue;  // POSIX ignores it for the owner
        users.push_back({std::move(sid), RightsOfPerms(perms & mask, directory)});
    }
    groups.push_back({group, RightsOfPerms(acl.group & mask, directory)});
    for (const auto& [gid, perms] : acl.groups)
        groups.push_back({UnixGroupSid(gid), RightsOfPerms(perms & mask, directory)});
    const ACCESS_MASK otherAllow = RightsOfPerms(acl.other, directory);
    ACCESS_MASK later = otherAllow;
    for (const Grant& grant : groups) later |= grant.allow;

    auto exclusive = [&](const Bytes& sid, ACCESS_MASK allow) {
        ACCESS_MASK deny = everything & ~allow;
        if (deny & later) builder->Add(ACCESS_DENIED_ACE_TYPE, inheritFlags, deny, sid.data());
        if (allow) builder->Add(ACCESS_ALLOWED_ACE_TYPE, inheritFlags, allow, sid.data());
    };
    exclusive(owner, RightsOfPerms(acl.owner, directory) | kOwnerOnlyRights);
    for (const Grant& grant : users) exclusive(grant.sid, grant.allow);
    for (const Grant& grant : groups)
        if (grant.allow)
            builder->Add(ACCESS_ALLOWED_ACE_TYPE, inheritFlags, grant.allow, grant.sid.data());
    for (const Grant& grant : groups) {
        ACCESS_MASK deny = everything & ~grant.allow;
        if (deny & otherAllow)
            builder->Add(ACCESS_DENIED_ACE_TYPE, inheritFlags, deny, grant.sid.data());
    }
    if (otherAllow)
        builder->Add(ACCESS_ALLOWED_ACE_TYPE, inheritFlags, otherAllow, WorldSid().data());
}

namespace {

constexpr BYTE kInheritable = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The POSIX ACL that a list of entries grants, with ownerSid and groupSid
// standing for the owner and group entries. Unix SIDs other than those become
// named entries.
PosixAcl Translate(const std::vector<AceView>& entries, const Bytes& ownerSid,
                   const Bytes& groupSid) {
    const RightsOptions options{true};
    auto perms = [&](const Bytes& sid) {
        return PermsOfRights(EvaluateRights(entries, {sid, WorldSid()}, options));
    };
    PosixAcl acl;
    acl.owner = perms(ownerSid);
    acl.group = perms(groupSid);
    acl.other = PermsOfRights(EvaluateRights(entries, {WorldSid()}, options));
    for (const AceView& entry : entries) {
        if (!entry.sid || (entry.flags & INHERIT_ONLY_ACE)) continue;
        if (entry.type != ACCESS_ALLOWED_ACE_TYPE && entry.type != ACCESS_DENIED_ACE_TYPE) continue;
        Bytes sid = CopySidBytes(entry.sid);
        if (sid == ownerSid || sid == groupSid) continue;
        if (auto uid = UidOfSid(entry.sid)) {
            bool seen = std::any_of(acl.users.begin(), acl.users.end(),
                                    [&](const auto& user) { return user.first == *uid; });
            if (!seen) acl.users.emplace_back(*uid, perms(sid));
        } else if (auto gid = GidOfSid(entry.sid)) {
            bool seen = std::any_of(acl.groups.begin(), acl.groups.end(),
                                    [&](const auto& group) { return group.first == *gid; });
            if (!seen) acl.groups.emplace_back(*gid, perms(sid));
        }
    }
    if (acl.HasNamedEntries()) {
        unsigned mask = acl.group;
        for (const auto& user : acl.users) mask |= user.second;
        for (const auto& group : acl.groups) mask |= group.second;
        acl.mask = mask;
    }
    return acl;
}

}  // namespace

PosixFromDacl TranslateDacl(const std::vector<AceView>& entries, uid_t owner, gid_t group,
                            bool directory) {
    PosixFromDacl result;
    result.access = Translate(entries, UnixUserSid(owner), UnixGroupSid(group));
    if (directory) {
        std::vector<AceView> inheritable;
        for (AceView entry : entries) {
            if (!(entry.flags & kInheritable)) continue;
            entry.flags &= static_cast<BYTE>(~INHERIT_ONLY_ACE);
            inheritable.push_back(entry);
        }
        if (!inheritable.empty())
            result.defaults = Translate(inheritable, CreatorOwnerSid(), CreatorGroupSid());
    }
    return result;
}

}  // namespace kiln::platform::security
