// The translation between POSIX permissions and DACLs, without files.
#include <gtest/gtest.h>

#include "platform/posix/security/posix_acl.h"
#include "security_test_support.h"

namespace kiln::platform::security {
namespace {

using kiln::test::kNobody;
using kiln::test::kUsersGroup;

struct Entry {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    Bytes sid;
    bool operator==(const Entry&) const = default;
};

std::vector<Entry> EntriesOf(const PosixAcl& acl, uid_t owner, gid_t group, bool directory,
                             BYTE inherit = 0) {
    AclBuilder builder;
    AppendPosixEntries(&builder, acl, UnixUserSid(owner), UnixGroupSid(group), directory, inherit);
    Bytes bytes = builder.Finish();
    std::vector<AceView> views;
    EXPECT_TRUE(ParseAcl(bytes.data(), &views, nullptr));
    std::vector<Entry> entries;
    for (const AceView& view : views)
        entries.push_back({view.type, view.flags, view.mask, CopySidBytes(view.sid)});
    return entries;
}

TEST(SecurityPosixAcl, ModeDaclsHaveTheExpectedEntries) {
    const Bytes owner = UnixUserSid(kNobody), group = UnixGroupSid(kUsersGroup);
    const ACCESS_MASK ownerExtra = kiln::test::kOwnerOnly;
    const ACCESS_MASK denyAll = 0x000200BF;  // r, w and x without SYNCHRONIZE
    struct Case {
        unsigned mode;
        std::vector<Entry> expected;
    };
    const Case cases[] = {
        // Others hold no more than the group, so nobody needs a denial.
        {0644,
         {{0, 0, kReadRights | kWriteRights | ownerExtra, owner},
          {0, 0, kReadRights, group},
          {0, 0, kReadRights, WorldSid()}}},
        // Others may read while the group may not.
        {0604,
         {{0, 0, kReadRights | kWriteRights | ownerExtra, owner},
          {1, 0, denyAll, group},
          {0, 0, kReadRights, WorldSid()}}},
        {0000, {{0, 0, ownerExtra, owner}}},
        // The owner is denied what the group may do and the owner may not.
        {0070,
         {{1, 0, denyAll, owner},
          {0, 0, ownerExtra, owner},
          {0, 0, kReadRights | kWriteRights | kExecuteRights, group}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(EntriesOf(PosixAcl::FromMode(c.mode), kNobody, kUsersGroup, false), c.expected);
    }
}

TEST(SecurityPosixAcl, EveryModeTranslatesBackToItself) {
    for (bool directory : {false, true}) {
        for (unsigned mode = 0; mode < 01000; ++mode) {
            AclBuilder builder;
            AppendPosixEntries(&builder, PosixAcl::FromMode(mode), UnixUserSid(kNobody),
                               UnixGroupSid(kUsersGroup), directory, 0);
            Bytes bytes = builder.Finish();
            std::vector<AceView> views;
            ASSERT_TRUE(ParseAcl(bytes.data(), &views, nullptr));
            PosixFromDacl back = TranslateDacl(views, kNobody, kUsersGroup, directory);
            ASSERT_EQ(back.access.Mode(), mode) << std::oct << mode;
            EXPECT_FALSE(back.access.HasNamedEntries());
            EXPECT_FALSE(back.defaults.has_value());
        }
    }
}

TEST(SecurityPosixAcl, NamedEntriesAndDefaultsTranslateBack) {
    PosixAcl access;
    access.owner = 7;
    access.group = 5;
    access.other = 1;
    access.users = {{1000, 6}, {1001, 0}};
    access.groups = {{kUsersGroup, 7}};
    access.mask = 7;
    PosixAcl defaults = PosixAcl::FromMode(0750);
    defaults.users = {{1000, 4}};
    defaults.mask = 5;

    AclBuilder builder;
    AppendPosixEntries(&builder, access, UnixUserSid(0), UnixGroupSid(0), true, 0);
    AppendPosixEntries(&builder, defaults, UnixUserSid(0), UnixGroupSid(0), false,
                       OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE);
    Bytes bytes = builder.Finish();
    std::vector<AceView> views;
    ASSERT_TRUE(ParseAcl(bytes.data(), &views, nullptr));

    PosixFromDacl back = TranslateDacl(views, 0, 0, true);
    EXPECT_EQ(back.access.owner, 7u);
    EXPECT_EQ(back.access.group, 5u);
    EXPECT_EQ(back.access.other, 1u);
    // Named users also get what Everyone gets, as under Windows evaluation.
    using Users = std::vector<std::pair<uid_t, unsigned>>;
    using Groups = std::vector<std::pair<gid_t, unsigned>>;
    EXPECT_EQ(back.access.users, (Users{{1000, 6}, {1001, 0}}));
    EXPECT_EQ(back.access.groups, (Groups{{kUsersGroup, 7}}));
    ASSERT_TRUE(back.defaults.has_value());
    EXPECT_EQ(back.defaults->owner, 7u);
    EXPECT_EQ(back.defaults->group, 5u);
    EXPECT_EQ(back.defaults->other, 0u);
    EXPECT_EQ(back.defaults->users, (Users{{1000, 4}}));

    // Under Windows evaluation with group membership, root (a member of
    // group 0) still gets exactly its owner entry.
    TRUSTEE_W trustee{};
    trustee.TrusteeForm = TRUSTEE_IS_SID;
    Bytes root = UnixUserSid(0);
    trustee.ptstrName = reinterpret_cast<LPWSTR>(root.data());
    ACCESS_MASK rights = 0;
    ASSERT_EQ(GetEffectiveRightsFromAclW(reinterpret_cast<PACL>(bytes.data()), &trustee, &rights),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(PermsOfRights(rights), 7u);
}

TEST(SecurityPosixAcl, MaskLimitsNamedAndGroupEntries) {
    PosixAcl acl = PosixAcl::FromMode(0777);
    acl.users = {{1000, 7}};
    acl.mask = 4;
    AclBuilder builder;
    AppendPosixEntries(&builder, acl, UnixUserSid(0), UnixGroupSid(0), false, 0);
    Bytes bytes = builder.Finish();
    std::vector<AceView> views;
    ASSERT_TRUE(ParseAcl(bytes.data(), &views, nullptr));
    const RightsOptions options{true};
    EXPECT_EQ(PermsOfRights(EvaluateRights(views, {UnixUserSid(1000)}, options)), 4u);
    EXPECT_EQ(PermsOfRights(EvaluateRights(views, {UnixGroupSid(0)}, options)), 4u);
    EXPECT_EQ(PermsOfRights(EvaluateRights(views, {UnixUserSid(0)}, options)), 7u);
    // Named user 1000 is denied what Everyone would add.
    EXPECT_EQ(PermsOfRights(EvaluateRights(views, {UnixUserSid(1000), WorldSid()}, options)), 4u);
}

}  // namespace
}  // namespace kiln::platform::security
