// Confinement: nothing a path-based call touches may lie outside the
// confinement root, whatever links, '..' or concurrent renames say; links
// that stay inside keep working.
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "files_test_support.h"
#include "platform/posix/names/confinement.h"

namespace kiln::platform::testing {
namespace {

class ConfinementTest : public FilesTest {
  protected:
    void SetUp() override {
        FilesTest::SetUp();
        MakeDir("root");
        MakeDir("root/sub");
        MakeFile("root/inside", "inside");
        MakeDir("outside");
        MakeFile("outside/secret", "OUTSIDE");
        std::string out = Disk("outside");
        Link(out, "root/abs_out");                    // absolute, used mid-path
        Link("../outside", "root/rel_out");           // relative, used mid-path
        Link(out + "/secret", "root/final_abs");      // absolute, final component
        Link("../outside/secret", "root/final_rel");  // relative, final component
        Link("chain2", "root/chain1");                // a chain that ends outside
        Link("sub/../../outside", "root/chain2");
        Link(Disk("root/inside"), "root/in_abs");  // absolute, inside
        Link("sub/../inside", "root/in_rel");      // relative, inside
        Link(Disk("root/sub"), "root/in_dir");     // absolute directory link, inside
        ASSERT_TRUE(SetConfinementRoot(Path("root").c_str()));
    }

    void Link(const std::string& target, const std::string& name) {
        ASSERT_EQ(::symlink(target.c_str(), Disk(name).c_str()), 0);
    }

    bool IsTheSecret(const std::string& name) {
        struct stat a, b;
        return ::lstat(Disk(name).c_str(), &a) == 0 &&
               ::stat(Disk("outside/secret").c_str(), &b) == 0 && a.st_ino == b.st_ino;
    }

    // The outside is exactly as the test made it.
    void ExpectOutsideUntouched() {
        EXPECT_EQ(Content("outside/secret"), "OUTSIDE");
        struct stat st;
        ASSERT_EQ(::stat(Disk("outside/secret").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_EQ(st.st_nlink, 1u);
        size_t entries = 0;
        for (auto& entry : std::filesystem::directory_iterator(Disk("outside"))) {
            (void)entry;
            ++entries;
        }
        EXPECT_EQ(entries, 1u);
    }
};

TEST_F(ConfinementTest, EscapingPathsBehaveAsMissing) {
    const char* escapes[] = {"abs_out/secret", "rel_out/secret", "final_abs", "final_rel",
                             "chain1/secret"};
    for (const char* escape : escapes) {
        SCOPED_TRACE(escape);
        std::u16string path = Path(std::string("root/") + escape);
        EXPECT_EQ(OpenPathConfined(path.c_str(), true), -1);
        ScopedHandle read(Open(path, GENERIC_READ));
        EXPECT_FALSE(read.valid());
        DWORD error = GetLastError();
        EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
        ScopedHandle truncate(Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS));
        EXPECT_FALSE(truncate.valid());
        EXPECT_FALSE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        // Names act on the link itself at most (as Windows does with reparse
        // points), never on the file outside.
        CreateHardLinkW(Path("root/stolen").c_str(), path.c_str(), nullptr);
        EXPECT_FALSE(IsTheSecret("root/stolen"));
        ::unlink(Disk("root/stolen").c_str());
        if (MoveFileExW(path.c_str(), Path("root/moved").c_str(), 0)) {
            EXPECT_FALSE(IsTheSecret("root/moved"));
            ::rename(Disk("root/moved").c_str(), Disk(std::string("root/") + escape).c_str());
        }
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + u"\\*").c_str(), &data);
        EXPECT_EQ(find, INVALID_HANDLE_VALUE);
        if (find != INVALID_HANDLE_VALUE) FindClose(find);
    }
    // Through the links that lead a directory outside, names cannot be made
    // or removed there either.
    for (const char* dir : {"abs_out", "rel_out", "chain1"}) {
        SCOPED_TRACE(dir);
        std::string base = std::string("root/") + dir;
        EXPECT_FALSE(DeleteFileW(Path(base + "/secret").c_str()));
        EXPECT_FALSE(CreateDirectoryW(Path(base + "/newdir").c_str(), nullptr));
        EXPECT_FALSE(CreateSymbolicLinkW(Path(base + "/l").c_str(), u"x", 0));
        EXPECT_FALSE(MoveFileExW(Path("root/inside").c_str(), Path(base + "/planted").c_str(), 0));
        EXPECT_FALSE(
            CreateHardLinkW(Path(base + "/hl").c_str(), Path("root/inside").c_str(), nullptr));
        ScopedHandle created(Open(Path(base + "/new"), GENERIC_WRITE, 0, CREATE_NEW));
        EXPECT_FALSE(created.valid());
    }
    EXPECT_TRUE(OnDisk("root/inside"));
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, DotDotAndOtherVolumesStayOutOfReach) {
    struct Case {
        std::u16string path;
        DWORD error;
    };
    const Case cases[] = {
        {Path("root/../outside/secret"), ERROR_PATH_NOT_FOUND},  // folds to T:\outside\secret
        {Path("outside/secret"), ERROR_PATH_NOT_FOUND},
        {LongPath("root/../outside/secret"), ERROR_INVALID_NAME},
        {u"C:\\etc\\passwd", ERROR_PATH_NOT_FOUND},
        {Path("root2"), ERROR_PATH_NOT_FOUND},  // shares only a prefix with the root's name
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_FALSE(DeleteFileW(c.path.c_str()));
    }
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, LinksInsideKeepWorking) {
    for (const char* link : {"in_abs", "in_rel"}) {
        SCOPED_TRACE(link);
        ScopedHandle h(Open(Path(std::string("root/") + link), GENERIC_READ));
        ASSERT_TRUE(h.valid());
        char buffer[16];
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(std::string(buffer, n), "inside");
    }
    ASSERT_TRUE(CreateDirectoryW(Path("root/in_dir/made").c_str(), nullptr));
    EXPECT_TRUE(OnDisk("root/sub/made"));
    EXPECT_EQ(GetFileAttributesW(Path("root/in_dir").c_str()),
              FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    int fd = OpenPathConfined(Path("root/in_dir/made").c_str(), true);
    EXPECT_GE(fd, 0);
    ::close(fd);
    // The root itself and a symbolic link made through the API to a Windows
    // path inside it.
    ASSERT_TRUE(CreateSymbolicLinkW(Path("root/api_link").c_str(), Path("root/inside").c_str(), 0));
    ScopedHandle h(Open(Path("root/api_link"), GENERIC_READ));
    EXPECT_TRUE(h.valid());
    ScopedHandle rootHandle(Open(Path("root"), 0, 7, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(rootHandle.valid());
    EXPECT_FALSE(RemoveDirectoryW(Path("root").c_str()));
}

TEST_F(ConfinementTest, HardLinkToAFileOutsideIsImpossible) {
    // The existing name is a link to the outside file: at most the link
    // itself is linked again, never the file outside.
    CreateHardLinkW(Path("root/h1").c_str(), Path("root/final_abs").c_str(), nullptr);
    EXPECT_FALSE(
        CreateHardLinkW(Path("root/h2").c_str(), Path("root/abs_out/secret").c_str(), nullptr));
    ScopedHandle h(Open(Path("root/h1"), GENERIC_READ));
    EXPECT_FALSE(h.valid());
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, ConcurrentRenamesCannotLeadOutside) {
    // root/x/y/link -> ../../target reaches root/target while y sits in
    // root/x; moved to outside/deep/deeper/y it would reach outside/deep/target.
    MakeDir("root/x");
    MakeDir("root/x/y");
    MakeFile("root/target", "inside");
    MakeDir("outside/deep");
    MakeDir("outside/deep/deeper");
    MakeFile("outside/deep/target", "OUTSIDE");
    Link("../../target", "root/x/y/link");
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        std::string in = Disk("root/x/y"), out = Disk("outside/deep/deeper/y");
        while (!stop) {
            ::rename(in.c_str(), out.c_str());
            ::rename(out.c_str(), in.c_str());
        }
    });
    int opened = 0, leaked = 0;
    for (int i = 0; i < 20000; ++i) {
        ScopedHandle h(Open(Path("root/x/y/link"), GENERIC_READ));
        if (h.valid()) {
            ++opened;
            char buffer[16];
            DWORD n = 0;
            if (ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr) &&
                std::string(buffer, n) == "OUTSIDE")
                ++leaked;
        }
        DWORD attributes = GetFileAttributesW(Path("root/x/y/link/../target").c_str());
        (void)attributes;
    }
    stop = true;
    racer.join();
    EXPECT_EQ(leaked, 0);
    EXPECT_GT(opened, 0);
}

TEST_F(ConfinementTest, RefusalsHoldForAnUnprivilegedUser) {
    ::chmod(scratch_.c_str(), 0755);
    ::chmod(Disk("root").c_str(), 0755);
    MakeFile("root/private", "p");
    ::chmod(Disk("root/private").c_str(), 0600);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(100);
        HANDLE h = Open(Path("root/private"), GENERIC_READ);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) ++failures;
        if (CreateDirectoryW(Path("root/newdir").c_str(), nullptr) ||
            GetLastError() != ERROR_ACCESS_DENIED)
            ++failures;
        if (DeleteFileW(Path("root/inside").c_str()) || GetLastError() != ERROR_ACCESS_DENIED)
            ++failures;
        if (MoveFileExW(Path("root/inside").c_str(), Path("root/renamed").c_str(), 0)) ++failures;
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(OnDisk("root/inside"));
    EXPECT_FALSE(OnDisk("root/newdir"));
}

}  // namespace
}  // namespace kiln::platform::testing
