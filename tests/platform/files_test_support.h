// Shared by the file tests: a scratch directory mapped as drive T:, helpers
// to build Windows paths and to look at the disk directly.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

    // T:\relative with '/' written as '\'.
    std::u16string Path(std::string_view relative) const {
        std::u16string path = u"T:\\";
        for (char c : relative) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
        return path;
    }
    std::u16string LongPath(std::string_view relative) const { return u"\\\\?\\" + Path(relative); }
    std::string Disk(std::string_view relative) const {
        return scratch_ + "/" + std::string(relative);
    }

    void MakeFile(std::string_view relative, std::string_view content = "") const {
        std::ofstream(Disk(relative), std::ios::binary) << content;
    }
    void MakeDir(std::string_view relative) const { ::mkdir(Disk(relative).c_str(), 0755); }
    bool OnDisk(std::string_view relative) const {
        struct stat st;
        return ::lstat(Disk(relative).c_str(), &st) == 0;
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
