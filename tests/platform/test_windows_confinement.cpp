// Confinement of the Windows flavour: a path that leads out of the root
// through a link, or with "..", opens nothing; what lies inside opens.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/config_files.h"
#include "platform/win32.h"
#include "support/wine.h"

namespace {

std::u16string Wide(const std::filesystem::path& path) {
    std::u16string out;
    for (wchar_t c : path.wstring()) out += static_cast<char16_t>(c);
    return out;
}

class WindowsConfinement : public testing::Test {
  protected:
    void SetUp() override {
        base_ = std::filesystem::temp_directory_path() /
                ("kiln-confine-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::create_directories(base_ / "root" / "sub");
        std::filesystem::create_directories(base_ / "outside");
        std::ofstream(base_ / "outside" / "secret") << "secret";
        std::ofstream(base_ / "root" / "sub" / "mine") << "mine";
        ASSERT_TRUE(kiln::platform::SetConfinementRoot(Wide(base_ / "root").c_str()))
            << GetLastError();
    }
    void TearDown() override {
        kiln::platform::SetConfinementRoot(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }
    // A link inside the root; false where the system cannot make one.
    bool Link(const char* name, const std::filesystem::path& target, DWORD flags) {
        return CreateSymbolicLinkW(Wide(base_ / "root" / name).c_str(), Wide(target).c_str(),
                                   flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    }
    std::filesystem::path base_;
};

TEST_F(WindowsConfinement, OpensOnlyWhatLiesInsideTheRoot) {
    // Wine makes the links but does not follow a directory link inside a
    // path (ERROR_PATH_NOT_FOUND), where Windows does: there only the ".."
    // cases prove anything.
    const bool linked = !kiln::test::RunningUnderWine() &&
                        Link("out", base_ / "outside", SYMBOLIC_LINK_FLAG_DIRECTORY) &&
                        Link("in", base_ / "root" / "sub", SYMBOLIC_LINK_FLAG_DIRECTORY);
    struct Case {
        std::filesystem::path path;
        DWORD disposition;
        bool needsLinks;
        bool opens;
    };
    const std::filesystem::path root = base_ / "root";
    const Case cases[] = {
        {root / "sub" / "mine", OPEN_EXISTING, false, true},
        {root / "sub" / "new", CREATE_NEW, false, true},
        {root / "sub" / ".." / ".." / "outside" / "secret", OPEN_EXISTING, false, false},
        {root / ".." / "outside" / "planted", CREATE_NEW, false, false},
        {root / "in" / "mine", OPEN_EXISTING, true, true},
        {root / "out" / "secret", OPEN_EXISTING, true, false},
        {root / "out" / "secret", TRUNCATE_EXISTING, true, false},
        {root / "out" / "planted", CREATE_ALWAYS, true, false},
    };
    for (const Case& c : cases) {
        if (c.needsLinks && !linked) continue;
        SCOPED_TRACE(c.path.string());
        HANDLE h = CreateFileW(Wide(c.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               c.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << error;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (!c.opens) {
            EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
        }
    }
    std::ifstream secret(base_ / "outside" / "secret");
    std::string text;
    secret >> text;
    EXPECT_EQ(text, "secret");
    EXPECT_FALSE(std::filesystem::exists(base_ / "outside" / "planted"));
    if (!linked) GTEST_SKIP() << "no symbolic links followed here: only the \"..\" cases ran";
}

}  // namespace

#endif  // _WIN32
