// Queries reuse the attribute record of an unchanged inode and the stat of a
// handle's open, and the calls of one request the directories it resolved.
// Changes made through this process are seen at once, changes by others
// within the stated bounds, and nothing outside the root is ever reached.
#include <sys/mount.h>
#include <sys/xattr.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "files_test_support.h"
#include "platform/posix/files/file_object.h"
#include "platform/resolution_scope.h"

namespace kiln::platform::testing {
namespace {

class QueryCacheTest : public FilesTest {
  protected:
    void SetUp() override {
        FilesTest::SetUp();
        MakeDir("root");
        MakeDir("root/d");
        MakeDir("root/d/sub");
        MakeDir("root/other");
        MakeFile("root/d/f", "f");
        MakeFile("root/d/sub/f", "f");
        MakeFile("root/other/g", "g");
        MakeDir("outside");
        ASSERT_TRUE(SetConfinementRoot(Path("root").c_str()));
    }

    bool Exists(std::string_view relative) const {
        return GetFileAttributesW(Path(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::string mounted_;

    static void PassTheBound() { std::this_thread::sleep_for(2 * FileObject::kOpenStatLifetime); }

    // u::rw-, u:65534:r--, g::r--, m::r--, o::r--, in the kernel's form.
    void GiveNamedUserAcl(std::string_view relative) const {
        const unsigned char acl[] = {2,    0, 0, 0,                          //
                                     0x01, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                     0x02, 0, 4, 0, 0xFE, 0xFF, 0,    0,     //
                                     0x04, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                     0x10, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                     0x20, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(::setxattr(Disk(relative).c_str(), "system.posix_acl_access", acl, sizeof acl, 0),
                  0);
    }
};

TEST_F(QueryCacheTest, ChangesThroughThisProcessAreSeenAtOnce) {
    struct Case {
        const char* what;
        const char* warm;  // queried first, so that anything kept about it would be stale
        std::function<bool()> change;
        const char* gone;   // must be missing right after the change
        const char* found;  // must be there right after the change
    };
    const Case cases[] = {
        {"renamed directory", "root/d/f",
         [&] { return MoveFileExW(Path("root/d").c_str(), Path("root/e").c_str(), 0) != 0; },
         "root/d/f", "root/e/f"},
        {"directory removed and made again", "root/d/sub/f",
         [&] {
             return DeleteFileW(Path("root/d/sub/f").c_str()) &&
                    RemoveDirectoryW(Path("root/d/sub").c_str()) &&
                    CreateDirectoryW(Path("root/d/sub").c_str(), nullptr) &&
                    MoveFileExW(Path("root/other/g").c_str(), Path("root/d/sub/g").c_str(), 0);
         },
         "root/d/sub/f", "root/d/sub/g"},
        {"link replaced", "root/l/f",
         [&] {
             return DeleteFileW(Path("root/l").c_str()) &&
                    CreateSymbolicLinkW(Path("root/l").c_str(), u"other",
                                        SYMBOLIC_LINK_FLAG_DIRECTORY);
         },
         "root/l/f", "root/l/g"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        // All within one request, which keeps the directories it resolved.
        ResolutionScope request;
        ASSERT_EQ(::symlink("d", Disk("root/l").c_str()), 0);
        ASSERT_TRUE(Exists(c.warm));
        ASSERT_TRUE(c.change());
        EXPECT_FALSE(Exists(c.gone));
        EXPECT_TRUE(Exists(c.found));
    }
}

TEST_F(QueryCacheTest, ResolvedDirectoriesLastOneRequest) {
    // Another process stands in as direct system calls of the test.
    {
        ResolutionScope request;
        ASSERT_TRUE(Exists("root/d/f"));
        ASSERT_EQ(::rename(Disk("root/d").c_str(), Disk("outside/d").c_str()), 0);
        // The stated bound: a request keeps the directory it resolved. That
        // it does is what makes the rest of this test worth running.
        EXPECT_TRUE(Exists("root/d/f"));
    }
    {
        ResolutionScope request;
        EXPECT_FALSE(Exists("root/d/f"));
        ScopedHandle moved(Open(Path("root/d/f"), FILE_READ_ATTRIBUTES));
        EXPECT_FALSE(moved.valid());
    }
    // Outside a request nothing is kept at all.
    ASSERT_TRUE(Exists("root/other/g"));
    ASSERT_EQ(::rename(Disk("root/other").c_str(), Disk("outside/other").c_str()), 0);
    EXPECT_FALSE(Exists("root/other/g"));
}

TEST_F(QueryCacheTest, ARequestThatChangesNothingOpensItsObjectOnce) {
    auto index = [&](HANDLE handle) {
        BY_HANDLE_FILE_INFORMATION info{};
        EXPECT_TRUE(GetFileInformationByHandle(handle, &info));
        return (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    };
    const std::u16string f = Path("root/d/f");
    uint64_t first = 0;
    {
        ResolutionScope request(RequestKind::ChangesNothing);
        ASSERT_NE(GetFileAttributesW(f.c_str()), INVALID_FILE_ATTRIBUTES);
        // Another process puts a new file under the name: the request still
        // answers about the object it opened (the stated bound), through
        // every handle it opens and closes for it.
        ASSERT_EQ(::rename(Disk("root/other/g").c_str(), Disk("root/d/f").c_str()), 0);
        // However long the request takes.
        PassTheBound();
        for (DWORD access : {FILE_READ_ATTRIBUTES, READ_CONTROL | FILE_READ_ATTRIBUTES}) {
            ScopedHandle handle(Open(f, access));
            ASSERT_TRUE(handle.valid());
            const uint64_t seen = index(handle.get());
            if (first == 0) first = seen;
            EXPECT_EQ(seen, first);
            PSECURITY_DESCRIPTOR sd = nullptr;
            PSID owner = nullptr;
            if (access & READ_CONTROL) {
                EXPECT_EQ(GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &sd),
                          static_cast<DWORD>(ERROR_SUCCESS));
                LocalFree(sd);
            }
        }
    }
    ResolutionScope next(RequestKind::ChangesNothing);
    ScopedHandle handle(Open(f, FILE_READ_ATTRIBUTES));
    ASSERT_TRUE(handle.valid());
    EXPECT_NE(index(handle.get()), first);
}

TEST_F(QueryCacheTest, ChangesByOthersAreSeenWithinTheBound) {
    // Another process stands in as direct system calls of the test.
    ASSERT_TRUE(Exists("root/d/sub/f"));
    ASSERT_EQ(::rename(Disk("root/d").c_str(), Disk("outside/d").c_str()), 0);
    EXPECT_FALSE(Exists("root/d/sub/f"));
    EXPECT_FALSE(Exists("root/d/f"));
    ScopedHandle moved(Open(Path("root/d/f"), FILE_READ_ATTRIBUTES));
    EXPECT_FALSE(moved.valid());

    // The attribute record and the ACL are read again as soon as the inode
    // changed, without waiting for any bound.
    MakeFile("root/h", "h");
    const std::u16string h = Path("root/h");
    ASSERT_EQ(GetFileAttributesW(h.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    const unsigned char record[] = {1, FILE_ATTRIBUTE_SYSTEM, 0, 0, 0};
    ASSERT_EQ(::setxattr(Disk("root/h").c_str(), "user.kiln.attrib", record, sizeof record, 0), 0);
    EXPECT_EQ(GetFileAttributesW(h.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_SYSTEM));

    auto daclEntries = [&] {
        ScopedHandle handle(Open(h, READ_CONTROL));
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!handle.valid() ||
            GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
            return -1;
        ACL_SIZE_INFORMATION size{};
        GetAclInformation(dacl, &size, sizeof size, AclSizeInformation);
        LocalFree(sd);
        return static_cast<int>(size.AceCount);
    };
    const int plain = daclEntries();
    ASSERT_GT(plain, 0);
    GiveNamedUserAcl("root/h");
    EXPECT_GT(daclEntries(), plain);

    // A handle opened for attributes answers from its open for a moment only.
    ScopedHandle handle(Open(h, FILE_READ_ATTRIBUTES));
    ASSERT_TRUE(handle.valid());
    ASSERT_EQ(::chmod(Disk("root/h").c_str(), 0444), 0);
    PassTheBound();
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(GetFileInformationByHandle(handle.get(), &info));
    EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
}

// Whether the process holds a descriptor of the directory: a directory kept
// from one request to the next stays open.
bool HeldOpen(const std::string& disk) {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(fd.path(), error) == disk) return true;
    }
    return false;
}

TEST_F(QueryCacheTest, KeptDirectoriesFollowEveryChangeBetweenRequests) {
    // Each change is made by "another process" (direct system calls) between
    // two requests, after the first kept root/a/b/c; the second must see
    // exactly what the disk shows.
    struct Case {
        const char* what;
        std::function<bool()> change;  // false: not possible here (skipped)
    };
    auto mv = [&](const char* from, const char* to) {
        return ::rename(Disk(from).c_str(), Disk(to).c_str()) == 0;
    };
    const Case cases[] = {
        {"kept directory moved out", [&] { return mv("root/a/b/c", "outside/c"); }},
        {"its parent moved out", [&] { return mv("root/a/b", "outside/b"); }},
        {"the top ancestor moved out", [&] { return mv("root/a", "outside/a"); }},
        {"ancestor swapped for a tree from outside",
         [&] { return mv("root/a", "outside/old") && mv("outside/twin", "root/a"); }},
        {"kept directory removed and made anew",
         [&] {
             return ::unlink(Disk("root/a/b/c/f").c_str()) == 0 &&
                    ::rmdir(Disk("root/a/b/c").c_str()) == 0 &&
                    ::mkdir(Disk("root/a/b/c").c_str(), 0755) == 0 &&
                    (MakeFile("root/a/b/c/f", "anew"), true);
         }},
        {"a directory moved over the kept one",
         [&] {
             return ::unlink(Disk("root/a/b/c/f").c_str()) == 0 && mv("root/other", "root/a/b/c");
         }},
        {"a file system mounted on an ancestor",
         [&] {
             if (::mount("none", Disk("root/a/b").c_str(), "tmpfs", 0, nullptr) != 0) return false;
             mounted_ = Disk("root/a/b");
             return true;
         }},
        {"a directory moved within a file system mounted after the first request",
         [&] {
             if (::mount("none", Disk("root/a/b").c_str(), "tmpfs", 0, nullptr) != 0) return false;
             mounted_ = Disk("root/a/b");
             MakeDir("root/a/b/c");
             MakeFile("root/a/b/c/f", "mounted");
             {
                 ResolutionScope request;  // keeps the new c, under the same names
                 if (!Exists("root/a/b/c/f")) return false;
             }
             return mv("root/a/b/c", "root/a/b/moved");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        MakeDir("root/a");
        MakeDir("root/a/b");
        MakeDir("root/a/b/c");
        MakeFile("root/a/b/c/f", "inside");
        MakeFile("root/other/f", "other");
        for (const char* d : {"outside/twin", "outside/twin/b", "outside/twin/b/c"}) MakeDir(d);
        MakeFile("outside/twin/b/c/f", "twin");
        {
            ResolutionScope request;
            ASSERT_TRUE(Exists("root/a/b/c/f"));
        }
        // What makes the rest mean anything: the directory outlives the request.
        ASSERT_TRUE(HeldOpen(Disk("root/a/b/c")));
        if (!c.change()) {
            ADD_FAILURE() << "change not made: " << std::strerror(errno);
            continue;
        }
        ResolutionScope request;
        EXPECT_EQ(Exists("root/a/b/c/f"), OnDisk("root/a/b/c/f"));
        ScopedHandle file(Open(Path("root/a/b/c/f"), GENERIC_READ));
        char buffer[16];
        DWORD n = 0;
        const std::string read =
            file.valid() && ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)
                ? std::string(buffer, n)
                : "";
        EXPECT_EQ(read, Content("root/a/b/c/f"));
        if (!mounted_.empty()) ::umount(mounted_.c_str());
        mounted_.clear();
    }
}

TEST_F(QueryCacheTest, NoRequestSeesADirectoryThatWasOutsideForAllOfIt) {
    // Another thread moves root/x/y, then root/x, out of the root and back;
    // the count is odd while one of them is out. A request that began and
    // ended within one odd count never had the file inside the root.
    MakeDir("root/x");
    MakeDir("root/x/y");
    MakeFile("root/x/y/f", "f");
    std::atomic<unsigned> moves{0};
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        for (unsigned i = 0; !stop; ++i) {
            const std::string in = Disk(i % 2 ? "root/x" : "root/x/y");
            const std::string out = Disk(i % 2 ? "outside/x" : "outside/y");
            if (::rename(in.c_str(), out.c_str()) != 0) break;
            ++moves;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            ++moves;
            if (::rename(out.c_str(), in.c_str()) != 0) break;
        }
    });
    int whileOutside = 0, leaked = 0;
    for (int i = 0; i < 20000; ++i) {
        const unsigned before = moves;
        bool seen;
        {
            ResolutionScope request;
            seen = Exists("root/x/y/f");
        }
        if (before % 2 == 1 && moves == before) {
            ++whileOutside;
            leaked += seen;
        }
    }
    stop = true;
    racer.join();
    EXPECT_EQ(leaked, 0);
    EXPECT_GT(whileOutside, 0);
}

// What a handle answers about its object, field by field.
struct HandleAnswers {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    std::vector<BYTE> security;  // owner, group and DACL, self-relative

    static HandleAnswers Of(HANDLE handle) {
        HandleAnswers a;
        EXPECT_TRUE(GetFileInformationByHandle(handle, &a.info));
        EXPECT_TRUE(GetFileInformationByHandleEx(handle, FileBasicInfo, &a.basic, sizeof a.basic));
        EXPECT_TRUE(
            GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &a.tag, sizeof a.tag));
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_EQ(GetSecurityInfo(handle, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                      DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, nullptr, nullptr, &sd),
                  static_cast<DWORD>(ERROR_SUCCESS));
        if (sd) {
            const BYTE* bytes = static_cast<const BYTE*>(sd);
            a.security.assign(bytes, bytes + GetSecurityDescriptorLength(sd));
            LocalFree(sd);
        }
        return a;
    }
    bool operator==(const HandleAnswers& o) const {
        return std::memcmp(&info, &o.info, sizeof info) == 0 &&
               basic.CreationTime.QuadPart == o.basic.CreationTime.QuadPart &&
               basic.LastAccessTime.QuadPart == o.basic.LastAccessTime.QuadPart &&
               basic.LastWriteTime.QuadPart == o.basic.LastWriteTime.QuadPart &&
               basic.ChangeTime.QuadPart == o.basic.ChangeTime.QuadPart &&
               basic.FileAttributes == o.basic.FileAttributes &&
               tag.FileAttributes == o.tag.FileAttributes && tag.ReparseTag == o.tag.ReparseTag &&
               security == o.security;
    }
};

bool HasDescriptor(HANDLE handle) {
    auto file = LookupFileWithoutFd(handle);
    return file && file->HasFd();
}

TEST_F(QueryCacheTest, HandlesWithoutADescriptorAnswerAsOpenedOnes) {
    MakeFile("root/d/.dot", "x");
    MakeFile("root/d/acl", "x");
    ASSERT_TRUE(SetFileAttributesW(Path("root/d/f").c_str(),
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    GiveNamedUserAcl("root/d/acl");
    ASSERT_EQ(::symlink("d/f", Disk("root/l").c_str()), 0);
    const struct {
        const char* name;
        DWORD flags;
    } cases[] = {{"root/d/f", 0},
                 {"root/d/.dot", 0},
                 {"root/d/acl", 0},
                 {"root/d/sub", FILE_FLAG_BACKUP_SEMANTICS},
                 {"root/l", FILE_FLAG_OPEN_REPARSE_POINT}};
    constexpr DWORD kAccess = FILE_READ_ATTRIBUTES | READ_CONTROL;
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::u16string path = Path(c.name);
        // Reading a link moves its access time once: read it before the answers.
        ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
        ScopedHandle opened(Open(path, kAccess, kShareAll, OPEN_EXISTING, c.flags));
        ASSERT_TRUE(opened.valid());
        ASSERT_TRUE(HasDescriptor(opened.get()));
        const HandleAnswers expected = HandleAnswers::Of(opened.get());
        // Asked at once, and again when the stat of the open is too old to answer.
        for (bool late : {false, true}) {
            ResolutionScope request(RequestKind::ChangesNothing);
            ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
            ScopedHandle lazy(Open(path, kAccess, kShareAll, OPEN_EXISTING, c.flags));
            ASSERT_TRUE(lazy.valid());
            EXPECT_FALSE(HasDescriptor(lazy.get()));
            if (late) PassTheBound();
            EXPECT_TRUE(HandleAnswers::Of(lazy.get()) == expected);
            EXPECT_FALSE(HasDescriptor(lazy.get()));
        }
        // One that outlives its request leaves it with its descriptor.
        HANDLE kept;
        {
            ResolutionScope request(RequestKind::ChangesNothing);
            kept = Open(path, kAccess, kShareAll, OPEN_EXISTING, c.flags);
            ASSERT_NE(kept, INVALID_HANDLE_VALUE);
        }
        ScopedHandle closes(kept);
        EXPECT_TRUE(HasDescriptor(kept));
        EXPECT_TRUE(HandleAnswers::Of(kept) == expected);
    }
}

TEST_F(QueryCacheTest, ANameThatLeadsElsewhereBeforeTheDescriptorIsTakenIsRefused) {
    auto finalPath = [](HANDLE handle) {
        char16_t buffer[512];
        const DWORD n = GetFinalPathNameByHandleW(handle, buffer, 512, 0);
        return n == 0 || n >= 512 ? std::u16string() : std::u16string(buffer, n);
    };
    const struct {
        const char* what;
        const char* from;  // renamed or (to null) removed by another process
        const char* to;
        bool refused;
    } cases[] = {
        {"unchanged", nullptr, nullptr, false},
        {"replaced", "root/other/g", "root/d/f", true},
        {"removed", "root/d/f", nullptr, true},
        {"renamed", "root/d/f", "root/d/f2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const std::u16string f = Path("root/d/f");
        HANDLE handle;
        {
            ResolutionScope request(RequestKind::ChangesNothing);
            handle = Open(f, FILE_READ_ATTRIBUTES);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            ASSERT_FALSE(HasDescriptor(handle));
            if (c.from) {
                ASSERT_EQ(c.to ? ::rename(Disk(c.from).c_str(), Disk(c.to).c_str())
                               : ::unlink(Disk(c.from).c_str()),
                          0);
            }
            if (c.refused) {
                EXPECT_FAILS_WITH(!finalPath(handle).empty(), ERROR_FILE_NOT_FOUND);
            } else {
                EXPECT_EQ(finalPath(handle), u"\\\\?\\" + f);
            }
        }
        ScopedHandle closes(handle);
        // After the request the handle is what an opened one is: it follows
        // its object through a rename, or stays refused.
        if (c.refused) {
            EXPECT_FAILS_WITH(!finalPath(handle).empty(), ERROR_FILE_NOT_FOUND);
            BY_HANDLE_FILE_INFORMATION info;
            PassTheBound();
            EXPECT_FAILS_WITH(GetFileInformationByHandle(handle, &info), ERROR_FILE_NOT_FOUND);
        } else {
            ASSERT_EQ(::rename(Disk("root/d/f").c_str(), Disk("root/d/moved").c_str()), 0);
            EXPECT_EQ(finalPath(handle), u"\\\\?\\" + Path("root/d/moved"));
        }
    }
}

}  // namespace
}  // namespace kiln::platform::testing
