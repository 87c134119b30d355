// The security of an entry that a search has just found is answered from
// what the search read: it must be the descriptor the file itself gives, and
// a change made after the search must show once the entry's short lifetime
// is over or its search is closed.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "files_test_support.h"

namespace kiln::platform::testing {
namespace {

using FindSecurityTest = FilesTest;

std::vector<BYTE> SecurityOf(const std::u16string& path) {
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const SECURITY_INFORMATION info =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD result = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, info, &owner, &group, &dacl,
                                         nullptr, &sd);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
    if (result != ERROR_SUCCESS) return {};
    EXPECT_NE(owner, nullptr);
    EXPECT_NE(dacl, nullptr);
    const BYTE* bytes = static_cast<const BYTE*>(sd);
    std::vector<BYTE> copy(bytes, bytes + GetSecurityDescriptorLength(sd));
    LocalFree(sd);
    return copy;
}

enum class After { Nothing, ChangeAndWait, ChangeAndClose };

struct FindSecurityCase {
    const char* name;
    bool directory;
    mode_t mode;
    bool acl;  // a named entry for nobody
    After after;
};

TEST_F(FindSecurityTest, FoundEntriesAnswerAsTheFileWouldAndChangesShow) {
    const FindSecurityCase cases[] = {
        {"file", false, 0640, false, After::Nothing},
        {"setuid file", false, 04751, false, After::Nothing},
        {"sticky directory", true, 01777, false, After::Nothing},
        {"file with an ACL", false, 0640, true, After::Nothing},
        {"changed, then later", false, 0640, false, After::ChangeAndWait},
        {"changed, then closed", false, 0640, false, After::ChangeAndClose},
    };
    MakeDir("d");
    for (const FindSecurityCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string disk = Disk("d/e");
        std::filesystem::remove_all(disk);
        if (c.directory)
            MakeDir("d/e");
        else
            MakeFile("d/e");
        ASSERT_EQ(::chmod(disk.c_str(), c.mode), 0);
        if (c.acl) {
            ASSERT_EQ(std::system(("setfacl -m u:65534:r " + disk).c_str()), 0);
        }

        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(Path("d/*").c_str(), &data);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        while (std::u16string(data.cFileName) != u"e") ASSERT_TRUE(FindNextFileW(find, &data));
        if (c.after != After::Nothing) {
            ASSERT_EQ(::chmod(disk.c_str(), 0604), 0);
            if (c.after == After::ChangeAndWait)
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
            else
                FindClose(find);
        }
        const std::vector<BYTE> found = SecurityOf(Path("d/e"));
        if (c.after != After::ChangeAndClose) FindClose(find);
        // Asked again, with no search open, the file answers itself.
        EXPECT_EQ(found, SecurityOf(Path("d/e")));
    }
}

}  // namespace
}  // namespace kiln::platform::testing
