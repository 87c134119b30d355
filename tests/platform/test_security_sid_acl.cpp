// SIDs, ACLs and security descriptors in memory, including malformed input:
// every bad buffer below is allocated at exactly its size, so a read past it
// shows under AddressSanitizer.
#include <gtest/gtest.h>

#include <memory>

#include "security_test_support.h"

namespace kiln::test {
namespace {

TEST(SecuritySid, BuildsAndComparesSids) {
    SidBuffer system = Sid(5, {18});
    ASSERT_TRUE(IsValidSid(system.data()));
    EXPECT_EQ(GetLengthSid(system.data()), 12u);
    EXPECT_EQ(*GetSidSubAuthorityCount(system.data()), 1);
    EXPECT_EQ(GetSidIdentifierAuthority(system.data())->Value[5], 5);
    EXPECT_EQ(*GetSidSubAuthority(system.data(), 0), 18u);
    EXPECT_FAILS_WITH(GetSidSubAuthority(system.data(), 1) != nullptr, ERROR_INVALID_PARAMETER);

    SidBuffer copy(12);
    ASSERT_TRUE(CopySid(12, copy.data(), system.data()));
    EXPECT_TRUE(EqualSid(copy.data(), system.data()));
    EXPECT_FAILS_WITH(EqualSid(copy.data(), Sid(5, {19}).data()), ERROR_SUCCESS);
    // Same bytes up to the shorter length are still different SIDs.
    EXPECT_FALSE(EqualSid(Sid(5, {32}).data(), Sid(5, {32, 544}).data()));

    EXPECT_FAILS_WITH(CopySid(11, copy.data(), system.data()), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetSidLengthRequired(15), 68u);
}

TEST(SecuritySid, MalformedSidsAreRefused) {
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
    };
    const Case cases[] = {
        {"revision 0", {0, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}},
        {"revision 2", {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}},
        {"16 sub-authorities", {1, 16, 0, 0, 0, 0, 0, 5}},
        {"255 sub-authorities", {1, 255, 0, 0, 0, 0, 0, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto sid = std::make_unique<BYTE[]>(c.bytes.size());
        std::memcpy(sid.get(), c.bytes.data(), c.bytes.size());
        EXPECT_FAILS_WITH(IsValidSid(sid.get()), ERROR_INVALID_SID);
        EXPECT_FAILS_WITH(GetLengthSid(sid.get()) != 0u, ERROR_INVALID_SID);
        BYTE target[68];
        EXPECT_FAILS_WITH(CopySid(sizeof target, target, sid.get()), ERROR_INVALID_SID);
        EXPECT_FAILS_WITH(EqualSid(sid.get(), sid.get()), ERROR_INVALID_SID);

        BYTE acl[64];
        ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(acl), sizeof acl, ACL_REVISION));
        EXPECT_FAILS_WITH(
            AddAccessAllowedAceEx(reinterpret_cast<PACL>(acl), ACL_REVISION, 0, 1, sid.get()),
            ERROR_INVALID_SID);
    }
    EXPECT_FALSE(IsValidSid(nullptr));
}

TEST(SecurityAcl, AddsEntriesUntilTheAclIsFull) {
    SidBuffer world = World();  // 12 bytes: each entry takes 20
    std::vector<BYTE> buffer(8 + 2 * 20 + 12);
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(buffer.size()), ACL_REVISION));
    EXPECT_TRUE(AddAccessDeniedAceEx(acl, ACL_REVISION, 0, FILE_WRITE_DATA, world.data()));
    EXPECT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE,
                                      FILE_GENERIC_READ, world.data()));
    EXPECT_FAILS_WITH(AddAuditAccessAceEx(acl, ACL_REVISION, 0, 1, world.data(), TRUE, TRUE),
                      ERROR_ALLOTTED_SPACE_EXCEEDED);

    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(GetAclInformation(acl, &size, sizeof size, AclSizeInformation));
    EXPECT_EQ(size.AceCount, 2u);
    EXPECT_EQ(size.AclBytesInUse, 48u);
    EXPECT_EQ(size.AclBytesFree, 12u);
    EXPECT_FAILS_WITH(GetAclInformation(acl, &size, sizeof size - 1, AclSizeInformation),
                      ERROR_INSUFFICIENT_BUFFER);

    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 1, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
    EXPECT_EQ(allowed->Header.AceSize, 20);
    EXPECT_EQ(allowed->Mask, static_cast<DWORD>(FILE_GENERIC_READ));
    EXPECT_TRUE(EqualSid(&allowed->SidStart, world.data()));
    EXPECT_FAILS_WITH(GetAce(acl, 2, &ace), ERROR_INVALID_PARAMETER);
}

TEST(SecurityAcl, AuditEntriesCarryTheirSwitchesAndFlagsAreChecked) {
    SidBuffer world = World();
    std::vector<BYTE> buffer(64);
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    ASSERT_TRUE(InitializeAcl(acl, 64, ACL_REVISION));
    ASSERT_TRUE(AddAuditAccessAceEx(acl, ACL_REVISION_DS, CONTAINER_INHERIT_ACE, DELETE,
                                    world.data(), FALSE, TRUE));
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, SYSTEM_AUDIT_ACE_TYPE);
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceFlags,
              CONTAINER_INHERIT_ACE | FAILED_ACCESS_ACE_FLAG);
    ACL_REVISION_INFORMATION revision{};
    ASSERT_TRUE(GetAclInformation(acl, &revision, sizeof revision, AclRevisionInformation));
    EXPECT_EQ(revision.AclRevision, static_cast<DWORD>(ACL_REVISION_DS));

    EXPECT_FAILS_WITH(
        AddAccessAllowedAceEx(acl, ACL_REVISION, SUCCESSFUL_ACCESS_ACE_FLAG, 1, world.data()),
        ERROR_INVALID_FLAGS);
    EXPECT_FAILS_WITH(AddAccessAllowedAceEx(acl, 7, 0, 1, world.data()), ERROR_REVISION_MISMATCH);
    EXPECT_FAILS_WITH(InitializeAcl(acl, 7, ACL_REVISION), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FAILS_WITH(InitializeAcl(acl, 0x10000, ACL_REVISION), ERROR_INVALID_PARAMETER);
}

// A valid one-entry ACL for Everyone, then damaged in one place.
std::vector<BYTE> DamagedAcl(const std::function<void(std::vector<BYTE>&)>& damage) {
    std::vector<BYTE> acl = MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0, 1, World()}});
    damage(acl);
    return acl;
}

void SetWord(std::vector<BYTE>& bytes, size_t offset, WORD value) {
    std::memcpy(bytes.data() + offset, &value, 2);
}

TEST(SecurityAcl, MalformedAclsAreRefusedWithoutReadingPastThem) {
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
    };
    std::vector<Case> cases = {
        {"revision 1", DamagedAcl([](auto& b) { b[0] = 1; })},
        {"revision 5", DamagedAcl([](auto& b) { b[0] = 5; })},
        {"size below the header", DamagedAcl([](auto& b) { SetWord(b, 2, 6); })},
        {"count beyond the size", DamagedAcl([](auto& b) { SetWord(b, 4, 2); })},
        {"count far beyond the size", DamagedAcl([](auto& b) { SetWord(b, 4, 0xFFFF); })},
        {"entry longer than the ACL", DamagedAcl([](auto& b) { SetWord(b, 10, 24); })},
        {"entry of size 0", DamagedAcl([](auto& b) { SetWord(b, 10, 0); })},
        {"entry size not a multiple of 4", DamagedAcl([](auto& b) { SetWord(b, 10, 18); })},
        {"entry too short for its SID", DamagedAcl([](auto& b) { SetWord(b, 10, 12); })},
        {"SID count beyond the entry", DamagedAcl([](auto& b) { b[17] = 5; })},
        {"SID of a wrong revision", DamagedAcl([](auto& b) { b[16] = 3; })},
        {"truncated: size says 8, entry counted", DamagedAcl([](auto& b) {
             SetWord(b, 2, 8);
             b.resize(8);
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto acl = std::make_unique<BYTE[]>(c.bytes.size());
        std::memcpy(acl.get(), c.bytes.data(), c.bytes.size());
        auto* p = reinterpret_cast<PACL>(acl.get());
        EXPECT_FAILS_WITH(IsValidAcl(p), ERROR_INVALID_ACL);
        ACL_SIZE_INFORMATION size;
        EXPECT_FAILS_WITH(GetAclInformation(p, &size, sizeof size, AclSizeInformation),
                          ERROR_INVALID_ACL);
        void* ace;
        EXPECT_FAILS_WITH(GetAce(p, 0, &ace), ERROR_INVALID_ACL);
        EXPECT_FAILS_WITH(AddAccessDeniedAceEx(p, ACL_REVISION, 0, 1, World().data()),
                          ERROR_INVALID_ACL);
        DWORD error = 0;
        EffectiveRights(acl.get(), World(), &error);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_ACL));
    }
}

TEST(SecurityAcl, EffectiveRightsFollowWindowsEvaluationOrder) {
    const SidBuffer nobody = UserSid(kNobody), nogroup = GroupSid(kNogroup);
    const SidBuffer users = GroupSid(kUsersGroup), world = World();
    struct Case {
        const char* what;
        std::vector<Ace> entries;
        SidBuffer trustee;
        ACCESS_MASK expected;
    };
    const Case cases[] = {
        {"deny before allow wins", {{1, 0, 2, nobody}, {0, 0, 3, world}}, nobody, 1},
        {"allow before deny wins", {{0, 0, 3, world}, {1, 0, 2, nobody}}, nobody, 3},
        {"rights accumulate", {{0, 0, 1, nobody}, {0, 0, 4, world}}, nobody, 5},
        {"primary group applies to its member", {{0, 0, 8, nogroup}}, nobody, 8},
        {"other groups do not", {{0, 0, 8, users}}, nobody, 0},
        {"a group is not its members", {{0, 0, 8, nobody}, {0, 0, 1, world}}, nogroup, 1},
        {"Everyone is only Everyone", {{0, 0, 8, nogroup}, {0, 0, 1, world}}, world, 1},
        {"inherit-only entries do not apply",
         {{1, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, 1, nobody}, {0, 0, 1, world}},
         nobody,
         1},
        {"audit entries do not apply", {{2, 0, 1, nobody}}, nobody, 0},
        {"generic bits are reported unmapped", {{0, 0, GENERIC_READ, world}}, world, GENERIC_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> acl = MakeAcl(c.entries);
        DWORD error = 1;
        EXPECT_EQ(EffectiveRights(acl.data(), c.trustee, &error), c.expected);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    }
    DWORD error = 1;
    EXPECT_EQ(EffectiveRights(nullptr, nobody, &error), STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    TRUSTEE_W byName{};
    byName.TrusteeForm = TRUSTEE_IS_NAME;
    ACCESS_MASK rights;
    EXPECT_EQ(GetEffectiveRightsFromAclW(nullptr, &byName, &rights),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SecurityDescriptor, AbsoluteDescriptorKeepsItsParts) {
    alignas(8) BYTE storage[SECURITY_DESCRIPTOR_MIN_LENGTH];
    PSECURITY_DESCRIPTOR sd = storage;
    EXPECT_FAILS_WITH(InitializeSecurityDescriptor(sd, 2), ERROR_UNKNOWN_REVISION);
    ASSERT_TRUE(InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION));
    SidBuffer owner = UserSid(0), group = GroupSid(0);
    std::vector<BYTE> dacl = MakeAcl({{0, 0, 1, World()}});
    ASSERT_TRUE(SetSecurityDescriptorOwner(sd, owner.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorGroup(sd, group.data(), TRUE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(sd, TRUE, reinterpret_cast<PACL>(dacl.data()), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorSacl(sd, TRUE, nullptr, FALSE));
    ASSERT_TRUE(
        SetSecurityDescriptorControl(sd, SE_DACL_PROTECTED | SE_SACL_PROTECTED, SE_DACL_PROTECTED));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd));

    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_EQ(revision, 1u);
    EXPECT_EQ(control, SE_GROUP_DEFAULTED | SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_PROTECTED);
    PSID sid;
    BOOL defaulted, present;
    PACL acl;
    ASSERT_TRUE(GetSecurityDescriptorGroup(sd, &sid, &defaulted));
    EXPECT_EQ(sid, group.data());
    EXPECT_TRUE(defaulted);
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(static_cast<void*>(acl), dacl.data());
    ASSERT_TRUE(GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(acl, nullptr);

    EXPECT_FAILS_WITH(SetSecurityDescriptorControl(sd, SE_DACL_PRESENT, 0),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetSecurityDescriptorControl(sd, SE_SELF_RELATIVE, SE_SELF_RELATIVE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(sd, FALSE, nullptr, TRUE));
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_EQ(control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED), 0);
}

TEST(SecurityDescriptor, DescriptorsWithBrokenPartsAreInvalid) {
    alignas(8) BYTE storage[SECURITY_DESCRIPTOR_MIN_LENGTH];
    ASSERT_TRUE(InitializeSecurityDescriptor(storage, SECURITY_DESCRIPTOR_REVISION));
    std::vector<BYTE> badDacl = DamagedAcl([](auto& b) { SetWord(b, 4, 3); });
    ASSERT_TRUE(
        SetSecurityDescriptorDacl(storage, TRUE, reinterpret_cast<PACL>(badDacl.data()), FALSE));
    EXPECT_FAILS_WITH(IsValidSecurityDescriptor(storage), ERROR_INVALID_SECURITY_DESCR);
    storage[0] = 2;
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    EXPECT_FALSE(GetSecurityDescriptorControl(storage, &control, &revision));
    EXPECT_FALSE(SetSecurityDescriptorOwner(storage, nullptr, FALSE));
}

}  // namespace
}  // namespace kiln::test
