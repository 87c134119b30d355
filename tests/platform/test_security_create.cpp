// New files and directories get the security they are created with, and
// Linux's defaults (umask, the directory's default ACL) without one.
#include <sys/xattr.h>

#include <optional>

#include "files_test_support.h"
#include "security_test_support.h"

namespace kiln::platform::testing {
namespace {

using kiln::test::DaclFromPermissions;
using kiln::test::GroupSid;
using kiln::test::kNobody;
using kiln::test::kNogroup;
using kiln::test::SidBuffer;
using kiln::test::UserSid;

struct Expected {
    mode_t mode;
    uid_t uid;
    gid_t gid;
};

class CreateWithSecurity : public FilesTest {
  protected:
    // Creates T:\name as a file or a directory, with a descriptor when mode
    // is given (DACL from it; owner and group when asked).
    bool Create(const std::string& name, bool directory, std::optional<unsigned> mode,
                std::optional<SidBuffer> owner = {}, std::optional<SidBuffer> group = {}) {
        SECURITY_DESCRIPTOR sd;
        SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
        std::vector<BYTE> dacl;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        if (mode) {
            dacl = DaclFromPermissions(*mode, owner.value_or(UserSid(geteuid())),
                                       group.value_or(GroupSid(getegid())));
            SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(dacl.data()), FALSE);
        }
        if (owner) SetSecurityDescriptorOwner(&sd, owner->data(), FALSE);
        if (group) SetSecurityDescriptorGroup(&sd, group->data(), FALSE);
        LPSECURITY_ATTRIBUTES attributes = mode || owner ? &sa : nullptr;
        if (directory) return CreateDirectoryW(Path(name).c_str(), attributes);
        HANDLE h =
            CreateFileW(Path(name).c_str(), GENERIC_WRITE, 0, attributes, CREATE_NEW, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    }
    std::string AccessAcl(const std::string& name, const char* which = "system.posix_acl_access") {
        char buffer[512];
        ssize_t n = ::getxattr(Disk(name).c_str(), which, buffer, sizeof buffer);
        return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
    }
};

TEST_F(CreateWithSecurity, NewObjectsGetTheirDescriptorOrTheLinuxDefaults) {
    MakeDir("inherits");
    ASSERT_EQ(
        std::system(("setfacl -d -m u::rw,g::r,o::-,u:nobody:rw " + Disk("inherits")).c_str()), 0);
    MakeDir("setgid");
    ASSERT_EQ(::chown(Disk("setgid").c_str(), 0, kiln::test::kUsersGroup), 0);
    ASSERT_EQ(::chmod(Disk("setgid").c_str(), 02775), 0);
    const uid_t me = geteuid();
    const gid_t mine = getegid();
    struct Case {
        const char* name;
        bool directory;
        std::optional<unsigned> mode;  // none: no descriptor
        bool owned;                    // owner nobody, group nogroup in the descriptor
        mode_t umask;
        Expected expected;  // mode 0: what the kernel gives a plain open()/mkdir()
    };
    const Case cases[] = {
        {"f0600", false, 0600, false, 022, {0100600, me, mine}},
        {"d0755", true, 0755, false, 077, {040755, me, mine}},
        {"f0640nobody", false, 0640, true, 022, {0100640, kNobody, kNogroup}},
        {"d0750nobody", true, 0750, true, 022, {040750, kNobody, kNogroup}},
        {"f4755", false, 04755, false, 022, {0104755, me, mine}},
        {"d1777", true, 01777, false, 022, {041777, me, mine}},
        {"fumask", false, std::nullopt, false, 027, {0100640, me, mine}},
        {"dumask", true, std::nullopt, false, 027, {040750, me, mine}},
        {"inherits/fdefault", false, std::nullopt, false, 022, {0, me, mine}},
        {"inherits/ddefault", true, std::nullopt, false, 022, {0, me, mine}},
        {"inherits/f0600", false, 0600, false, 022, {0100600, me, mine}},
        // The DACL's entries for the creator's group stand for the group that
        // Linux gives the object.
        {"setgid/d0750", true, 0750, false, 022, {042750, me, kiln::test::kUsersGroup}},
        {"setgid/f0640", false, 0640, false, 022, {0100640, me, kiln::test::kUsersGroup}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const mode_t previous = ::umask(c.umask);
        ASSERT_TRUE(Create(c.name, c.directory, c.mode,
                           c.owned ? std::optional(UserSid(kNobody)) : std::nullopt,
                           c.owned ? std::optional(GroupSid(kNogroup)) : std::nullopt))
            << GetLastError();
        Expected expected = c.expected;
        std::string reference = std::string(c.name) + ".reference";
        if (expected.mode == 0) {  // the kernel's own creation is the reference
            if (c.directory) {
                ASSERT_EQ(::mkdir(Disk(reference).c_str(), 0777), 0);
            } else {
                ::close(::open(Disk(reference).c_str(), O_CREAT | O_WRONLY, 0666));
            }
            struct stat ref;
            ASSERT_EQ(::stat(Disk(reference).c_str(), &ref), 0);
            expected.mode = ref.st_mode;
            EXPECT_FALSE(AccessAcl(reference).empty());
            EXPECT_EQ(AccessAcl(c.name), AccessAcl(reference));
            EXPECT_EQ(AccessAcl(c.name, "system.posix_acl_default"),
                      AccessAcl(reference, "system.posix_acl_default"));
        } else {
            // The descriptor decides alone: no ACL from the directory stays.
            EXPECT_EQ(AccessAcl(c.name), "");
            EXPECT_EQ(AccessAcl(c.name, "system.posix_acl_default"), "");
        }
        ::umask(previous);
        struct stat st;
        ASSERT_EQ(::stat(Disk(c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, expected.mode) << std::oct << st.st_mode;
        EXPECT_EQ(st.st_uid, expected.uid);
        EXPECT_EQ(st.st_gid, expected.gid);
    }
}

TEST_F(CreateWithSecurity, ADescriptorThatCannotBeAppliedLeavesNothing) {
    const SidBuffer administrators = kiln::test::Sid(5, {32, 544});  // no Unix owner
    for (bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "file");
        EXPECT_FALSE(Create("refused", directory, 0600, administrators));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_OWNER));
        EXPECT_FALSE(OnDisk("refused"));

        BYTE garbage[sizeof(SECURITY_DESCRIPTOR)] = {};  // revision 0
        SECURITY_ATTRIBUTES sa{sizeof sa, garbage, FALSE};
        HANDLE h = INVALID_HANDLE_VALUE;
        const bool made = directory
                              ? CreateDirectoryW(Path("refused").c_str(), &sa)
                              : (h = CreateFileW(Path("refused").c_str(), GENERIC_WRITE, 0, &sa,
                                                 CREATE_NEW, 0, nullptr)) != INVALID_HANDLE_VALUE;
        EXPECT_FALSE(made);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
        EXPECT_FALSE(OnDisk("refused"));
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
}

}  // namespace
}  // namespace kiln::platform::testing
