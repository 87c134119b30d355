// Shared by the file tests: a scratch directory (mapped as drive T: on
// Linux), helpers to build Windows paths and to look at the disk directly.
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "last_error.h"
#include "platform/config_files.h"
#include "platform/win32.h"

namespace kiln::platform::testing {

inline std::u16string Wide(std::string_view text) {
    std::u16string out;
    for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

class FilesTest : public ::testing::Test {
  protected:
#ifdef _WIN32
    // Windows has no drive to map: the scratch directory is named in full.
    void SetUp() override {
        static int count = 0;
        const std::filesystem::path dir =
            std::filesystem::temp_directory_path() /
            ("kiln-files-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count));
        std::filesystem::create_directories(dir);
        scratch_ = dir.string();
        SetConfinementRoot(nullptr);
    }
    void TearDown() override {
        SetConfinementRoot(nullptr);
        std::error_code ignored;
        // Read-only files and directories must not stop the clean-up.
        for (auto& entry : std::filesystem::recursive_directory_iterator(scratch_, ignored))
            ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(scratch_, ignored);
    }
    std::u16string Root() const {
        return Wide(scratch_) + u"\\";
    }
#else
    void SetUp() override {
        char pattern[] = "/tmp/kiln-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        ASSERT_TRUE(SetDrive(u'T', scratch_));
        SetConfinementRoot(nullptr);
        SetOverlappedPendingForTests(false);
    }
    void TearDown() override {
        SetConfinementRoot(nullptr);
        SetOverlappedPendingForTests(false);
        HoldOverlappedCompletionsForTests(false);
        RemoveDrive(u'T');
        std::error_code ignored;
        // Read-only files and directories must not stop the clean-up.
        for (auto& entry : std::filesystem::recursive_directory_iterator(scratch_, ignored))
            if (!entry.is_symlink()) ::chmod(entry.path().c_str(), 0755);
        std::filesystem::remove_all(scratch_, ignored);
    }
    std::u16string Root() const {
        return u"T:\\";
    }
#endif

    // The scratch directory's relative path with '/' written as '\'.
    std::u16string Path(std::string_view relative) const {
        std::u16string path = Root();
        for (char c : relative) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
        return path;
    }
    std::u16string LongPath(std::string_view relative) const {
        return u"\\\\?\\" + Path(relative);
    }
    std::string Disk(std::string_view relative) const {
        return scratch_ + "/" + std::string(relative);
    }

    void MakeFile(std::string_view relative, std::string_view content = "") const {
        std::ofstream(Disk(relative), std::ios::binary) << content;
    }
    void MakeDir(std::string_view relative) const {
#ifdef _WIN32
        std::error_code ignored;
        std::filesystem::create_directory(Disk(relative), ignored);
#else
        ::mkdir(Disk(relative).c_str(), 0755);
#endif
    }
    bool OnDisk(std::string_view relative) const {
        std::error_code ignored;
        return std::filesystem::symlink_status(Disk(relative), ignored).type() !=
               std::filesystem::file_type::not_found;
    }
    std::string Content(std::string_view relative) const {
        std::ifstream in(Disk(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    HANDLE Open(const std::u16string& path, DWORD access = GENERIC_READ | GENERIC_WRITE,
                DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                DWORD disposition = OPEN_EXISTING, DWORD flags = 0) const {
        return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    }

    std::string scratch_;
};

// The same for a call that opens a handle (closed again should it open).
#define EXPECT_OPEN_FAILS_WITH(open, error) \
    EXPECT_FAILS_WITH(::kiln::platform::testing::ScopedHandle(open).valid(), error)

// Closes a handle when the test leaves its scope.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

  private:
    HANDLE handle_;
};

}  // namespace kiln::platform::testing
