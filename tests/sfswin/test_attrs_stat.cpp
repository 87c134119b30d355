// Stat and FStat on real files: the basic layer, times, links, text hints,
// owner and group, and the partial answer.
#ifndef _WIN32
#include <pwd.h>
#endif

#include <filesystem>

#include "attrs_support.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {
namespace {

constexpr uint32_t kBasic = SfsAttrFlags::Size | SfsAttrFlags::AccessTime |
                            SfsAttrFlags::CreateTime | SfsAttrFlags::ModifyTime |
                            SfsAttrFlags::Bits | SfsAttrFlags::LinkCount;

TEST_F(AttrsTest, StatReportsTheBasicLayerAndLogs) {
    Put("/f.txt", "hello");
    Exchange stat = Stat(u"/f.txt", kBasic);
    RefPtr<QtSfsAttrs> attrs = Attrs(stat);
    ASSERT_TRUE(attrs) << Narrow(stat.StatusText());
    EXPECT_EQ(attrs->m_type, SfsType::Regular);
    EXPECT_EQ(attrs->m_size, 5u);
    EXPECT_EQ(attrs->m_linkCount, 1u);
    EXPECT_EQ(attrs->m_attrBitsValid, 0xFFu);
#ifndef _WIN32
    // ext4 tells names apart by case, so the bit must not claim otherwise.
    EXPECT_EQ(attrs->m_attrBits & SfsAttrBits::CaseInsensitive, 0u);
#endif
    EXPECT_EQ(attrs->m_validAttrFlags & (kBasic | SfsAttrFlags::SubsecondTimes),
              kBasic | SfsAttrFlags::SubsecondTimes);
    const DiskFacts disk = Facts("/f.txt");
    EXPECT_EQ(attrs->m_modifyTime, static_cast<uint64_t>(disk.modifySeconds));
    EXPECT_EQ(attrs->m_modifyTimeNs, disk.modifyNs / 100 * 100);
    EXPECT_EQ(stat.Log(),
              u"KilnSfsWin: Read attributes for '" + Win(u"/f.txt") + u"' (follow symlink).");
    EXPECT_EQ(stat.LogType(), SfsLogType::Info);

    EXPECT_EQ(Stat(u"/f.txt", kBasic, false).Log(),
              u"KilnSfsWin: Read attributes for '" + Win(u"/f.txt") + u"'.");
}

TEST_F(AttrsTest, MissingFileFailsWithTheMappedStatus) {
    Exchange stat = Stat(u"/absent", kBasic);
    EXPECT_EQ(stat.Status(), SfsStatusCode::NoSuchFile);
    EXPECT_EQ(stat.LogType(), SfsLogType::Error);
    EXPECT_EQ(stat.Log().rfind(u"KilnSfsWin: Reading attributes for '" + Win(u"/absent") +
                                   u"' (follow symlink) failed with NoSuchFile. ",
                               0),
              0u)
        << Narrow(stat.Log());
}

TEST_F(AttrsTest, TimeBefore1970IsLeftOut) {
    Put("/old", "x");
    ASSERT_TRUE(SetDiskTimes(Disk("/old"), -100));
    RefPtr<QtSfsAttrs> attrs = Attrs(Stat(u"/old", kBasic));
    ASSERT_TRUE(attrs);
    EXPECT_EQ(attrs->m_validAttrFlags & (SfsAttrFlags::ModifyTime | SfsAttrFlags::AccessTime), 0u);
    EXPECT_NE(attrs->m_validAttrFlags & SfsAttrFlags::Size, 0u);
    EXPECT_EQ(attrs->m_size, 1u);
}

TEST_F(AttrsTest, SymbolicLinkWithAndWithoutFollowing) {
    Put("/target", "0123456789");
    ASSERT_NO_FATAL_FAILURE(MakeDiskLink("target", Disk("/link")));
    RefPtr<QtSfsAttrs> followed = Attrs(Stat(u"/link", kBasic, true));
    ASSERT_TRUE(followed);
    EXPECT_EQ(followed->m_type, SfsType::Regular);
    EXPECT_EQ(followed->m_size, 10u);

    // A link that leads out of the root is a path that does not exist.
    ASSERT_NO_FATAL_FAILURE(MakeDiskLink("/etc/passwd", Disk("/escape")));
    EXPECT_EQ(Stat(u"/escape", kBasic, true).Status(), SfsStatusCode::NoSuchFile);
    EXPECT_FALSE(Attrs(Stat(u"/../../etc/passwd", kBasic, true)));

    KILN_SKIP_UNDER_WINE(kiln::test::kWineShowsNoLinks);
    RefPtr<QtSfsAttrs> itself = Attrs(Stat(u"/link", kBasic, false));
    ASSERT_TRUE(itself);
    EXPECT_EQ(itself->m_type, SfsType::Symlink);
    EXPECT_EQ(itself->m_modifyTimeNs, Facts("/link", false).modifyNs / 100 * 100);
}

struct HintFile {
    std::string content;
    uint8_t hint;
};

TEST_F(AttrsTest, TextHintOfFilesOnDisk) {
    const HintFile files[] = {
        {"line one\r\nline two\r\n", SfsTextHint::KnownText},
        {"line one\nline two\n", SfsTextHint::GuessedText},
        {std::string("text\0", 5) + std::string(100000, 'a'), SfsTextHint::KnownBinary},
        // Past the first 64 KiB nothing counts.
        {std::string(65536, 'a') + std::string("\0", 1), SfsTextHint::GuessedText},
        {"", SfsTextHint::GuessedText},
    };
    for (const HintFile& file : files) {
        Put("/h", file.content);
        RefPtr<QtSfsAttrs> attrs = Attrs(Stat(u"/h", SfsAttrFlags::TextHint));
        ASSERT_TRUE(attrs);
        EXPECT_NE(attrs->m_validAttrFlags & SfsAttrFlags::TextHint, 0u);
        EXPECT_EQ(attrs->m_textHint, file.hint) << file.content.size();
        // Through a handle too.
        RefPtr<QtBytes> handle = OpenOk(u"/h", SfsOpenFlags::OpenExisting, kRead);
        RefPtr<QtSfsAttrs> byHandle = Attrs(FStat(handle, SfsAttrFlags::TextHint));
        ASSERT_TRUE(byHandle);
        EXPECT_EQ(byHandle->m_textHint, file.hint);
        Close(handle);
    }
    ASSERT_TRUE(std::filesystem::create_directory(Disk("/d")));
    RefPtr<QtSfsAttrs> dir = Attrs(Stat(u"/d", SfsAttrFlags::TextHint));
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->m_type, SfsType::Directory);
    EXPECT_EQ(dir->m_validAttrFlags & SfsAttrFlags::TextHint, 0u);
}

TEST_F(AttrsTest, FStatLogsByHandle) {
    Put("/f", "abc");
    RefPtr<QtBytes> handle = OpenOk(u"/f", SfsOpenFlags::OpenExisting, kRead);
    Exchange stat = FStat(handle, kBasic | SfsAttrFlags::OwnerGroup | SfsAttrFlags::Permissions);
    RefPtr<QtSfsAttrs> attrs = Attrs(stat);
    ASSERT_TRUE(attrs);
    EXPECT_EQ(attrs->m_size, 3u);
    Close(handle);
    KILN_SKIP_UNDER_WINE(
        "its GetEffectiveRightsFromAclW is a stub, so the permissions are not "
        "read and a warning says so");
    EXPECT_EQ(stat.Log(), u"KilnSfsWin: Read attributes for '" + Win(u"/f") + u"' (by handle).");
}

#ifndef _WIN32  // Unix accounts and POSIX modes
TEST_F(AttrsTest, OwnerAndGroupAreAccountNames) {
    Put("/mine", "x");
    ASSERT_EQ(chown(Disk("/mine").c_str(), kNobody, kNobody), 0);
    RefPtr<QtSfsAttrs> attrs = Attrs(Stat(u"/mine", SfsAttrFlags::OwnerGroup));
    ASSERT_TRUE(attrs);
    ASSERT_NE(attrs->m_validAttrFlags & SfsAttrFlags::OwnerGroup, 0u);
    struct passwd* nobody = getpwuid(kNobody);
    ASSERT_NE(nobody, nullptr);
    std::u16string name(nobody->pw_name, nobody->pw_name + strlen(nobody->pw_name));
    EXPECT_EQ(S(attrs->m_owner), name + u"@Unix User");
    EXPECT_NE(S(attrs->m_group).find(u"@Unix Group"), std::u16string::npos);

    // With the switch off the layer is silently not read.
    Start({{u"OwnerGroup", u"No"}});
    RefPtr<QtSfsAttrs> without = Attrs(Stat(u"/mine", SfsAttrFlags::OwnerGroup));
    ASSERT_TRUE(without);
    EXPECT_EQ(without->m_validAttrFlags & SfsAttrFlags::OwnerGroup, 0u);
    EXPECT_FALSE(without->m_owner);
}

TEST_F(AttrsTest, PermissionsNeedTheSwitch) {
    Put("/p", "x");
    ASSERT_EQ(chmod(Disk("/p").c_str(), 0640), 0);
    RefPtr<QtSfsAttrs> on = Attrs(Stat(u"/p", SfsAttrFlags::Permissions));
    ASSERT_TRUE(on);
    EXPECT_EQ(on->m_permissions, 0640u);
    Start({});
    RefPtr<QtSfsAttrs> off = Attrs(Stat(u"/p", SfsAttrFlags::Permissions));
    ASSERT_TRUE(off);
    EXPECT_EQ(off->m_validAttrFlags & SfsAttrFlags::Permissions, 0u);
}
#endif

}  // namespace
}  // namespace kiln::KilnSfsWin::test
