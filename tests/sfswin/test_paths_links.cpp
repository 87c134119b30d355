// RealPath, Rename, ReadLink and Link on real files, and the confinement of
// every one of them: no answer names, and no request reaches, anything
// outside the root.
#include <gmock/gmock.h>

#include "dirops_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

using PathsLinksTest = DirOpsTest;

bool EndsWith(std::u16string_view text, std::u16string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

TEST_F(PathsLinksTest, RealPathOfTheRootWithNoCheckNeverTouchesTheDisk) {
    Start();
    Reply reply = RealPath(u"/", SfsRealPath::NoCheck);
    auto* name = reply.As<QtSfsName>();
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(S(name->m_fileName), u"/");
    EXPECT_EQ(name->m_attrs->m_validAttrFlags, 0u);
    EXPECT_EQ(reply.Log(SfsLogType::Trace),
              u"KilnSfsWin: Queried real path for '" + m_root.WinPath() + u"'.");

    // Looking is what brings attributes, and an Info record: a success.
    Reply looked = RealPath(u"/", SfsRealPath::StatAlways);
    ASSERT_NE(looked.As<QtSfsName>(), nullptr);
    EXPECT_EQ(looked.As<QtSfsName>()->m_attrs->m_type, SfsType::Directory);
    EXPECT_EQ(looked.Log(SfsLogType::Info),
              u"KilnSfsWin: Queried real path with attributes for '" + m_root.WinPath() + u"'.");
}

struct RealPathCase {
    const char* name;
    std::u16string path;
    SfsRealPath control;
    SfsStatusCode status;  // Ok: a name comes back
    bool withAttrs;
    std::u16string log;  // the one record's text, with R for the root's Windows path
    SfsLogType logType;
};

TEST_F(PathsLinksTest, RealPathControlValues) {
    MakeFile("file", "12345");
    Start();
    const std::u16string R = m_root.WinPath();
    const RealPathCase cases[] = {
        {"StatIf of a file", u"/file", SfsRealPath::StatIf, SfsStatusCode::Ok, true,
         u"KilnSfsWin: Queried real path with attributes for '" + R + u"\\file'.",
         SfsLogType::Info},
        {"unknown control byte acts as StatIf", u"/file", static_cast<SfsRealPath>(9),
         SfsStatusCode::Ok, true,
         u"KilnSfsWin: Queried real path with attributes for '" + R + u"\\file'.",
         SfsLogType::Info},
        {"StatIf of nothing", u"/missing", SfsRealPath::StatIf, SfsStatusCode::Ok, false,
         u"KilnSfsWin: Queried real path for '" + R + u"\\missing'.", SfsLogType::Trace},
        {"NoCheck of nothing", u"/missing", SfsRealPath::NoCheck, SfsStatusCode::Ok, false,
         u"KilnSfsWin: Queried real path for '" + R + u"\\missing'.", SfsLogType::Trace},
        {"StatAlways of nothing", u"/missing", SfsRealPath::StatAlways, SfsStatusCode::NoSuchFile,
         false,
         u"KilnSfsWin: Querying real path for '" + R +
             u"\\missing' failed with NoSuchFile. Failed at reading basic path attributes. "
             u"GetFileAttributes() failed: Windows error 2: The system cannot find the file "
             u"specified.",
         SfsLogType::Error},
        {"StatAlways of a bad path", u"/a|b", SfsRealPath::StatAlways, SfsStatusCode::NoSuchPath,
         false,
         u"KilnSfsWin: Querying real path for '" + R +
             u"\\a|b' failed with NoSuchPath. Path is "
             u"invalid.",
         SfsLogType::Error},
        {"StatIf of a bad path", u"/x/../..", SfsRealPath::StatIf, SfsStatusCode::Ok, false,
         u"KilnSfsWin: Queried real path for '" + R + u"\\x\\..\\..'.", SfsLogType::Trace},
    };
    const bool wine = kiln::test::RunningUnderWine();
    for (const RealPathCase& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply = RealPath(c.path, c.control);
        if (wine) {
            EXPECT_EQ(kiln::test::BeforeErrorText(reply.Log(c.logType)),
                      kiln::test::BeforeErrorText(c.log));
        } else {
            EXPECT_EQ(reply.Log(c.logType), c.log);
        }
        if (c.status != SfsStatusCode::Ok) {
            EXPECT_EQ(reply.Status(), c.status);
            continue;
        }
        auto* name = reply.As<QtSfsName>();
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(S(name->m_fileName), c.path);  // as sent, never canonicalised
        if (c.withAttrs) {
            EXPECT_EQ(name->m_attrs->m_type, SfsType::Regular);
            EXPECT_EQ(name->m_attrs->m_size, 5u);
        } else {
            EXPECT_EQ(name->m_attrs->m_validAttrFlags, 0u);
        }
    }
    KILN_SKIP_UNDER_WINE(
        "its message for error 2 reads \"File not found.\", Windows' reads \"The "
        "system cannot find the file specified.\"");
}

TEST_F(PathsLinksTest, RealPathOfALinkDescribesTheLinkItself) {
    KILN_SKIP_UNDER_WINE(kiln::test::kWineShowsNoLinks);
    MakeFile("target");
    MakeLink(m_outside.LinuxPath(), "out");
    Start();
    Reply reply = RealPath(u"/out", SfsRealPath::StatAlways);
    auto* name = reply.As<QtSfsName>();
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->m_attrs->m_type, SfsType::Symlink);
}

TEST_F(PathsLinksTest, ComposePathsEndTheProvider) {
    Start();
    auto content = MakeRef<QtSfsRealPath>();
    content->m_originalPath = MakeStr(u"/");
    content->m_controlByte = SfsRealPath::NoCheck;
    content->m_composePaths = MakeRef<QtVectS<QtStr>>();
    content->m_composePaths->Append(MakeStr(u"x"));
    m_run->Host().Send(m_run->MakeRequest(SfsRequest::RealPath, content));
    RunOutcome outcome = m_run->Finish();
    EXPECT_EQ(outcome.kind, RunOutcome::Kind::Exit);
    EXPECT_EQ(
        outcome.text,
        WString(u"KilnSfsWin: Received unexpected ComposePaths in SfsRequest.RealPath packet"));
}

TEST_F(PathsLinksTest, RenameWithAndWithoutOverwrite) {
    MakeFile("a", "from a");
    MakeFile("b", "was b");
    Start();
    Reply refused = Rename(u"/a", u"/b", 0);
    EXPECT_EQ(refused.Status(), SfsStatusCode::FileAlreadyExists);
    EXPECT_EQ(refused.Log(SfsLogType::Error)
                  .rfind(u"KilnSfsWin: Moving '" + Win("a") + u"' to '" + Win("b") +
                             u"' failed with FileAlreadyExists. "
                             u"MoveFileEx() failed: ",
                         0),
              0u);
    EXPECT_EQ(ReadText(Disk("b")), "was b");

    Reply replaced = Rename(u"/a", u"/b", SfsRenameFlags::Overwrite | SfsRenameFlags::Atomic);
    EXPECT_EQ(replaced.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(replaced.Log(SfsLogType::Info),
              u"KilnSfsWin: Moved '" + Win("a") + u"' to '" + Win("b") + u"'.");
    EXPECT_EQ(ReadText(Disk("b")), "from a");
    EXPECT_FALSE(Exists(Disk("a")));

    EXPECT_EQ(Rename(u"/a", u"/c", 0).Status(), SfsStatusCode::NoSuchFile);
}

TEST_F(PathsLinksTest, RenameNeitherIntoNorOutOfTheRoot) {
    const std::string outside = m_outside.LinuxPath();
    std::ofstream(outside + "/secret") << "outside";
    MakeFile("mine", "inside");
    MakeLink(outside, "out");
    Start();
    const std::u16string up = u"/../" + U(outside.substr(5));
    struct Attempt {
        std::u16string from, to;
    };
    const Attempt attempts[] = {
        {u"/out/secret", u"/stolen"},
        {up + u"/secret", u"/stolen"},
        {u"/mine", u"/out/planted"},
        {u"/mine", up + u"/planted"},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(N(a.from + u" -> " + a.to));
        for (uint32_t flags : {0u, SfsRenameFlags::Overwrite}) {
            Reply reply = Rename(a.from, a.to, flags);
            EXPECT_NE(reply.Status(), SfsStatusCode::Ok);
        }
    }
    EXPECT_EQ(ReadText(outside + "/secret"), "outside");
    EXPECT_FALSE(Exists(outside + "/planted"));
    EXPECT_FALSE(Exists(Disk("stolen")));
    EXPECT_EQ(ReadText(Disk("mine")), "inside");
}

// A link keeps the text it was made with, whoever made it; READLINK answers a
// relative text as it is and an absolute one in the client's view, dangling
// or not, and nothing for a text that leads out of the root.
TEST_F(PathsLinksTest, LinksKeepTheirTextAndReadBackInsideOnly) {
    KILN_SKIP_UNDER_WINE(kiln::test::kWineShowsNoLinks);
    MakeDir("sub");
    MakeFile("sub/f");
    MakeFile("plain");
    const std::string outside = m_outside.LinuxPath();
    const std::string outsideName = outside.substr(outside.rfind('/') + 1);
    struct Case {
        const char* link;        // below the root
        const char* diskTarget;  // made on disk with this text; null: made by request
        std::u16string requested;
        std::string storedText;  // the text on disk afterwards ("" when refused)
        SfsStatusCode status;    // of READLINK (of LINK when refused)
        std::u16string answer;
    };
    const std::string up = "../" + outsideName + "/secret";
    const Case cases[] = {
        {"rel", "sub/f", u"", "sub/f", SfsStatusCode::Ok, u"sub/f"},
        {"sub/up", "../plain", u"", "../plain", SfsStatusCode::Ok, u"../plain"},
        {"dots", "./sub/../plain", u"", "./sub/../plain", SfsStatusCode::Ok, u"./sub/../plain"},
        {"abs", nullptr, u"", "", SfsStatusCode::Ok, u"/sub"},  // text set below
        {"dangling", "sub/none", u"", "sub/none", SfsStatusCode::Ok, u"sub/none"},
        {"outrel", up.c_str(), u"", up, SfsStatusCode::NoSuchPath, u""},
        {"out", nullptr, u"", "", SfsStatusCode::NoSuchPath, u""},  // text set below
        {"srel", nullptr, u"sub/f", "sub/f", SfsStatusCode::Ok, u"sub/f"},
        {"sub/sup", nullptr, u"../plain", "../plain", SfsStatusCode::Ok, u"../plain"},
        {"sabs", nullptr, u"/sub/f", Disk("sub/f"), SfsStatusCode::Ok, u"/sub/f"},
        {"sdang", nullptr, u"none/x", "none/x", SfsStatusCode::Ok, u"none/x"},
        {"sub/sout", nullptr, u"../../x", "", SfsStatusCode::NoSuchPath, u""},
    };
    MakeLink(Disk("sub"), "abs");
    MakeLink(outside + "/secret", "out");
    for (const Case& c : cases)
        if (c.diskTarget) MakeLink(c.diskTarget, c.link);
    Start();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        const std::u16string sfs = u"/" + U(c.link);
        if (!c.requested.empty()) {
            Reply made = Link(sfs, c.requested, true);
            if (c.storedText.empty()) {
                EXPECT_EQ(made.Status(), SfsStatusCode::NoSuchPath);
                EXPECT_TRUE(EndsWith(made.Log(SfsLogType::Error),
                                     u" Existing path points outside this provider."));
                EXPECT_FALSE(Exists(Disk(c.link)));
                continue;
            }
            ASSERT_EQ(made.Status(), SfsStatusCode::Ok);
        }
        if (!c.storedText.empty()) {
            std::error_code error;
            EXPECT_EQ(std::filesystem::read_symlink(Disk(c.link), error).string(), c.storedText);
        }
        Reply reply = ReadLink(sfs);
        if (c.status != SfsStatusCode::Ok) {
            EXPECT_EQ(reply.Status(), c.status);
            EXPECT_EQ(reply.StatusText().find(U(outsideName)), std::u16string::npos);
            EXPECT_TRUE(EndsWith(reply.Log(SfsLogType::Error),
                                 u"failed with NoSuchPath.  Resolved path points outside this "
                                 u"provider."));
            continue;
        }
        auto* name = reply.As<QtSfsName>();
        ASSERT_NE(name, nullptr) << static_cast<int>(reply.Status());
        EXPECT_EQ(S(name->m_fileName), c.answer);
        EXPECT_EQ(name->m_attrs->m_validAttrFlags, 0u);
        std::u16string shown = c.answer[0] == u'/' ? Win(N(c.answer).substr(1)) : c.answer;
        for (char16_t& ch : shown)
            if (ch == u'/') ch = u'\\';
        EXPECT_EQ(reply.Log(SfsLogType::Info), u"KilnSfsWin: Resolved symbolic link '" +
                                                   Win(c.link) + u"' to '" + shown + u"'.");
    }
    Reply plain = ReadLink(u"/plain");
    EXPECT_EQ(plain.Status(), SfsStatusCode::Failure);
    EXPECT_EQ(plain.StatusText(), u"The path specified is not a symbolic link.");
    EXPECT_EQ(plain.Log(SfsLogType::Error),
              u"KilnSfsWin: Resolving symbolic link '" + Win("plain") +
                  u"' failed. The path specified is not a symbolic link.");
    EXPECT_EQ(ReadLink(u"/missing").Status(), SfsStatusCode::NoSuchFile);
}

TEST_F(PathsLinksTest, SymbolicLinksToFilesDirectoriesAndNothing) {
    KILN_SKIP_UNDER_WINE(kiln::test::kWineMakesNoLinks);
    MakeDir("dir");
    MakeFile("file", "contents");
    Start();
    struct Case {
        const char16_t* link;
        const char16_t* target;
        std::u16string targetWord;
        bool warning;
    };
    const Case cases[] = {
        {u"/ldir", u"/dir", u" directory", false},
        {u"/lfile", u"/file", u" file", false},
        {u"/lnone", u"/none", u" file", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(N(c.link));
        Reply reply = Link(c.link, c.target, true);
        EXPECT_EQ(reply.Status(), SfsStatusCode::Ok);
        std::string relative;
        for (const char16_t* ch = c.link + 1; *ch; ++ch) relative += static_cast<char>(*ch);
        EXPECT_TRUE(std::filesystem::is_symlink(Disk(relative)));
        std::u16string winLink = m_root.WinPath() + std::u16string(c.link);
        std::u16string winTarget = m_root.WinPath() + std::u16string(c.target);
        for (auto* p : {&winLink, &winTarget})
            for (char16_t& ch : *p)
                if (ch == u'/') ch = u'\\';
        EXPECT_EQ(reply.Log(SfsLogType::Info),
                  u"KilnSfsWin: Created symbolic link '" + winLink + u"' to" + c.targetWord +
                      u" '" + winTarget + u"'." +
                      (c.warning ? u" Warning: failed to query target path type." : u""));
        if (c.warning) {
            EXPECT_EQ(reply.Log(SfsLogType::Warning)
                          .rfind(u"KilnSfsWin: Querying file type for symbolic link target '" +
                                     winLink + u"' failed. GetFileAttributes() failed: ",
                                 0),
                      0u);
        }
    }
    EXPECT_EQ(ReadText(Disk("lfile")), "contents");
    Reply back = ReadLink(u"/ldir");
    ASSERT_NE(back.As<QtSfsName>(), nullptr);
    EXPECT_EQ(S(back.As<QtSfsName>()->m_fileName), u"/dir");

    // Existing names are not replaced.
    EXPECT_EQ(Link(u"/lfile", u"/dir", true).Status(), SfsStatusCode::FileAlreadyExists);
}

TEST_F(PathsLinksTest, HardLinksShareTheFile) {
    MakeFile("file", "shared");
    MakeDir("dir");
    Start();
    Reply reply = Link(u"/hard", u"/file", false);
    EXPECT_EQ(reply.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(reply.Log(SfsLogType::Info),
              u"KilnSfsWin: Created hard link '" + Win("hard") + u"' to '" + Win("file") + u"'.");
    std::optional<DiskFacts> a = ReadDiskFacts(Disk("file")), b = ReadDiskFacts(Disk("hard"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, b->id);
    EXPECT_EQ(a->links, 2u);

    Reply ofDir = Link(u"/hdir", u"/dir", false);
    EXPECT_NE(ofDir.Status(), SfsStatusCode::Ok);
    EXPECT_EQ(ofDir.Log(SfsLogType::Error)
                  .rfind(u"KilnSfsWin: Creating hard link '" + Win("hdir") + u"' to '" +
                             Win("dir") + u"' failed",
                         0),
              0u);
}

TEST_F(PathsLinksTest, LinksGiveNoWayOut) {
    const std::string outside = m_outside.LinuxPath();
    std::ofstream(outside + "/secret") << "outside";
    MakeLink(outside + "/secret", "out");
    MakeLink(outside, "outdir");
    Start();
    const std::u16string up = u"/../" + U(outside.substr(5));

    // Nothing outside can be named as a target or as the place of a link.
    for (bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic ? "symbolic" : "hard");
        EXPECT_EQ(Link(u"/l1", up + u"/secret", symbolic).Status(), SfsStatusCode::NoSuchPath);
        EXPECT_NE(Link(u"/outdir/planted", u"/out", symbolic).Status(), SfsStatusCode::Ok);
        // A hard link would be the outside file itself: refused.
        if (!symbolic) {
            EXPECT_NE(Link(u"/l2", u"/outdir/secret", false).Status(), SfsStatusCode::Ok);
        }
    }
    EXPECT_FALSE(Exists(outside + "/planted"));

    // A hard link to a link that leads out is at most a second such link, not
    // the outside file itself.
    Link(u"/hard", u"/out", false);
    std::optional<DiskFacts> secret = ReadDiskFacts(outside + "/secret");
    ASSERT_TRUE(secret);
    if (std::optional<DiskFacts> hard = ReadDiskFacts(Disk("hard"), false)) {
        EXPECT_NE(hard->id, secret->id);
    }

    // A symbolic link made by request to a name that leads out leads nowhere;
    // reading it gives back only the client's own text.
    KILN_SKIP_UNDER_WINE(kiln::test::kWineMakesNoLinks);
    EXPECT_EQ(Link(u"/viaLink", u"/outdir/secret", true).Status(), SfsStatusCode::Ok);
    Reply text = ReadLink(u"/viaLink");
    ASSERT_NE(text.As<QtSfsName>(), nullptr);
    EXPECT_EQ(S(text.As<QtSfsName>()->m_fileName), u"/outdir/secret");
    for (const char16_t* path : {u"/viaLink", u"/hard", u"/out"}) {
        SCOPED_TRACE(N(path));
        if (std::u16string_view(path) != u"/viaLink") {
            Reply reply = ReadLink(path);
            EXPECT_TRUE(reply.IsStatus());
            EXPECT_EQ(reply.As<QtSfsName>(), nullptr);
        }
        EXPECT_EQ(OpenDir(path).As<QtSfsHandle>(), nullptr);
        Reply real = RealPath(path, SfsRealPath::StatAlways);
        if (auto* name = real.As<QtSfsName>()) {
            EXPECT_EQ(name->m_attrs->m_type, SfsType::Symlink);  // the link, not the secret
        }
    }
    EXPECT_EQ(ReadText(outside + "/secret"), "outside");
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
