// Confinement of the Windows flavour: every path-taking call the provider
// makes refuses, as a path that does not exist, a path that leads out of the
// root through a link or with "..", and changes nothing there; what lies
// inside works, links that stay inside included.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "platform/config_files.h"
#include "platform/win32.h"
#include "support/wine.h"

namespace {

namespace fs = std::filesystem;

std::u16string Wide(const fs::path& path) {
    std::u16string out;
    for (wchar_t c : path.wstring()) out += static_cast<char16_t>(c);
    return out;
}

// A symbolic link made outside any confinement; false where the system
// cannot make one (Windows without the privilege or developer mode).
bool Link(const fs::path& link, const fs::path& target, bool directory) {
    if (!kiln::test::RunningUnderWine())
        return ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                     (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                                         SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    return kiln::test::MakeHostLink(link, kiln::test::HostName(target));
}

// Removes a tree without following the links in it; Wine's own calls would
// act on where they lead.
void RemoveTree(const fs::path& dir) {
    std::error_code ignored;
    if (kiln::test::RunningUnderWine()) {
        kiln::test::RemoveHostTree(dir);
        return;
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir, ignored))
        ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(dir, ignored);
}

// Names, sizes and attributes of everything in a tree, to see that a refused
// call changed nothing.
std::map<std::wstring, std::pair<uintmax_t, DWORD>> Snapshot(const fs::path& dir) {
    std::map<std::wstring, std::pair<uintmax_t, DWORD>> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const DWORD attributes = ::GetFileAttributesW(entry.path().c_str());
        out[entry.path().wstring()] = {entry.is_regular_file() ? entry.file_size() : 0, attributes};
    }
    return out;
}

class WindowsConfinement : public testing::Test {
  protected:
    void SetUp() override {
        base_ =
            fs::temp_directory_path() / ("kiln-confine-" + std::to_string(GetCurrentProcessId()));
        root_ = base_ / "root";
        Reset();
    }
    void TearDown() override {
        kiln::platform::SetConfinementRoot(nullptr);
        RemoveTree(base_);
    }
    // The same things inside the root and outside it, and a spare file in
    // the root to move and link.
    void Reset() {
        TearDown();
        for (const fs::path& dir : {root_ / "sub", base_ / "outside"}) {
            fs::create_directories(dir / "vdir");
            std::ofstream(dir / "victim") << "victim";
        }
        std::ofstream(root_ / "spare") << "spare";
        ASSERT_TRUE(kiln::platform::SetConfinementRoot(Wide(root_).c_str())) << GetLastError();
    }

    fs::path base_;
    fs::path root_;
};

// What a call does with a final link named "victim".
enum class AtLink {
    Elsewhere,  // acts on another name
    OnLink,     // acts on the link itself
    Through,    // acts on where the link leads
};

// A call on a name in a directory, mostly the file "victim" in it; true when
// it succeeded, with the last error as the call left it otherwise.
struct Call {
    const char* name;
    std::function<bool(const fs::path& dir, const fs::path& root)> run;
    AtLink atLink;
};

HANDLE Open(const fs::path& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       disposition, flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}
bool Opened(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

const Call kCalls[] = {
    {"DeleteFileW", [](auto& d, auto&) { return DeleteFileW(Wide(d / "victim").c_str()) != 0; },
     AtLink::OnLink},

    {"RemoveDirectoryW",
     [](auto& d, auto&) { return RemoveDirectoryW(Wide(d / "vdir").c_str()) != 0; },
     AtLink::Elsewhere},

    {"CreateDirectoryW",
     [](auto& d, auto&) { return CreateDirectoryW(Wide(d / "made").c_str(), nullptr) != 0; },
     AtLink::Elsewhere},

    {"MoveFileExW from",
     [](auto& d, auto& r) {
         return MoveFileExW(Wide(d / "victim").c_str(), Wide(r / "moved").c_str(), 0) != 0;
     },
     AtLink::OnLink},

    {"MoveFileExW to",
     [](auto& d, auto& r) {
         return MoveFileExW(Wide(r / "spare").c_str(), Wide(d / "moved").c_str(),
                            MOVEFILE_REPLACE_EXISTING) != 0;
     },
     AtLink::Elsewhere},

    {"CreateHardLinkW new name",
     [](auto& d, auto& r) {
         return CreateHardLinkW(Wide(d / "hard").c_str(), Wide(r / "spare").c_str(), nullptr) != 0;
     },
     AtLink::Elsewhere},

    {"CreateHardLinkW existing",
     [](auto& d, auto& r) {
         return CreateHardLinkW(Wide(r / "hard").c_str(), Wide(d / "victim").c_str(), nullptr) != 0;
     },
     AtLink::Through},

    {"CreateSymbolicLinkW",
     [](auto& d, auto&) {
         return CreateSymbolicLinkW(Wide(d / "sym").c_str(), u"victim",
                                    SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
     },
     AtLink::Elsewhere},

    {"FindFirstFileW",
     [](auto& d, auto&) {
         WIN32_FIND_DATAW data{};
         HANDLE find = FindFirstFileW(Wide(d / "*").c_str(), &data);
         if (find == INVALID_HANDLE_VALUE) return false;
         FindClose(find);
         return true;
     },
     AtLink::Elsewhere},

    {"GetFileAttributesW",
     [](auto& d, auto&) {
         return GetFileAttributesW(Wide(d / "victim").c_str()) != INVALID_FILE_ATTRIBUTES;
     },
     AtLink::OnLink},

    {"GetFileAttributesExW",
     [](auto& d, auto&) {
         WIN32_FILE_ATTRIBUTE_DATA data{};
         return GetFileAttributesExW(Wide(d / "victim").c_str(), GetFileExInfoStandard, &data) != 0;
     },
     AtLink::OnLink},

    {"SetFileAttributesW",
     [](auto& d, auto&) {
         return SetFileAttributesW(Wide(d / "victim").c_str(), FILE_ATTRIBUTE_READONLY) != 0;
     },
     AtLink::Through},

    {"GetNamedSecurityInfoW",
     [](auto& d, auto&) {
         PSECURITY_DESCRIPTOR descriptor = nullptr;
         const DWORD error = GetNamedSecurityInfoW(Wide(d / "victim").c_str(), SE_FILE_OBJECT,
                                                   OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                                                   nullptr, nullptr, &descriptor);
         if (descriptor) LocalFree(descriptor);
         SetLastError(error);
         return error == ERROR_SUCCESS;
     },
     AtLink::Through},

    {"SetNamedSecurityInfoW",
     [](auto& d, auto& r) {
         // The DACL the spare file has, so that success changes nothing else.
         PACL dacl = nullptr;
         PSECURITY_DESCRIPTOR descriptor = nullptr;
         if (::GetNamedSecurityInfoW((r / "spare").c_str(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                     &descriptor) != ERROR_SUCCESS)
             return false;
         std::u16string name = Wide(d / "victim");
         const DWORD error =
             SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, dacl, nullptr);
         LocalFree(descriptor);
         SetLastError(error);
         return error == ERROR_SUCCESS;
     },
     AtLink::Through},

    {"CreateFileW OPEN_EXISTING",
     [](auto& d, auto&) { return Opened(Open(d / "victim", GENERIC_READ, OPEN_EXISTING)); },
     AtLink::Through},

    {"CreateFileW TRUNCATE_EXISTING",
     [](auto& d, auto&) { return Opened(Open(d / "victim", GENERIC_WRITE, TRUNCATE_EXISTING)); },
     AtLink::Through},

    {"CreateFileW CREATE_NEW",
     [](auto& d, auto&) { return Opened(Open(d / "made", GENERIC_WRITE, CREATE_NEW)); },
     AtLink::Elsewhere},

    {"CreateFileW DELETE_ON_CLOSE",
     [](auto& d, auto&) {
         return Opened(Open(d / "victim", DELETE, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE));
     },
     AtLink::Through},
};

// Runs every call on a directory reached one way or another; outside the
// root each must fail as a path that does not exist and leave everything
// there as it was.
class WindowsConfinementVia : public WindowsConfinement {
  protected:
    void CheckEveryCall(const char* via, const std::function<fs::path()>& reach, bool inside) {
        for (const Call& call : kCalls) {
            Reset();
            const fs::path dir = reach();
            SCOPED_TRACE(std::string(call.name) + " through " + via);
            const auto before = Snapshot(base_ / "outside");
            const bool succeeded = call.run(dir, root_);
            const DWORD error = GetLastError();
            EXPECT_EQ(succeeded, inside) << error;
            if (!inside) {
                EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                    << error;
                EXPECT_EQ(Snapshot(base_ / "outside"), before);
            }
        }
    }
};

TEST_F(WindowsConfinementVia, PlainNamesAndDotDot) {
    CheckEveryCall(
        "a plain name", [&] { return root_ / "sub"; }, true);
    CheckEveryCall(
        "\"..\" out of the root", [&] { return root_ / "sub" / ".." / ".." / "outside"; }, false);
}

TEST_F(WindowsConfinementVia, DirectoryLinksInTheMiddle) {
    if (!Link(root_ / "probe", root_ / "sub", true))
        GTEST_SKIP() << "this system makes no symbolic links for this user";
    CheckEveryCall(
        "a link staying inside",
        [&] {
            EXPECT_TRUE(Link(root_ / "in", root_ / "sub", true));
            return root_ / "in";
        },
        true);
    CheckEveryCall(
        "a link leading out",
        [&] {
            EXPECT_TRUE(Link(root_ / "out", base_ / "outside", true));
            return root_ / "out";
        },
        false);
    CheckEveryCall(
        "an absolute link to the root's parent",
        [&] {
            EXPECT_TRUE(Link(root_ / "up", base_, true));
            return root_ / "up" / "outside";
        },
        false);
}

TEST_F(WindowsConfinement, AFinalLinkLeadingOutIsNotFollowed) {
    if (!Link(root_ / "probe", root_ / "spare", false))
        GTEST_SKIP() << "this system makes no symbolic links for this user";
    // Wine takes a host link at the end of a path for what it leads to, even
    // with FILE_FLAG_OPEN_REPARSE_POINT: there the calls on the link itself
    // would reach the target, and are refused like the others.
    const bool linksAreTargets = kiln::test::RunningUnderWine();
    for (const Call& call : kCalls) {
        Reset();
        // A link takes the place of "victim" in the directory.
        fs::remove(root_ / "sub" / "victim");
        ASSERT_TRUE(Link(root_ / "sub" / "victim", base_ / "outside" / "victim", false));
        SCOPED_TRACE(call.name);
        const auto before = Snapshot(base_ / "outside");
        const bool succeeded = call.run(root_ / "sub", root_);
        const DWORD error = GetLastError();
        const bool allowed =
            call.atLink == AtLink::Elsewhere || (call.atLink == AtLink::OnLink && !linksAreTargets);
        EXPECT_EQ(succeeded, allowed) << error;
        if (!allowed) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        }
        EXPECT_EQ(Snapshot(base_ / "outside"), before);
    }
}

TEST_F(WindowsConfinement, ALinkLeadingNowhereOutsideCreatesNothingThere) {
    // Windows opens such a link as itself, and confinement refuses to follow
    // it. Wine neither lists nor opens a host link that leads nowhere, yet
    // creates its target when asked to: there is nothing to check it by.
    KILN_SKIP_UNDER_WINE(
        "a host link that leads nowhere is neither listed nor opened, yet "
        "followed when a file is created through it");
    if (!Link(root_ / "probe", root_ / "spare", false))
        GTEST_SKIP() << "this system makes no symbolic links for this user";
    ASSERT_TRUE(Link(root_ / "sub" / "planted", base_ / "outside" / "planted", false));
    for (DWORD disposition : {OPEN_ALWAYS, CREATE_ALWAYS}) {
        SCOPED_TRACE(disposition);
        HANDLE h = CreateFileW(Wide(root_ / "sub" / "planted").c_str(), GENERIC_WRITE, 0, nullptr,
                               disposition, 0, nullptr);
        const DWORD error = GetLastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(fs::exists(base_ / "outside" / "planted"));
    }
}

TEST_F(WindowsConfinement, TheRootAndWhatLiesAboveItAreOutOfReach) {
    struct Case {
        const char* what;
        std::function<bool()> run;
    };
    const fs::path root = root_;
    const Case cases[] = {
        {"removing the root", [&] { return RemoveDirectoryW(Wide(root).c_str()) != 0; }},
        {"renaming the root",
         [&] { return MoveFileExW(Wide(root).c_str(), Wide(root / "sub" / "r").c_str(), 0) != 0; }},
        {"a name ending in \"..\" after \\\\?\\",
         [&] { return DeleteFileW((u"\\\\?\\" + Wide(root / "sub" / "..")).c_str()) != 0; }},
        {"a relative name above the root",
         [&] {
             const fs::path previous = fs::current_path();
             fs::current_path(root / "sub");
             const bool made = CreateDirectoryW(u"..\\..\\planted", nullptr) != 0;
             const DWORD error = GetLastError();
             fs::current_path(previous);
             SetLastError(error);
             return made;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool succeeded = c.run();
        const DWORD error = GetLastError();
        EXPECT_FALSE(succeeded);
        EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
    }
    EXPECT_TRUE(fs::is_directory(root_ / "sub"));
    EXPECT_FALSE(fs::exists(base_ / "planted"));
}

}  // namespace

#endif  // _WIN32
