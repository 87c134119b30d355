// FormatMessageW, local memory and task memory.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "platform/win32.h"

namespace {

constexpr DWORD kSystemFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

// The text through the allocating form, as the error mapping asks for it.
bool SystemText(DWORD code, std::u16string* text, DWORD language = 0x0800) {
    LPWSTR buffer = nullptr;
    DWORD n = FormatMessageW(kSystemFlags, nullptr, code, language,
                             reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (n == 0) return false;
    text->assign(buffer, n);
    EXPECT_EQ(buffer[n], u'\0');
    EXPECT_EQ(LocalFree(buffer), nullptr);
    return true;
}

TEST(SystemFormatMessage, StandardTextsEndWithCrLf) {
    struct Case {
        DWORD code;
        const char16_t* text;
    };
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, u"Access is denied.\r\n"},
        {ERROR_SHARING_VIOLATION,
         u"The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists.\r\n"},
        {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n"},
        {ERROR_HANDLE_EOF, u"Reached the end of the file.\r\n"},
        {ERROR_MOD_NOT_FOUND, u"The specified module could not be found.\r\n"},
        {ERROR_PROC_NOT_FOUND, u"The specified procedure could not be found.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::u16string text;
        ASSERT_TRUE(SystemText(c.code, &text));
        EXPECT_EQ(text, c.text);
    }
}

TEST(SystemFormatMessage, LastErrorIsKeptOnSuccessAndSetOnFailure) {
    std::u16string text;
    SetLastError(12345);
    ASSERT_TRUE(SystemText(ERROR_ACCESS_DENIED, &text));
    EXPECT_EQ(GetLastError(), 12345u);

    for (DWORD unknown : {7u, 99999u, 0x80070005u}) {
        SCOPED_TRACE(unknown);
        SetLastError(0);
        EXPECT_FALSE(SystemText(unknown, &text));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    }
}

TEST(SystemFormatMessage, LanguagesOtherThanEnglishAreNotFound) {
    std::u16string text;
    for (DWORD language : {0x0000u, 0x0400u, 0x0800u, 0x0409u, 0x0809u}) {
        SCOPED_TRACE(language);
        EXPECT_TRUE(SystemText(ERROR_ACCESS_DENIED, &text, language));
    }
    SetLastError(0);
    EXPECT_FALSE(SystemText(ERROR_ACCESS_DENIED, &text, 0x0407));  // German
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(SystemFormatMessage, CallerBufferMustHoldTextAndZero) {
    const std::u16string expected = u"Access is denied.\r\n";  // 19 characters
    char16_t buffer[64];
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0, buffer, 20, nullptr), 19u);
    EXPECT_EQ(std::u16string(buffer), expected);

    SetLastError(0);
    EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0, buffer, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SystemFormatMessage, InsertsNeedIgnoreInserts) {
    char16_t buffer[256];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, buffer,
                             256, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_MR_MID_NOT_FOUND, 0, buffer, 256, nullptr);
    ASSERT_GT(n, 0u);
    EXPECT_NE(std::u16string(buffer, n).find(u"0x%1"), std::u16string::npos);
    // Texts without inserts need no flag.
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 256, nullptr), 19u);
}

TEST(SystemFormatMessage, OnlySystemMessagesExist) {
    char16_t buffer[64];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, u"x", 0, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(0, nullptr, 5, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Every error code that the platform headers define must have its text, so
// that no failure of the platform reaches a log as a bare number.
TEST(SystemFormatMessage, EveryErrorCodeOfThePlatformHasText) {
    namespace fs = std::filesystem;
    fs::path root = fs::path(KILN_SOURCE_DIR) / "platform";
    ASSERT_TRUE(fs::exists(root / "win32_base.h")) << root;
    const std::regex define(R"(^\s*#define\s+(ERROR_\w+)\s+(\d+)L?\b)");
    std::set<std::string> missing;
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path().extension() != ".h") continue;
        std::ifstream header(entry.path());
        std::string line;
        std::smatch match;
        while (std::getline(header, line)) {
            if (!std::regex_search(line, match, define)) continue;
            ++checked;
            std::u16string text;
            if (!SystemText(static_cast<DWORD>(std::stoul(match[2].str())), &text) ||
                text.size() < 4 || text.substr(text.size() - 3) != u".\r\n") {
                missing.insert(match[1].str());
            }
        }
    }
    EXPECT_GT(checked, 50);
    EXPECT_TRUE(missing.empty()) << "no text for " << ::testing::PrintToString(missing);
}

TEST(SystemLocalMemory, AllocateSizeAndFree) {
    for (SIZE_T size : {SIZE_T{0}, SIZE_T{1}, SIZE_T{20}, SIZE_T{65536}}) {
        SCOPED_TRACE(size);
        HLOCAL block = LocalAlloc(LMEM_ZEROINIT, size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        EXPECT_EQ(LocalSize(block), size);
        auto* bytes = static_cast<unsigned char*>(block);
        for (SIZE_T i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << i;
        if (size) std::memset(block, 0xAB, size);  // the whole block is writable
        EXPECT_EQ(LocalFree(block), nullptr);
    }
    HLOCAL fixed = LocalAlloc(LMEM_FIXED, 8);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(LocalSize(fixed), 8u);
    EXPECT_EQ(LocalFree(fixed), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(SystemLocalMemory, BadRequestsAndForeignBlocksFail) {
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, SIZE_MAX - 4), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    // A pointer into the middle of a block is not a block.
    HLOCAL block = LocalAlloc(LPTR, 64);
    ASSERT_NE(block, nullptr);
    HLOCAL inside = static_cast<unsigned char*>(block) + 32;
    SetLastError(0);
    EXPECT_EQ(LocalFree(inside), inside);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(LocalSize(inside), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalSize(block), 64u);  // the real block is untouched
    EXPECT_EQ(LocalFree(block), nullptr);
}

TEST(SystemTaskMemory, AllocateAndFree) {
    auto* text = static_cast<char16_t*>(CoTaskMemAlloc(6 * sizeof(char16_t)));
    ASSERT_NE(text, nullptr);
    std::memcpy(text, u"hello", 6 * sizeof(char16_t));
    EXPECT_EQ(std::u16string(text), u"hello");
    CoTaskMemFree(text);
    void* empty = CoTaskMemAlloc(0);
    EXPECT_NE(empty, nullptr);
    CoTaskMemFree(empty);
    CoTaskMemFree(nullptr);  // allowed, as on Windows
}

}  // namespace
