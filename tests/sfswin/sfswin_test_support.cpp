#include "sfswin_test_support.h"

#include <cstdlib>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/wine.h"

namespace kiln::KilnSfsWin::test {

#ifdef _WIN32
// Windows: a fresh folder in the user's temporary directory; both paths are
// the Windows one (the file functions take "/" as well as "\\").
TempRoot::TempRoot() {
    static unsigned serial = 0;
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (;;) {
        std::filesystem::path candidate =
            base / ("kiln-sfswin-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(++serial));
        if (std::filesystem::create_directory(candidate, error) || error) {
            EXPECT_FALSE(error) << error.message();
            m_linuxPath = candidate.string();
            break;
        }
    }
    for (char c : m_linuxPath) m_winPath += static_cast<char16_t>(c);
}
#else
TempRoot::TempRoot() {
    char pattern[] = "/tmp/kiln-sfswin-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    m_linuxPath = made ? made : "/tmp";
    m_winPath = u"C:";
    for (char c : m_linuxPath) m_winPath += c == '/' ? u'\\' : static_cast<char16_t>(c);
}
#endif

TempRoot::~TempRoot() {
#ifdef _WIN32
    // Wine would follow the host's links in the tree.
    if (kiln::test::RunningUnderWine()) {
        kiln::test::RemoveHostTree(m_linuxPath);
        return;
    }
#endif
    std::error_code ignored;
    std::filesystem::remove_all(m_linuxPath, ignored);
}

#ifdef _WIN32
namespace {
// 100-ns ticks from 1601 to 1970.
constexpr int64_t kTicksTo1970 = 116444736000000000;

std::u16string Wide(const std::string& path) {
    return std::filesystem::path(path).u16string();
}
}  // namespace

// The test's own view of the disk: the raw calls, not the confined adapters,
// so that what lies outside the root can be looked at too.
std::optional<DiskFacts> ReadDiskFacts(const std::string& path, bool follow) {
    const std::u16string wide = Wide(path);
    HANDLE file = ::CreateFileW(
        platform::win::W(wide.c_str()), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL read = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!read) return std::nullopt;
    const int64_t ticks =
        static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                             info.ftLastWriteTime.dwLowDateTime) -
        kTicksTo1970;
    const int64_t seconds = ticks >= 0 ? ticks / 10000000 : -((-ticks + 9999999) / 10000000);
    return DiskFacts{(uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                     info.nNumberOfLinks,
                     (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                     seconds,
                     static_cast<uint32_t>((ticks - seconds * 10000000) * 100),
                     (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0};
}

bool SetDiskTimes(const std::string& path, int64_t seconds) {
    const std::u16string wide = Wide(path);
    HANDLE file = ::CreateFileW(platform::win::W(wide.c_str()), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const uint64_t ticks = static_cast<uint64_t>(seconds * 10000000 + kTicksTo1970);
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const BOOL set = SetFileTime(file, nullptr, &time, &time);
    CloseHandle(file);
    return set;
}

void MakeDiskLink(const std::string& target, const std::string& link) {
    if (kiln::test::RunningUnderWine()) {
        const bool absolute = std::filesystem::path(target).is_absolute();
        std::u16string text;
        for (char c : target) text += static_cast<char16_t>(c == '\\' ? '/' : c);
        ASSERT_TRUE(kiln::test::MakeHostLink(link, absolute ? kiln::test::HostName(target) : text))
            << link << ": the host's ln made no link under Wine";
        return;
    }
    // The toolchain's std::filesystem cannot make links on Windows.
    std::u16string name, text;
    for (char c : link) name += static_cast<char16_t>(c);
    for (char c : target) text += static_cast<char16_t>(c == '/' ? '\\' : c);
    ASSERT_TRUE(CreateSymbolicLinkW(name.c_str(), text.c_str(),
                                    SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        << link << ": error " << GetLastError();
}
#else
std::optional<DiskFacts> ReadDiskFacts(const std::string& path, bool follow) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
    return DiskFacts{st.st_ino,
                     static_cast<uint32_t>(st.st_nlink),
                     static_cast<uint64_t>(st.st_size),
                     st.st_mtim.tv_sec,
                     static_cast<uint32_t>(st.st_mtim.tv_nsec),
                     (st.st_mode & S_IWUSR) != 0};
}

bool SetDiskTimes(const std::string& path, int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void MakeDiskLink(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}
#endif

}  // namespace kiln::KilnSfsWin::test
