// Directory listing through the provider: batches of 50 with the entry found
// beyond a full batch kept for the next one, the synthetic "..", hidden
// entries, the virtual directory of drives, and nothing outside the root.
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <set>

#include "dirops_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

using ListingTest = DirOpsTest;

TEST_F(ListingTest, HundredTwentyEntriesComeInThreeBatchesThenEof) {
    MakeDir("big");
    for (int i = 1; i <= 120; ++i) MakeFile("big/f" + std::to_string(1000 + i));
    Start();
    RefPtr<QtBytes> handle = OpenedDir(u"/big");

    std::set<std::u16string> seen;
    const size_t expectedSizes[] = {50, 50, 21};
    for (int batch = 0; batch < 3; ++batch) {
        Reply reply = ReadDir(handle);
        auto* names = reply.As<QtSfsNames>();
        ASSERT_NE(names, nullptr) << "batch " << batch;
        EXPECT_EQ(names->m_names->Count(), expectedSizes[batch]);
        EXPECT_EQ(names->m_endOfList, batch == 2);
        for (QtSfsName* name : *names->m_names) {
            std::u16string text = S(name->m_fileName);
            if (batch == 0 && seen.empty()) {
                EXPECT_EQ(text, u"..");  // first, and only in the first batch
                EXPECT_EQ(name->m_attrs->m_validAttrFlags, 0u);
            } else {
                EXPECT_EQ(text.substr(0, 1), u"f");
                EXPECT_EQ(name->m_attrs->m_type, SfsType::Regular);
                EXPECT_EQ(name->m_attrs->m_size, 4u);
            }
            EXPECT_TRUE(seen.insert(text).second) << "listed twice";
        }
        std::u16string count = batch == 2 ? u"21" : u"50";
        EXPECT_EQ(reply.Log(SfsLogType::Info),
                  u"KilnSfsWin: Listed " + count + u" entries in directory '" + Win("big") +
                      (batch == 2 ? u"' reaching Eof in the process." : u"'."));
    }
    EXPECT_EQ(seen.size(), 121u);

    Reply after = ReadDir(handle);
    EXPECT_EQ(after.Status(), SfsStatusCode::Eof);
    EXPECT_EQ(after.Log(SfsLogType::Warning),
              u"KilnSfsWin: Listing directory '" + Win("big") + u"' failed with Eof.");
}

TEST_F(ListingTest, FullBatchAtTheEndAlreadySaysEndOfList) {
    MakeDir("fifty");
    for (int i = 0; i < 49; ++i) MakeFile("fifty/e" + std::to_string(i));
    Start();
    RefPtr<QtBytes> handle = OpenedDir(u"/fifty");
    Reply reply = ReadDir(handle);
    auto* names = reply.As<QtSfsNames>();
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names->m_names->Count(), 50u);  // ".." and 49 entries
    EXPECT_TRUE(names->m_endOfList);
    EXPECT_EQ(ReadDir(handle).Status(), SfsStatusCode::Eof);
}

struct ParentCase {
    const char16_t* mountPath;
    const char16_t* listed;
    bool parentListed;
};

class ParentEntryTest : public DirOpsTest, public testing::WithParamInterface<ParentCase> {};

TEST_P(ParentEntryTest, ParentEntryExceptAtTheTopOfTheMount) {
    MakeDir("sub");
    MakeFile("sub/a");
    MakeFile("a");
    Start({}, GetParam().mountPath);
    auto batches = ListAll(GetParam().listed);
    ASSERT_EQ(batches.size(), 1u);
    std::vector<std::u16string> expected;
    if (GetParam().parentListed) expected.push_back(u"..");
    expected.push_back(u"a");
    if (std::u16string_view(GetParam().listed) == u"/") expected.push_back(u"sub");
    std::vector<std::u16string> got = batches[0];
    if (got.size() > 1) std::sort(got.begin() + (GetParam().parentListed ? 1 : 0), got.end());
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Mounts, ParentEntryTest,
                         testing::Values(ParentCase{u"/", u"/", false},
                                         ParentCase{u"/", u"/sub", true},
                                         ParentCase{u"/mnt", u"/", true},
                                         ParentCase{u"/mnt", u"/sub", true}));

struct HiddenCase {
    const char16_t* showHidden;  // null: parameter absent
    bool hiddenListed;
};

class HiddenEntryTest : public DirOpsTest, public testing::WithParamInterface<HiddenCase> {};

TEST_P(HiddenEntryTest, HiddenEntriesFollowTheSwitch) {
    MakeFile("visible");
    MakeFile(".hidden");
    MakeDir(".hiddendir");
    Params params;
    if (GetParam().showHidden) params.push_back({u"ShowHidden", GetParam().showHidden});
    Start(params, u"/");
    auto batches = ListAll(u"/");
    ASSERT_EQ(batches.size(), 1u);
    std::set<std::u16string> got(batches[0].begin(), batches[0].end());
    std::set<std::u16string> expected{u"visible"};
    if (GetParam().hiddenListed) expected.insert({u".hidden", u".hiddendir"});
    // "." and ".." from the disk never appear; at the mount's top there is
    // no synthetic ".." either.
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Switch, HiddenEntryTest,
                         testing::Values(HiddenCase{nullptr, true}, HiddenCase{u"Yes", true},
                                         HiddenCase{u"No", false}, HiddenCase{u"disabled", false}));

TEST_F(ListingTest, EmptyDirectoryGivesOnlyTheParentOrEof) {
    MakeDir("empty");
    Start({}, u"/");
    auto batches = ListAll(u"/empty");
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0], std::vector<std::u16string>{u".."});

    // The empty top of the mount has nothing to list at all.
    std::filesystem::remove_all(Disk("empty"));
    RefPtr<QtBytes> handle = OpenedDir(u"/");
    Reply first = ReadDir(handle);
    EXPECT_EQ(first.Status(), SfsStatusCode::Eof);
    EXPECT_EQ(first.Log(SfsLogType::Warning),
              u"KilnSfsWin: Listing directory '" + Win("") + u"' failed with Eof.");
}

struct OpenFailure {
    const char* name;
    std::u16string sfsPath;
    SfsStatusCode status;
    std::u16string logTail;  // what the Error record ends with
};

TEST_F(ListingTest, OpenDirFailuresAreCorrectedAndLogged) {
    MakeFile("file");
    Start();
    const OpenFailure cases[] = {
        {"regular file", u"/file", SfsStatusCode::NotADirectory, u""},
        {"missing", u"/missing", SfsStatusCode::NoSuchPath, u""},
        {"dot-dot", u"/../etc", SfsStatusCode::NoSuchPath,
         u"' failed with NoSuchPath. Path is invalid."},
    };
    for (const OpenFailure& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply = OpenDir(c.sfsPath);
        EXPECT_EQ(reply.Status(), c.status);
        std::u16string log = reply.Log(SfsLogType::Error);
        EXPECT_EQ(log.rfind(u"KilnSfsWin: Opening directory '", 0), 0u) << N(log);
        if (!c.logTail.empty()) {
            EXPECT_TRUE(log.ends_with(c.logTail));
        } else {
            EXPECT_NE(log.find(u"FindFirstFile() failed: "), std::u16string::npos);
        }
    }
}

TEST_F(ListingTest, UnknownHandleAnswersInvalidHandle) {
    Start();
    Reply reply = ReadDir(MakeRef<QtBytes>(reinterpret_cast<const uint8_t*>("\x77"), 1));
    EXPECT_EQ(reply.Status(), SfsStatusCode::InvalidHandle);
    EXPECT_EQ(reply.Log(SfsLogType::Error),
              u"KilnSfsWin: Listing directory failed with InvalidHandle.");
}

TEST_F(ListingTest, ListingStaysInsideTheRoot) {
    std::ofstream(m_outside.LinuxPath() + "/secret") << "outside secret, 29 bytes long";
    MakeDir("in");
    MakeLink(m_outside.LinuxPath(), "out");               // a directory outside
    MakeLink(m_outside.LinuxPath() + "/secret", "file");  // a file outside
    MakeLink("../..", "in/up");
    Start({}, u"/");

    // Following them or climbing with ".." lists nothing.
    for (const char16_t* path : {u"/out", u"/in/up", u"/..", u"/in/../..", u"/file"}) {
        SCOPED_TRACE(N(path));
        Reply open = OpenDir(path);
        ASSERT_TRUE(open.IsStatus());
        EXPECT_NE(open.Status(), SfsStatusCode::Ok);
    }

    // The links are names inside the root and are listed as links, without
    // anything of what they point at.
    KILN_SKIP_UNDER_WINE(kiln::test::kWineShowsNoLinks);
    RefPtr<QtBytes> handle = OpenedDir(u"/");
    Reply reply = ReadDir(handle);
    auto* names = reply.As<QtSfsNames>();
    ASSERT_NE(names, nullptr);
    for (QtSfsName* name : *names->m_names) {
        std::u16string text = S(name->m_fileName);
        if (text == u"in") continue;
        EXPECT_EQ(name->m_attrs->m_type, SfsType::Symlink) << N(S(name->m_fileName));
        EXPECT_NE(name->m_attrs->m_size, 29u);
    }
}

#ifndef _WIN32  // POSIX modes and ACLs, Unix accounts and the drive table of the Linux layer
// Owner, group and permissions come with each entry, as a Stat would give
// them; links (whose own security needs an open of their own) and, with the
// switches off, every entry go without. A POSIX ACL and special mode bits
// take the long way through the file's own descriptor.
struct SecurityCase {
    const char* name;
    bool switchesOn;
};

class ListingSecurityTest : public DirOpsTest, public testing::WithParamInterface<SecurityCase> {};

TEST_P(ListingSecurityTest, EntriesCarryOwnerGroupAndPermissions) {
    struct Entry {
        const char* name;
        unsigned mode;  // 0: a link
        uint32_t permissions;
    };
    const Entry entries[] = {
        {"plain", 0640, 0640}, {"sub", 0750, 0750}, {"setid", 06711, 06711},
        {"acl", 0660, 0660},   {"link", 0, 0},
    };
    MakeDir("d");
    for (const Entry& e : entries) {
        const std::string path = "d/" + std::string(e.name);
        if (e.mode == 0) {
            MakeLink("plain", path);
            continue;
        }
        std::string(e.name) == "sub" ? MakeDir(path) : MakeFile(path);
        ASSERT_EQ(::chmod(Disk(path).c_str(), e.mode), 0);
    }
    ASSERT_EQ(std::system(("setfacl -m u:65534:r " + Disk("d/acl")).c_str()), 0);
    const bool on = GetParam().switchesOn;
    Start({{u"PosixPermissions", on ? u"Yes" : u"No"}, {u"OwnerGroup", on ? u"Yes" : u"No"}});

    Reply reply = ReadDir(OpenedDir(u"/d"));
    auto* names = reply.As<QtSfsNames>();
    ASSERT_NE(names, nullptr);
    std::set<std::string> seen;
    for (QtSfsName* name : *names->m_names) {
        const std::string text = N(S(name->m_fileName));
        if (text == "..") continue;
        const Entry* e = std::find_if(std::begin(entries), std::end(entries),
                                      [&](const Entry& x) { return text == x.name; });
        ASSERT_NE(e, std::end(entries)) << text;
        seen.insert(text);
        const QtSfsAttrs& a = *name->m_attrs;
        const bool carried = on && e->mode != 0;
        EXPECT_EQ((a.m_validAttrFlags & SfsAttrFlags::Permissions) != 0, carried) << text;
        EXPECT_EQ((a.m_validAttrFlags & SfsAttrFlags::OwnerGroup) != 0, carried) << text;
        if (!carried) continue;
        EXPECT_EQ(a.m_permissions, e->permissions) << text;
        EXPECT_EQ(N(S(a.m_owner)), std::string(::getpwuid(::getuid())->pw_name) + "@Unix User");
        EXPECT_EQ(N(S(a.m_group)), std::string(::getgrgid(::getgid())->gr_name) + "@Unix Group");
    }
    EXPECT_EQ(seen.size(), std::size(entries));
}

INSTANTIATE_TEST_SUITE_P(Switches, ListingSecurityTest,
                         testing::Values(SecurityCase{"on", true}, SecurityCase{"off", false}),
                         [](const auto& info) { return std::string(info.param.name); });

class DrivesTest : public DirOpsTest {
  protected:
    void TearDown() override { platform::ResetDriveTable(); }
};

TEST_F(DrivesTest, EveryDriveInOneBatchWithFallbackAttributes) {
    MakeFile("onc");
    ASSERT_TRUE(platform::SetDrive(u'C', m_root.LinuxPath()));
    ASSERT_TRUE(platform::SetDrive(u'D', m_outside.LinuxPath()));
    ASSERT_TRUE(platform::SetDrive(u'Q', m_root.LinuxPath() + "/no-such-medium"));
    StartWith({{u"MountPath", u"/top"}, {u"RootPath", u""}});

    Reply open = OpenDir(u"/");
    ASSERT_NE(open.As<QtSfsHandle>(), nullptr);
    EXPECT_EQ(open.Log(SfsLogType::Info), u"KilnSfsWin: Opened logical drives.");
    RefPtr<QtBytes> handle = open.As<QtSfsHandle>()->m_handle;

    Reply reply = ReadDir(handle);
    auto* names = reply.As<QtSfsNames>();
    ASSERT_NE(names, nullptr);
    EXPECT_TRUE(names->m_endOfList);
    std::vector<std::u16string> got;
    for (QtSfsName* name : *names->m_names) {
        got.push_back(S(name->m_fileName));
        if (S(name->m_fileName) != u"..") {
            EXPECT_EQ(name->m_attrs->m_type, SfsType::Directory);
        }
    }
    EXPECT_EQ(got, (std::vector<std::u16string>{u"..", u"C", u"D", u"Q"}));
    QtSfsName* missing = names->m_names->At(3).get();
    EXPECT_EQ(missing->m_attrs->m_validAttrFlags, SfsAttrFlags::Size);  // the last fallback
    EXPECT_EQ(reply.Log(SfsLogType::Info),
              u"KilnSfsWin: Listed 4 entries in logical drives reaching Eof in the process.");

    Reply after = ReadDir(handle);
    EXPECT_EQ(after.Status(), SfsStatusCode::Eof);
    EXPECT_EQ(after.Log(SfsLogType::Warning),
              u"KilnSfsWin: Listing logical drives failed with Eof.");

    // The listing is counted and reported when input ends.
    size_t before = m_run->Logs().size();
    m_run->Host().Send(MakeRef<QtEof>());
    ASSERT_TRUE(m_run->Host().WaitForCount<QtSfsLog>(before + 1));
    EXPECT_EQ(S(m_run->Logs().back()->m_message),
              u"KilnSfsWin: Cleanup closed logical drives. Registered 1 successful operation. "
              u"Listed 4 entries in 1 operation.");
}
#endif

}  // namespace
}  // namespace kiln::KilnSfsWin::test
