// SetStat and FSetStat on real files: permissions, owner and group, ACLs,
// times, size, attribute bits, refusals and the partial failure.
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "attrs_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

#ifndef _WIN32  // POSIX modes and ACLs, Unix accounts, and the Unix user nobody
std::u16string NobodyName() {
    struct passwd* nobody = getpwuid(kNobody);
    return nobody ? std::u16string(nobody->pw_name, nobody->pw_name + strlen(nobody->pw_name))
                  : u"nobody";
}
std::u16string NogroupName() {
    struct group* nogroup = getgrgid(kNobody);
    return nogroup ? std::u16string(nogroup->gr_name, nogroup->gr_name + strlen(nogroup->gr_name))
                   : u"nogroup";
}

class PermissionsTest : public AttrsTest, public testing::WithParamInterface<uint32_t> {};

TEST_P(PermissionsTest, RoundTripAndReachTheDisk) {
    const uint32_t mode = GetParam();
    Put("/f", "x");
    ASSERT_EQ(chmod(Disk("/f").c_str(), 0640), 0);
    auto attrs = NewAttrs(SfsAttrFlags::Permissions);
    attrs->m_permissions = mode;
    Exchange set = SetStat(u"/f", attrs);
    ASSERT_EQ(set.Status(), SfsStatusCode::Ok) << Narrow(set.Log());
    EXPECT_EQ(set.Log(), u"KilnSfsWin: Wrote attributes for '" + Win(u"/f") + u"'.");
    EXPECT_EQ(DiskStat("/f").st_mode & 0777, mode);
    RefPtr<QtSfsAttrs> read = Attrs(Stat(u"/f", SfsAttrFlags::Permissions));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->m_permissions, mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, PermissionsTest, testing::Values(0644u, 0604u, 0000u, 0777u));

TEST_F(AttrsTest, PermissionsSwitchOffTouchesNothing) {
    Start({});
    Put("/f", "x");
    ASSERT_EQ(chmod(Disk("/f").c_str(), 0640), 0);
    auto attrs = NewAttrs(SfsAttrFlags::Permissions);
    attrs->m_permissions = 0777;
    EXPECT_EQ(SetStat(u"/f", attrs).Status(), SfsStatusCode::Ok);
    EXPECT_EQ(DiskStat("/f").st_mode & 0777, 0640u);
}

TEST_F(AttrsTest, OwnerAndGroupByName) {
    Put("/f", "x");
    auto attrs = NewAttrs(SfsAttrFlags::OwnerGroup);
    attrs->m_owner = MakeStr(NobodyName());
    attrs->m_group = MakeStr(NogroupName() + u"@Unix Group");
    Exchange set = SetStat(u"/f", attrs);
    ASSERT_EQ(set.Status(), SfsStatusCode::Ok) << Narrow(set.Log());
    struct stat st = DiskStat("/f");
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    RefPtr<QtSfsAttrs> read = Attrs(Stat(u"/f", SfsAttrFlags::OwnerGroup));
    ASSERT_TRUE(read);
    EXPECT_EQ(S(read->m_owner), NobodyName() + u"@Unix User");
    EXPECT_EQ(S(read->m_group), NogroupName() + u"@Unix Group");
    // What Stat gives can be written back unchanged.
    EXPECT_EQ(SetStat(u"/f", read).Status(), SfsStatusCode::Ok);

    attrs->m_owner = MakeStr(u"no-such-kiln-user");
    Exchange bad = SetStat(u"/f", attrs);
    EXPECT_EQ(bad.Status(), SfsStatusCode::InvalidParameter);
    EXPECT_EQ(bad.StatusText(), u"Failed to convert Owner 'no-such-kiln-user' to the native form.");
    EXPECT_EQ(bad.Log().rfind(u"KilnSfsWin: Writing attributes for '" + Win(u"/f") +
                                  u"' failed with InvalidParameter. Failed to convert Owner "
                                  u"'no-such-kiln-user' to the native form. LookupAccountName() "
                                  u"failed: ",
                              0),
              0u)
        << Narrow(bad.Log());
}

constexpr uint32_t kReadMask = 0x00120089u;
constexpr uint32_t kWriteMask = 0x00110116u;

TEST_F(AttrsTest, AclRoundTripsAndIsEnforced) {
    Put("/f", "secret");
    OpenRootToAll();
    auto acl = MakeRef<QtSfsAcl>();
    acl->m_flags = 0x01 | 0x02;  // ControlIncluded, ControlPresent: protected
    acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    acl->m_aces->Append(
        NewAce(SfsAceType::AccessDenied, kWriteMask & ~SYNCHRONIZE, NobodyName() + u"@Unix User"));
    acl->m_aces->Append(
        NewAce(SfsAceType::AccessAllowed, kReadMask | kWriteMask | 0xC0000u, u"OWNER@"));
    acl->m_aces->Append(NewAce(SfsAceType::AccessAllowed, kReadMask, NobodyName()));
    acl->m_aces->Append(NewAce(SfsAceType::AccessAllowed, kReadMask, u"GROUP@"));
    auto attrs = NewAttrs(SfsAttrFlags::Acl);
    attrs->m_acl = acl;
    Exchange set = SetStat(u"/f", attrs);
    ASSERT_EQ(set.Status(), SfsStatusCode::Ok) << Narrow(set.Log());

    std::string facl = CommandOutput("getfacl -cn " + Disk("/f") + " 2>&1");
    EXPECT_NE(facl.find("user:65534:r--"), std::string::npos) << facl;
    EXPECT_NE(facl.find("user::rw-"), std::string::npos) << facl;

    RefPtr<QtSfsAttrs> read = Attrs(Stat(u"/f", SfsAttrFlags::Acl));
    ASSERT_TRUE(read);
    ASSERT_TRUE(read->m_acl);
    EXPECT_EQ(read->m_acl->m_flags & 0x03u, 0x03u);
    bool ownerSeen = false, nobodySeen = false;
    for (QtSfsAce* ace : *read->m_acl->m_aces) {
        if (S(ace->m_who) == u"OWNER@" && ace->m_type == SfsAceType::AccessAllowed)
            ownerSeen = true;
        if (S(ace->m_who) == NobodyName() + u"@Unix User" &&
            ace->m_type == SfsAceType::AccessAllowed && (ace->m_mask & kReadMask) == kReadMask &&
            (ace->m_mask & FILE_WRITE_DATA) == 0)
            nobodySeen = true;
    }
    EXPECT_TRUE(ownerSeen);
    EXPECT_TRUE(nobodySeen);

    const std::string path = Disk("/f");
    m_run.reset();
    RunAsNobody([&] {
        EXPECT_EQ(access(path.c_str(), R_OK), 0);
        EXPECT_NE(access(path.c_str(), W_OK), 0);
    });
}

TEST_F(AttrsTest, ControlIncludedWithoutPresentIsANullDacl) {
    Put("/f", "x");
    ASSERT_EQ(chmod(Disk("/f").c_str(), 0600), 0);
    auto attrs = NewAttrs(SfsAttrFlags::Acl);
    attrs->m_acl = MakeRef<QtSfsAcl>();
    attrs->m_acl->m_flags = 0x01;
    ASSERT_EQ(SetStat(u"/f", attrs).Status(), SfsStatusCode::Ok);
    RefPtr<QtSfsAttrs> read = Attrs(Stat(u"/f", SfsAttrFlags::Permissions));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->m_permissions, 0777u);
    EXPECT_EQ(DiskStat("/f").st_mode & 0777, 0777u);
}
#endif

TEST_F(AttrsTest, AclFlagWithoutAclIsInvalidParameter) {
    Put("/f", "x");
    Exchange set = SetStat(u"/f", NewAttrs(SfsAttrFlags::Acl | SfsAttrFlags::Size));
    EXPECT_EQ(set.Status(), SfsStatusCode::InvalidParameter);
    EXPECT_EQ(Get("/f"), "x");
}

TEST_F(AttrsTest, TimesRoundTripAt100Nanoseconds) {
    Put("/f", "x");
    auto attrs = NewAttrs(SfsAttrFlags::ModifyTime | SfsAttrFlags::AccessTime |
                          SfsAttrFlags::SubsecondTimes);
    attrs->m_modifyTime = 1600000000;
    attrs->m_modifyTimeNs = 123456789;
    attrs->m_accessTime = 1500000000;
    attrs->m_accessTimeNs = 999999999;
    ASSERT_EQ(SetStat(u"/f", attrs).Status(), SfsStatusCode::Ok);
    RefPtr<QtSfsAttrs> read =
        Attrs(Stat(u"/f", SfsAttrFlags::ModifyTime | SfsAttrFlags::AccessTime));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->m_modifyTime, 1600000000u);
    EXPECT_EQ(read->m_modifyTimeNs, 123456700u);
    EXPECT_EQ(read->m_accessTime, 1500000000u);
    EXPECT_EQ(read->m_accessTimeNs, 999999900u);
    EXPECT_EQ(Facts("/f").modifyNs, 123456700u);

    attrs->m_modifyTimeNs = 1000000000;  // out of range
    Exchange bad = SetStat(u"/f", attrs);
    EXPECT_EQ(bad.Status(), SfsStatusCode::InvalidParameter);
    EXPECT_EQ(bad.StatusText(), u"Failed to convert ModifyTime to the native form.");
    EXPECT_EQ(bad.Log(), u"KilnSfsWin: Writing attributes for '" + Win(u"/f") +
                             u"' failed with InvalidParameter. Failed to convert ModifyTime to "
                             u"the native form.");
}

TEST_F(AttrsTest, SizeTruncatesAndExtends) {
    Put("/f", "0123456789");
    auto attrs = NewAttrs(SfsAttrFlags::Size);
    attrs->m_size = 4;
    ASSERT_EQ(SetStat(u"/f", attrs).Status(), SfsStatusCode::Ok);
    EXPECT_EQ(Get("/f"), "0123");
    attrs->m_size = 8;
    RefPtr<QtBytes> handle = OpenOk(u"/f", SfsOpenFlags::OpenExisting, kReadWrite);
    Exchange set = FSetStat(handle, attrs);
    ASSERT_EQ(set.Status(), SfsStatusCode::Ok) << Narrow(set.Log());
    EXPECT_EQ(set.Log(), u"KilnSfsWin: Wrote attributes for '" + Win(u"/f") + u"' (by handle).");
    EXPECT_EQ(Get("/f"), std::string("0123\0\0\0\0", 8));
    Close(handle);
}

TEST_F(AttrsTest, ReadOnlyAndHiddenBits) {
    Put("/f", "x");
#ifndef _WIN32
    ASSERT_EQ(chmod(Disk("/f").c_str(), 0644), 0);
#endif
    // A handle that may only read: the bit is set through the path instead.
    RefPtr<QtBytes> handle = OpenOk(u"/f", SfsOpenFlags::OpenExisting, SfsAccessMask::ReadData);
    auto attrs = NewAttrs(SfsAttrFlags::Bits);
    attrs->m_attrBitsValid = SfsAttrBits::ReadOnly | SfsAttrBits::Hidden;
    attrs->m_attrBits = SfsAttrBits::ReadOnly | SfsAttrBits::Hidden;
    Exchange set = FSetStat(handle, attrs);
    ASSERT_EQ(set.Status(), SfsStatusCode::Ok) << Narrow(set.Log());
    EXPECT_FALSE(Facts("/f").ownerMayWrite);
    RefPtr<QtSfsAttrs> read = Attrs(FStat(handle, SfsAttrFlags::Bits));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->m_attrBits & (SfsAttrBits::ReadOnly | SfsAttrBits::Hidden),
              SfsAttrBits::ReadOnly | SfsAttrBits::Hidden);
    attrs->m_attrBits = 0;
    ASSERT_EQ(FSetStat(handle, attrs).Status(), SfsStatusCode::Ok);
    EXPECT_TRUE(Facts("/f").ownerMayWrite);
    read = Attrs(Stat(u"/f", SfsAttrFlags::Bits));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->m_attrBits & (SfsAttrBits::ReadOnly | SfsAttrBits::Hidden), 0u);
    Close(handle);
}

TEST_F(AttrsTest, AllocSizeAndCTimeAreRefusedBeforeAnyWrite) {
    for (uint32_t refused : {SfsAttrFlags::AllocSize, SfsAttrFlags::CTime}) {
        Put("/f", "0123456789");
        auto attrs = NewAttrs(SfsAttrFlags::Size | refused);
        attrs->m_size = 2;
        Exchange set = SetStat(u"/f", attrs);
        EXPECT_EQ(set.Status(), SfsStatusCode::Failure);
        EXPECT_EQ(set.StatusText(),
                  u"The following attributes are not supported: AllocSize, CTime.");
        EXPECT_EQ(set.Log(), u"KilnSfsWin: Writing attributes for '" + Win(u"/f") +
                                 u"' failed. The following attributes are not supported: "
                                 u"AllocSize, CTime.");
        EXPECT_EQ(Get("/f"), "0123456789");
    }
}

#ifndef _WIN32  // nobody may not give a file away
TEST_F(AttrsTest, FailureAfterAWriteSaysPartially) {
    Put("/f", "0123456789");
    ASSERT_EQ(chown(Disk("/f").c_str(), kNobody, kNobody), 0);
    OpenRootToAll();
    const std::u16string root = m_root.WinPath();
    const std::u16string win = Win(u"/f");
    const std::string path = Disk("/f");
    m_run.reset();
    RunAsNobody([&] {
        ProviderRun run;
        run.Init({{u"MountPath", u"/"}, {u"RootPath", root}});
        run.Sync();
        const size_t before = run.Logs().size();
        auto attrs = NewAttrs(SfsAttrFlags::Size | SfsAttrFlags::OwnerGroup);
        attrs->m_size = 3;
        attrs->m_owner = MakeStr(u"root");  // nobody may not give a file away
        attrs->m_group = MakeStr(NogroupName());
        auto set = MakeRef<QtSfsSetStat>();
        set->m_path = MakeStr(u"/f");
        set->m_attrs = attrs;
        RefPtr<QtSfsResponse> response = run.Ask(run.MakeRequest(SfsRequest::SetStat, set));
        ASSERT_TRUE(response);
        auto* status = dynamic_cast<QtSfsStatus*>(response->m_content.get());
        ASSERT_NE(status, nullptr);
        EXPECT_NE(status->m_statusCode, SfsStatusCode::Ok);
        std::vector<RefPtr<QtSfsLog>> logs = run.Logs();
        ASSERT_EQ(logs.size(), before + 1);
        std::u16string text = S(logs.back()->m_message);
        EXPECT_EQ(
            text.rfind(u"KilnSfsWin: Writing attributes for '" + win + u"' failed partially", 0),
            0u)
            << Narrow(text);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 3);  // the size change stays
        EXPECT_EQ(st.st_uid, kNobody);
    });
}
#endif

TEST_F(AttrsTest, LogicalDrivesAreReadOnly) {
    Start({{u"RootPath", u""}});
    Exchange stat = Stat(u"/", SfsAttrFlags::Size | SfsAttrFlags::Acl | SfsAttrFlags::TextHint);
    RefPtr<QtSfsAttrs> attrs = Attrs(stat);
    ASSERT_TRUE(attrs);
    EXPECT_EQ(attrs->m_type, SfsType::Directory);
    EXPECT_EQ(attrs->m_validAttrFlags, SfsAttrFlags::Size | SfsAttrFlags::LinkCount);
    EXPECT_EQ(attrs->m_linkCount, 1u);
    EXPECT_EQ(stat.Log(), u"KilnSfsWin: Read attributes for logical drives.");
    EXPECT_EQ(stat.LogType(), SfsLogType::Trace);

    Exchange set = SetStat(u"/", NewAttrs(SfsAttrFlags::Permissions));
    EXPECT_EQ(set.Status(), SfsStatusCode::PermissionDenied);
    EXPECT_EQ(set.Log(),
              u"KilnSfsWin: Writing attributes for logical drives failed with "
              u"PermissionDenied. Access to logical drives is limited to read-only.");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
