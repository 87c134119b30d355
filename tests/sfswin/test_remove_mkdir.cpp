// Remove, RmDir and MkDir on real files: the corrected statuses, the steps
// that follow a directory's creation and their partial remark, and requests
// that try to reach outside the root.
#include "dirops_support.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {
namespace {

using RemoveMkDirTest = DirOpsTest;

struct RemoveCase {
    const char* name;
    bool rmdir;  // RmDir, else Remove
    std::string target;
    SfsStatusCode status;
    bool gone;  // the object no longer exists afterwards
};

TEST_F(RemoveMkDirTest, RemoveAndRmDirStatusesAndCorrections) {
    MakeFile("file");
    MakeDir("dir");
    MakeDir("full");
    MakeFile("full/x");
    MakeFile("file2");
    MakeDir("dir2");
    Start();
    const RemoveCase cases[] = {
        {"Remove of a directory", false, "dir", SfsStatusCode::FileIsADirectory, false},
        {"RmDir of a file", true, "file", SfsStatusCode::NotADirectory, false},
        {"Remove of nothing", false, "missing", SfsStatusCode::NoSuchFile, true},
        {"RmDir of a full directory", true, "full", SfsStatusCode::DirNotEmpty, false},
        {"Remove of a file", false, "file2", SfsStatusCode::Ok, true},
        {"RmDir of an empty directory", true, "dir2", SfsStatusCode::Ok, true},
    };
    for (const RemoveCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string sfs = u"/" + U(c.target);
        Reply reply = c.rmdir ? RmDir(sfs) : Remove(sfs);
        EXPECT_EQ(reply.Status(), c.status);
        EXPECT_EQ(Exists(Disk(c.target)), !c.gone);
        const std::u16string what = c.rmdir ? u"directory '" : u"file '";
        if (c.status == SfsStatusCode::Ok) {
            EXPECT_EQ(reply.Log(SfsLogType::Info),
                      u"KilnSfsWin: Removed " + what + Win(c.target) + u"'.");
        } else {
            std::u16string log = reply.Log(SfsLogType::Error);
            std::u16string head =
                u"KilnSfsWin: Removing " + what + Win(c.target) + u"' failed with ";
            EXPECT_EQ(log.rfind(head, 0), 0u);
            EXPECT_NE(log.find(c.rmdir ? u". RemoveDirectory() failed: Windows error "
                                       : u". DeleteFile() failed: Windows error "),
                      std::u16string::npos);
        }
    }
    EXPECT_TRUE(Exists(Disk("full/x")));
}

TEST_F(RemoveMkDirTest, MkDirCreatesAndRefusesWhatExists) {
    MakeDir("old");
    MakeFile("old/keep");
    Start();
    Reply made = MkDir(u"/new");
    EXPECT_EQ(made.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(made.Log(SfsLogType::Info), u"KilnSfsWin: Created directory '" + Win("new") + u"'.");
    EXPECT_TRUE(std::filesystem::is_directory(Disk("new")));

    Reply again = MkDir(u"/old");
    EXPECT_EQ(again.Status(), SfsStatusCode::FileAlreadyExists);
    EXPECT_EQ(again.Log(SfsLogType::Error)
                  .rfind(u"KilnSfsWin: Creating directory '" + Win("old") +
                             u"' failed with FileAlreadyExists. "
                             u"CreateDirectory() failed: Windows error 183",
                         0),
              0u);
    EXPECT_TRUE(Exists(Disk("old/keep")));

    EXPECT_EQ(MkDir(u"/no/such/parent").Status(), SfsStatusCode::NoSuchPath);
}

TEST_F(RemoveMkDirTest, MkDirAppliesBitsAndTimesWithoutRemark) {
    Start();
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = SfsAttrFlags::Bits | SfsAttrFlags::ModifyTime;
    attrs->m_attrBitsValid = SfsAttrBits::Hidden | SfsAttrBits::ReadOnly;
    attrs->m_attrBits = SfsAttrBits::Hidden;  // read-only clear: nothing to change there
    attrs->m_modifyTime = 1'000'000'000;      // 2001-09-09
    Reply reply = MkDir(u"/marked", attrs);
    EXPECT_EQ(reply.Status(), SfsStatusCode::Ok);
    EXPECT_FALSE(reply.HasLog(SfsLogType::Warning));
    EXPECT_EQ(reply.Log(SfsLogType::Info),
              u"KilnSfsWin: Created directory '" + Win("marked") + u"'.");

    std::u16string call = Win("marked");
    DWORD attributes = GetFileAttributesW(call.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);
    struct stat st;
    ASSERT_EQ(::stat(Disk("marked").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1'000'000'000);
}

TEST_F(RemoveMkDirTest, MkDirThatCannotApplyEverythingStillSucceeds) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux mapping: this platform has no encryption (ERROR_NOT_SUPPORTED)";
#endif
    Start();
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = SfsAttrFlags::Bits;
    attrs->m_attrBitsValid = SfsAttrBits::Encrypted;
    attrs->m_attrBits = SfsAttrBits::Encrypted;  // encryption does not exist here
    Reply reply = MkDir(u"/secret", attrs);
    EXPECT_EQ(reply.Status(), SfsStatusCode::Ok);
    EXPECT_TRUE(std::filesystem::is_directory(Disk("secret")));
    EXPECT_EQ(reply.Log(SfsLogType::Warning)
                  .rfind(u"KilnSfsWin: Enabling encryption for newly created directory '" +
                             Win("secret") + u"' failed. EncryptFile() failed: Windows error 50",
                         0),
              0u);
    EXPECT_EQ(reply.Log(SfsLogType::Info), u"KilnSfsWin: Created directory '" + Win("secret") +
                                               u"'. Unable to apply all attributes.");
}

TEST_F(RemoveMkDirTest, MkDirGivesTheRequestedPermissions) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux mapping: permissions are POSIX modes";
#endif
    Start({{u"PosixPermissions", u"Yes"}});
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = SfsAttrFlags::Permissions;
    attrs->m_permissions = 0750;
    Reply reply = MkDir(u"/private", attrs);
    EXPECT_EQ(reply.Status(), SfsStatusCode::Ok);
    EXPECT_FALSE(reply.HasLog(SfsLogType::Warning));
    struct stat st;
    ASSERT_EQ(::stat(Disk("private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST_F(RemoveMkDirTest, NothingOutsideTheRootIsRemovedOrMade) {
    const std::string outside = m_outside.LinuxPath();
    std::ofstream(outside + "/victim") << "keep me";
    std::filesystem::create_directory(outside + "/victimdir");
    MakeLink(outside, "out");
    MakeLink(outside + "/victim", "victimlink");
    // The attempts below prove something only where the links lead out.
    ASSERT_EQ(ReadText(Disk("victimlink")), "keep me");
    ASSERT_TRUE(std::filesystem::is_directory(Disk("out/victimdir")));
    Start();

    struct Attempt {
        const char* name;
        std::function<Reply()> run;
    };
    const Attempt attempts[] = {
        {"Remove through a link", [&] { return Remove(u"/out/victim"); }},
        {"Remove with ..", [&] { return Remove(u"/../" + U(outside.substr(5)) + u"/victim"); }},
        {"RmDir through a link", [&] { return RmDir(u"/out/victimdir"); }},
        {"MkDir through a link", [&] { return MkDir(u"/out/planted"); }},
        {"MkDir with ..", [&] { return MkDir(u"/../planted"); }},
        {"RmDir of a link leading out", [&] { return RmDir(u"/out"); }},
    };
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.name);
        Reply reply = attempt.run();
        EXPECT_NE(reply.Status(), SfsStatusCode::Ok);
    }
    EXPECT_EQ(ReadText(outside + "/victim"), "keep me");
    EXPECT_TRUE(std::filesystem::is_directory(outside + "/victimdir"));
    EXPECT_FALSE(Exists(outside + "/planted"));
    EXPECT_FALSE(Exists(m_root.LinuxPath() + "/../planted"));

    // Removing the link itself is fine and leaves its target alone.
    KILN_SKIP_UNDER_WINE(
        "Wine opens a host link at the end of a path as what it leads to, even "
        "with FILE_FLAG_OPEN_REPARSE_POINT, so the link itself is refused as "
        "outside the root; Windows removes the link");
    EXPECT_EQ(Remove(u"/victimlink").Status(), SfsStatusCode::Ok);
    EXPECT_EQ(ReadText(outside + "/victim"), "keep me");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
