// Translation of principals, ACEs, permissions, times and attribute bits,
// without a provider.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "sfswin/attrs_read.h"
#include "sfswin/attrs_translation.h"
#include "sfswin_test_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

struct AceView {
    BYTE type;
    BYTE flags;
    DWORD mask;
    WString sid;
};

std::vector<AceView> AcesOf(PACL acl) {
    std::vector<AceView> result;
    ACL_SIZE_INFORMATION size{};
    EXPECT_TRUE(GetAclInformation(acl, &size, sizeof(size), AclSizeInformation));
    for (DWORD i = 0; i < size.AceCount; ++i) {
        LPVOID ace = nullptr;
        EXPECT_TRUE(GetAce(acl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        result.push_back(AceView{allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                                 SidToText(&allowed->SidStart)});
    }
    return result;
}

// ---- Special names -------------------------------------------------------------------

struct SpecialCase {
    std::u16string input;
    std::u16string sidText;
    std::u16string readBack;
};

class SpecialNameTest : public testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialNameTest, NameToSidAndBack) {
    const SpecialCase& c = GetParam();
    OwnedSid sid = NameToSid(c.input);
    EXPECT_EQ(S(SidToText(sid.Get())), c.sidText);
    EXPECT_EQ(S(SidToName(sid.Get())), c.readBack);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpecialNameTest,
                         testing::Values(SpecialCase{u"Everyone@", u"S-1-1-0", u"EVERYONE@"},
                                         SpecialCase{u"eVeRyOnE@", u"S-1-1-0", u"EVERYONE@"},
                                         SpecialCase{u"INTERACTIVE@", u"S-1-5-4", u"INTERACTIVE@"},
                                         SpecialCase{u"dialup@", u"S-1-5-1", u"DIALUP@"},
                                         SpecialCase{u"Batch@", u"S-1-5-3", u"BATCH@"},
                                         SpecialCase{u"anonymous@", u"S-1-5-7", u"ANONYMOUS@"},
                                         SpecialCase{u"Authenticated@", u"S-1-5-11",
                                                     u"AUTHENTICATED@"},
                                         SpecialCase{u"service@", u"S-1-5-18", u"SERVICE@"}));

TEST(SidNames, NetworkHasNoSpecialOutputName) {
    OwnedSid sid = NameToSid(u"network@");
    EXPECT_EQ(S(SidToText(sid.Get())), u"S-1-5-2");
    std::u16string name = S(SidToName(sid.Get()));
    EXPECT_NE(name, u"NETWORK@");
    EXPECT_NE(name.find(u'@'), std::u16string::npos) << "account@domain form expected";
}

TEST(SidNames, OwnerAndGroupWinOverEverythingElse) {
    OwnedSid world = WorldSidOwned();
    OwnedSid system = NtAuthoritySid(SECURITY_LOCAL_SYSTEM_RID);
    EXPECT_EQ(S(SidToName(world.Get(), world.Get(), system.Get())), u"OWNER@");
    EXPECT_EQ(S(SidToName(system.Get(), world.Get(), system.Get())), u"GROUP@");
    // OWNER@ and GROUP@ resolve only when the object's owner and group are known.
    EXPECT_EQ(S(SidToText(NameToSid(u"owner@", system.Get(), world.Get()).Get())), u"S-1-5-18");
    EXPECT_EQ(S(SidToText(NameToSid(u"GROUP@", system.Get(), world.Get()).Get())), u"S-1-1-0");
    EXPECT_THROW(NameToSid(u"OWNER@"), SystemError);
}

#ifndef _WIN32  // Unix users and groups as SIDs
std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

TEST(SidNames, AccountsRoundTripThroughAccountAtDomain) {
    struct passwd* root = getpwuid(0);
    ASSERT_NE(root, nullptr);
    OwnedSid sid = NameToSid(U16(root->pw_name));
    EXPECT_EQ(S(SidToText(sid.Get())), u"S-1-22-1-0");
    std::u16string name = S(SidToName(sid.Get()));
    EXPECT_EQ(name, U16(root->pw_name) + u"@Unix User");
    // account@domain is looked up as domain\account.
    EXPECT_EQ(S(SidToText(NameToSid(name).Get())), u"S-1-22-1-0");
    EXPECT_EQ(S(SidToText(NameToSid(U16(root->pw_name) + u"@").Get())), u"S-1-22-1-0");
    struct group* nogroup = getgrgid(65534);
    ASSERT_NE(nogroup, nullptr);
    EXPECT_EQ(S(SidToText(NameToSid(U16(nogroup->gr_name) + u"@Unix Group").Get())),
              u"S-1-22-2-65534");
}

TEST(SidNames, TheFieldDecidesWhetherABareNameIsAUserOrAGroup) {
    // daemon is a user and a group, nogroup only a group; 12345 no account at
    // all, so it names the Unix SID of that id.
    struct Case {
        std::u16string name;
        PrincipalKind kind;
        std::u16string sid;
    } cases[] = {
        {u"daemon", PrincipalKind::User, u"S-1-22-1-1"},
        {u"daemon", PrincipalKind::Group, u"S-1-22-2-1"},
        {u"daemon", PrincipalKind::Any, u"S-1-22-1-1"},
        {u"root", PrincipalKind::Group, u"S-1-22-2-0"},
        {u"daemon@Unix User", PrincipalKind::Group, u"S-1-22-1-1"},
        {u"nogroup", PrincipalKind::User, u"S-1-22-2-65534"},
        {u"12345", PrincipalKind::User, u"S-1-22-1-12345"},
        {u"12345", PrincipalKind::Group, u"S-1-22-2-12345"},
        {u"12345@Unix Group", PrincipalKind::Any, u"S-1-22-2-12345"},
        {u"S-1-22-1-12345", PrincipalKind::Group, u"S-1-22-1-12345"},
        {u"s-1-5-88-3-2541", PrincipalKind::Any, u"S-1-5-88-3-2541"},
    };
    ASSERT_NE(getgrnam("daemon"), nullptr);
    ASSERT_EQ(getgrnam("daemon")->gr_gid, 1u);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        EXPECT_EQ(S(SidToText(NameToSid(c.name, nullptr, nullptr, c.kind).Get())), c.sid);
    }
    // An id without an account reads as its SID, and that text reads back.
    OwnedSid orphan = NameToSid(u"12345", nullptr, nullptr, PrincipalKind::User);
    EXPECT_EQ(S(SidToName(orphan.Get())), u"S-1-22-1-12345");
    EXPECT_THROW(NameToSid(u"S-1-x"), SystemError);
}
#endif

TEST(SidNames, UnknownNameRaisesLookupFailure) {
    try {
        NameToSid(u"no-such-user-kiln@Unix User");
        FAIL() << "no exception";
    } catch (const SystemError& error) {
        EXPECT_EQ(S(error.CallName()), u"LookupAccountName()");
    }
}

TEST(SidNames, UnknownSidFallsBackToText) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    OwnedSid odd = OwnedSid::FromAuthority(nt, 0x7777);
    EXPECT_EQ(S(SidToName(odd.Get())), u"S-1-5-30583");
}

// ---- ACE conversion ---------------------------------------------------------------------

TEST(AceToSfs, MapsTypeFlagsAndFiltersMask) {
    OwnedSid world = WorldSidOwned();
    OwnedSid owner = NtAuthoritySid(SECURITY_LOCAL_SYSTEM_RID);
    AclBuffer acl;
    acl.AddAllowed(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, 0xFFFFFFFFu, world.Get());
    acl.AddDenied(CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE, FILE_READ_DATA, owner.Get());
    acl.AddAudit(0, DELETE, world.Get(), true, true);
    std::vector<RefPtr<QtSfsAce>> converted;
    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(GetAclInformation(acl.Get(), &size, sizeof(size), AclSizeInformation));
    ASSERT_EQ(size.AceCount, 3u);
    for (DWORD i = 0; i < 3; ++i) {
        LPVOID ace = nullptr;
        ASSERT_TRUE(GetAce(acl.Get(), i, &ace));
        converted.push_back(AceToSfs(static_cast<ACE_HEADER*>(ace), owner.Get(), nullptr));
    }
    EXPECT_EQ(converted[0]->m_type, SfsAceType::AccessAllowed);
    EXPECT_EQ(converted[0]->m_flags, 0x1u | 0x8u);
    EXPECT_EQ(converted[0]->m_mask, 0x011F01FFu);
    EXPECT_EQ(S(converted[0]->m_who), u"EVERYONE@");
    EXPECT_EQ(converted[1]->m_type, SfsAceType::AccessDenied);
    EXPECT_EQ(converted[1]->m_flags, 0x2u | 0x4u);
    EXPECT_EQ(S(converted[1]->m_who), u"OWNER@");
    EXPECT_EQ(converted[2]->m_type, SfsAceType::SystemAudit);
    EXPECT_EQ(converted[2]->m_flags, 0x10u | 0x20u);
    EXPECT_EQ(converted[2]->m_mask, DELETE);

    ACE_HEADER alarm{SYSTEM_ALARM_ACE_TYPE, INHERITED_ACE, 8};
    EXPECT_FALSE(AceToSfs(&alarm, nullptr, nullptr));
}

// ---- The DACL for POSIX permissions -----------------------------------------------------

struct DaclCase {
    uint32_t mode;
    std::vector<AceView> expected;  // sid: "O" owner, "G" group, "W" world; the mode entry follows
};

class PermissionsDaclTest : public testing::TestWithParam<DaclCase> {};

TEST_P(PermissionsDaclTest, WritesDeniesOnlyWhereNeeded) {
    const DaclCase& c = GetParam();
    OwnedSid owner = NtAuthoritySid(SECURITY_LOCAL_SYSTEM_RID);
    OwnedSid group = NtAuthoritySid(SECURITY_BATCH_RID);
    AclBuffer dacl;
    BuildPermissionsDacl(dacl, c.mode, owner.Get(), group.Get());
    ASSERT_NE(dacl.Get(), nullptr);
    std::vector<AceView> got = AcesOf(dacl.Get());
#ifdef _WIN32
    // A Windows file system keeps no mode beside the DACL.
    ASSERT_EQ(got.size(), c.expected.size()) << std::oct << c.mode;
#else
    ASSERT_EQ(got.size(), c.expected.size() + 1) << std::oct << c.mode;
    // Last, the whole mode under the NFS mode SID, denying nothing.
    EXPECT_EQ(got.back().type, 1);
    EXPECT_EQ(got.back().mask, 0u);
    std::string modeSid = "S-1-5-88-3-" + std::to_string(c.mode);
    EXPECT_EQ(S(got.back().sid), std::u16string(modeSid.begin(), modeSid.end()));
    EXPECT_EQ(platform::SpecialModeBits(dacl.Get()), c.mode & 07000);
#endif
    for (size_t i = 0; i < c.expected.size(); ++i) {
        const AceView& want = c.expected[i];
        std::u16string sid = want.sid == u"O"   ? u"S-1-5-18"
                             : want.sid == u"G" ? u"S-1-5-3"
                                                : u"S-1-1-0";
        EXPECT_EQ(got[i].type, want.type) << i;
        EXPECT_EQ(got[i].flags, 0) << i;
        EXPECT_EQ(got[i].mask, want.mask) << std::hex << i;
        EXPECT_EQ(S(got[i].sid), sid) << i;
    }
}

constexpr DWORD R = 0x00120089u, W = 0x00110116u, X = 0x00100020u, C = 0xC0000u;

INSTANTIATE_TEST_SUITE_P(
    Modes, PermissionsDaclTest,
    testing::Values(
        DaclCase{0644, {{0, 0, R | W | C, u"O"}, {0, 0, R, u"G"}, {0, 0, R, u"W"}}},
        DaclCase{0604,
                 {{1, 0, 0x20, u"O"},
                  {1, 0, 0x000301BF, u"G"},
                  {0, 0, R | W | C, u"O"},
                  {0, 0, R, u"W"}}},
        DaclCase{0000, {{0, 0, C, u"O"}}},
        DaclCase{0777,
                 {{0, 0, R | W | X | C, u"O"}, {0, 0, R | W | X, u"G"}, {0, 0, R | W | X, u"W"}}},
        DaclCase{0750, {{0, 0, R | W | X | C, u"O"}, {0, 0, R | X, u"G"}}},
        DaclCase{04755, {{0, 0, R | W | X | C, u"O"}, {0, 0, R | X, u"G"}, {0, 0, R | X, u"W"}}},
        DaclCase{03770, {{0, 0, R | W | X | C, u"O"}, {0, 0, R | W | X, u"G"}}}));

// ---- Times --------------------------------------------------------------------------------

TEST(Times, FileTimeConversionBothWays) {
    struct Case {
        uint64_t seconds;
        uint32_t ns;
    } cases[] = {{0, 0}, {1700000000, 123456700}, {4102444800ull, 999999900}};
    for (const Case& c : cases) {
        std::optional<FILETIME> time = SfsTimeToFileTime(c.seconds, c.ns);
        ASSERT_TRUE(time);
        SfsTime back = FileTimeToSfs(*time);
        EXPECT_TRUE(back.ok);
        EXPECT_EQ(back.seconds, c.seconds);
        EXPECT_EQ(back.nanoseconds, c.ns);
    }
    // 100-ns resolution: the last two digits go.
    SfsTime truncated = FileTimeToSfs(*SfsTimeToFileTime(5, 123456789));
    EXPECT_EQ(truncated.nanoseconds, 123456700u);
    EXPECT_FALSE(SfsTimeToFileTime(1, 1000000000u));
    EXPECT_FALSE(SfsTimeToFileTime(~uint64_t{0} / 10000000, 0));
    FILETIME before1970{0xD53E7FFFu, 0x019DB1DEu};  // one tick before 1970-01-01
    EXPECT_FALSE(FileTimeToSfs(before1970).ok);
    EXPECT_TRUE(FileTimeToSfs(FILETIME{0xD53E8000u, 0x019DB1DEu}).ok);
    EXPECT_EQ(FileTimeToSfs(FILETIME{0xD53E8000u, 0x019DB1DEu}).seconds, 0u);
}

// ---- Text hint ----------------------------------------------------------------------------

struct HintCase {
    std::string bytes;
    uint8_t hint;
};

class TextHintTest : public testing::TestWithParam<HintCase> {};

TEST_P(TextHintTest, Classifies) {
    const HintCase& c = GetParam();
    EXPECT_EQ(GuessTextHint(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
              c.hint);
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextHintTest,
    testing::Values(HintCase{"", SfsTextHint::GuessedText},
                    HintCase{Repeat("abcdefgh\r\n", 10), SfsTextHint::KnownText},
                    HintCase{Repeat("abcdefghi\n", 10), SfsTextHint::GuessedText},
                    HintCase{"ab\r\ncd\n", SfsTextHint::GuessedText},
                    HintCase{"ab\r\ncd\r", SfsTextHint::GuessedText},
                    HintCase{std::string("text\0more", 9), SfsTextHint::KnownBinary},
                    HintCase{"bell\x07 esc\x1b ff\x0c", SfsTextHint::GuessedText},
                    HintCase{"del\x7f", SfsTextHint::KnownBinary},
                    // 3 high of 10: p = 300 / 13 = 23 > 20 without CR-LF.
                    HintCase{"abcdefg\xe9\xe9\xe9", SfsTextHint::GuessedBinary},
                    // the same with CR-LF only stays text.
                    HintCase{"abcde\r\n\xe9\xe9\xe9", SfsTextHint::GuessedText},
                    // p > 40 is binary even with CR-LF.
                    HintCase{"\r\n\xe9\xe9\xe9\xe9\xe9\xe9\xe9\xe9", SfsTextHint::GuessedBinary}));

// ---- Attribute bits ----------------------------------------------------------------------

TEST(ApplyAttrBits, ChangesOnlyValidBits) {
    QtSfsAttrs attrs;
    EXPECT_EQ(ApplyAttrBits(attrs, 0x1234u), 0x1234u);  // Bits not requested
    attrs.m_validAttrFlags = SfsAttrFlags::Bits;
    attrs.m_attrBitsValid = SfsAttrBits::ReadOnly | SfsAttrBits::Hidden | SfsAttrBits::Archive;
    attrs.m_attrBits = SfsAttrBits::ReadOnly | SfsAttrBits::System;  // System not valid
    EXPECT_EQ(ApplyAttrBits(
                  attrs, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY);
    attrs.m_attrBitsValid = SfsAttrBits::System;
    attrs.m_attrBits = SfsAttrBits::System;
    EXPECT_EQ(ApplyAttrBits(attrs, 0), FILE_ATTRIBUTE_SYSTEM);
}

TEST(Conversions, FindDataRecognisesLinksByTag) {
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    data.dwReserved0 = IO_REPARSE_TAG_MOUNT_POINT;
    data.nFileSizeHigh = 1;
    data.nFileSizeLow = 2;
    RefPtr<QtSfsAttrs> junction = AttrsFromFindData(data, true);
    EXPECT_EQ(junction->m_type, SfsType::Directory);
    EXPECT_EQ(junction->m_size, 0x100000002ull);
    EXPECT_EQ(junction->m_attrBits, SfsAttrBits::CaseInsensitive);
    EXPECT_EQ(junction->m_attrBitsValid, 0xFFu);
    EXPECT_EQ(junction->m_validAttrFlags & SfsAttrFlags::LinkCount, 0u);
    data.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    EXPECT_EQ(AttrsFromFindData(data, false)->m_type, SfsType::Symlink);
    EXPECT_EQ(AttrsFromFindData(data, false)->m_attrBits, 0u);
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
