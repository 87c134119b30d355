// File security on real files: owner, group, mode bits and POSIX ACLs seen
// through the Windows security calls, and written back through them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <array>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/posix/security/internal.h"
#include "security_test_support.h"

namespace kiln::test {
namespace {

constexpr ACCESS_MASK kRead = kReadRights, kWrite = kWriteRights, kExecute = kExecuteRights;

unsigned PermsOf(ACCESS_MASK rights) {
    return ((rights & kRead) == kRead ? 4 : 0) | ((rights & kWrite) == kWrite ? 2 : 0) |
           ((rights & kExecute) == kExecute ? 1 : 0);
}

std::string Shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    std::array<char, 256> buffer;
    while (fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    pclose(pipe);
    return output;
}

class FileSecurity : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kiln-security-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        chmod(dir_.c_str(), 0777);  // reachable for the unprivileged parts
    }
    void TearDown() override { Shell("rm -rf '" + dir_ + "'"); }

    std::string MakeFile(const std::string& name, mode_t mode) {
        std::string path = dir_ + "/" + name;
        FILE* f = fopen(path.c_str(), "w");
        if (f) fclose(f);
        chmod(path.c_str(), mode);
        return path;
    }
    static std::u16string WindowsPath(const std::string& linux) {
        std::u16string path = u"C:";
        for (char c : linux) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
        return path;
    }
    static DWORD SetNamed(const std::string& path, SECURITY_INFORMATION info, const void* owner,
                          const void* group, const void* dacl, const void* sacl = nullptr) {
        std::u16string name = WindowsPath(path);
        return SetNamedSecurityInfoW(
            name.data(), SE_FILE_OBJECT, info, const_cast<void*>(owner), const_cast<void*>(group),
            static_cast<PACL>(const_cast<void*>(dacl)), static_cast<PACL>(const_cast<void*>(sacl)));
    }

    struct Read {
        DWORD error = 1;
        PSECURITY_DESCRIPTOR sd = nullptr;
        PSID owner = nullptr, group = nullptr;
        PACL dacl = nullptr, sacl = nullptr;
        ~Read() {
            if (sd) LocalFree(sd);
        }
    };
    static void GetNamed(const std::string& path, SECURITY_INFORMATION info, Read* read) {
        read->error =
            GetNamedSecurityInfoW(WindowsPath(path).c_str(), SE_FILE_OBJECT, info, &read->owner,
                                  &read->group, &read->dacl, &read->sacl, &read->sd);
    }

    std::string dir_;
};

TEST_F(FileSecurity, ReadsOwnerGroupAndASelfRelativeDescriptor) {
    std::string path = MakeFile("f", 0640);
    ASSERT_EQ(chown(path.c_str(), kNobody, kUsersGroup), 0);
    Read read;
    GetNamed(path,
             OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
             &read);
    ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(EqualSid(read.owner, UserSid(kNobody).data()));
    EXPECT_TRUE(EqualSid(read.group, GroupSid(kUsersGroup).data()));
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(read.sd, &control, &revision));
    EXPECT_EQ(control & (SE_SELF_RELATIVE | SE_DACL_PRESENT), SE_SELF_RELATIVE | SE_DACL_PRESENT);
    EXPECT_TRUE(IsValidSecurityDescriptor(read.sd));
    EXPECT_TRUE(IsValidAcl(read.dacl));
    EXPECT_EQ(read.sacl, nullptr);
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, UserSid(kNobody))), 6u);
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, GroupSid(kUsersGroup))), 4u);
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, World())), 0u);

    Read missing;
    GetNamed(dir_ + "/absent", OWNER_SECURITY_INFORMATION, &missing);
    EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(
        GetNamedSecurityInfoW(WindowsPath(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                              &missing.owner, nullptr, nullptr, nullptr, nullptr),
        static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(FileSecurity, PermissionDaclsReadBackAsTheSamePermissions) {
    struct Owners {
        const char* what;
        DWORD uid, gid;
    };
    // root is a member of its group, nobody is not a member of users.
    const Owners owners[] = {{"owner outside the group", kNobody, kUsersGroup},
                             {"owner inside the group", 0, 0}};
    for (const Owners& who : owners) {
        for (unsigned mode : {0644u, 0604u, 0000u, 0777u, 0460u, 0070u}) {
            SCOPED_TRACE(std::string(who.what) + " mode " + std::to_string(mode));
            std::string path = MakeFile("p" + std::to_string(mode) + who.what[6], 0600);
            SidBuffer owner = UserSid(who.uid), group = GroupSid(who.gid);
            std::vector<BYTE> dacl = DaclFromPermissions(mode, owner, group);
            ASSERT_EQ(SetNamed(path,
                               OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               owner.data(), group.data(), dacl.data()),
                      static_cast<DWORD>(ERROR_SUCCESS));
            struct stat st;
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, mode);
            EXPECT_EQ(st.st_uid, who.uid);
            EXPECT_EQ(st.st_gid, who.gid);

            Read read;
            GetNamed(path, DACL_SECURITY_INFORMATION, &read);
            ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
            unsigned readBack = PermsOf(EffectiveRights(read.dacl, owner)) << 6 |
                                PermsOf(EffectiveRights(read.dacl, group)) << 3 |
                                PermsOf(EffectiveRights(read.dacl, World()));
            EXPECT_EQ(readBack, mode);
            // The DACL that was read writes back to the same mode.
            ASSERT_EQ(SetNamed(path, DACL_SECURITY_INFORMATION, nullptr, nullptr, read.dacl),
                      static_cast<DWORD>(ERROR_SUCCESS));
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, mode);
        }
    }
}

// Reading descriptors keeps work from one object to the next (DACLs made
// from mode bits, the parsed ACL, names and groups). Objects that differ in
// one thing at a time, read in turn and again, each give the DACL that a
// fresh thread reads, and the rights that the general evaluation over the
// trustee's groups gives.
TEST_F(FileSecurity, KeptWorkGivesWhatAFreshReadAndTheGeneralEvaluationGive) {
    struct Object {
        const char* name;
        bool directory;
        mode_t mode;
        uid_t uid;
        gid_t gid;
        const char* acl;  // for setfacl -m, or null
    };
    const Object objects[] = {
        {"f644", false, 0644, 0, 0, nullptr},
        {"d644", true, 0644, 0, 0, nullptr},
        {"f644nobody", false, 0644, kNobody, 0, nullptr},
        {"f644users", false, 0644, 0, kUsersGroup, nullptr},
        {"f640", false, 0640, kNobody, kUsersGroup, nullptr},
        {"f4755", false, 04755, 0, 0, nullptr},
        {"d1777", true, 01777, 0, 0, nullptr},
        {"f644named", false, 0644, 0, 0, "u:65534:rw,g:100:r"},
        {"d755default", true, 0755, 0, 0, "d:u:65534:rx"},
    };
    for (const Object& object : objects) {
        const std::string path = dir_ + "/" + object.name;
        if (object.directory)
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        else
            MakeFile(object.name, 0600);
        ASSERT_EQ(chown(path.c_str(), object.uid, object.gid), 0);
        ASSERT_EQ(chmod(path.c_str(), object.mode), 0);
        if (object.acl) Shell("setfacl -m '" + std::string(object.acl) + "' '" + path + "'");
    }
    const SECURITY_INFORMATION info =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    auto daclBytes = [](const Read& read) {
        const BYTE* p = reinterpret_cast<const BYTE*>(read.dacl);
        return std::vector<BYTE>(p, p + read.dacl->AclSize);
    };
    std::vector<std::vector<BYTE>> fresh;
    for (const Object& object : objects) {
        std::thread([&] {
            Read read;
            GetNamed(dir_ + "/" + object.name, info, &read);
            fresh.push_back(read.error == ERROR_SUCCESS ? daclBytes(read) : std::vector<BYTE>{});
        }).join();
    }
    const SidBuffer trustees[] = {UserSid(0), UserSid(kNobody), GroupSid(0), GroupSid(kUsersGroup),
                                  World()};
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < std::size(objects); ++i) {
            SCOPED_TRACE(std::string(objects[i].name) + " round " + std::to_string(round));
            Read read;
            GetNamed(dir_ + "/" + objects[i].name, info, &read);
            ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
            EXPECT_EQ(daclBytes(read), fresh[i]);
            std::vector<platform::security::AceView> entries;
            ASSERT_TRUE(platform::security::ParseAcl(read.dacl, &entries, nullptr));
            for (const SidBuffer& trustee : trustees) {
                EXPECT_EQ(EffectiveRights(read.dacl, trustee),
                          platform::security::EvaluateRights(
                              entries, platform::security::MembershipOf(trustee.data()), {}));
            }
        }
    }
}

TEST_F(FileSecurity, NamedEntriesBecomePosixAclEntries) {
    std::string path = MakeFile("named", 0600);
    std::vector<BYTE> dacl = MakeAcl({
        {ACCESS_ALLOWED_ACE_TYPE, 0, kRead | kWrite | WRITE_DAC, UserSid(0)},
        {ACCESS_DENIED_ACE_TYPE, 0, kWrite & ~SYNCHRONIZE, UserSid(kNobody)},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kRead | kWrite, UserSid(kNobody)},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kRead | kWrite, GroupSid(kUsersGroup)},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kRead, GroupSid(0)},
        {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_EXECUTE, World()},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kRead | kWrite, Sid(5, {18})},  // not representable
    });
    ASSERT_EQ(SetNamed(path, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl.data()),
              static_cast<DWORD>(ERROR_SUCCESS));
    std::string acl = Shell("getfacl -n --omit-header '" + path + "'");
    // Everyone's (generic) execute right reaches every named entry too.
    EXPECT_NE(acl.find("user::rwx"), std::string::npos) << acl;
    EXPECT_NE(acl.find("user:65534:r-x"), std::string::npos) << acl;
    EXPECT_NE(acl.find("group::r-x"), std::string::npos) << acl;
    EXPECT_NE(acl.find("group:100:rwx"), std::string::npos) << acl;
    EXPECT_NE(acl.find("mask::rwx"), std::string::npos) << acl;
    EXPECT_NE(acl.find("other::--x"), std::string::npos) << acl;

    Read read;
    GetNamed(path, DACL_SECURITY_INFORMATION, &read);
    ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, UserSid(0))), 7u);
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, UserSid(kNobody))), 5u);
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, GroupSid(kUsersGroup))), 7u);
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, World())), 1u);
    // A user of no entry gets what Everyone gets.
    EXPECT_EQ(PermsOf(EffectiveRights(read.dacl, UserSid(4242))), 1u);

    // A DACL without named entries removes them again.
    std::vector<BYTE> plain = DaclFromPermissions(0640, UserSid(0), GroupSid(0));
    ASSERT_EQ(SetNamed(path, DACL_SECURITY_INFORMATION, nullptr, nullptr, plain.data()),
              static_cast<DWORD>(ERROR_SUCCESS));
    acl = Shell("getfacl -n --omit-header '" + path + "'");
    EXPECT_EQ(acl.find("user:65534"), std::string::npos) << acl;
    EXPECT_EQ(acl.find("mask::"), std::string::npos) << acl;
}

TEST_F(FileSecurity, DirectoryDefaultAclIsInheritable) {
    std::string path = dir_ + "/d";
    ASSERT_EQ(mkdir(path.c_str(), 0750), 0);
    BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
    std::vector<BYTE> dacl = MakeAcl({
        {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, UserSid(0)},
        {ACCESS_ALLOWED_ACE_TYPE, inherit, FILE_ALL_ACCESS, Sid(3, {0})},
        {ACCESS_ALLOWED_ACE_TYPE, inherit, kRead | kExecute, Sid(3, {1})},
        {ACCESS_ALLOWED_ACE_TYPE, inherit, kRead, UserSid(kNobody)},
    });
    ASSERT_EQ(SetNamed(path, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl.data()),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::string dirAcl = Shell("getfacl -n --omit-header '" + path + "'");
    std::string acl = dirAcl;
    EXPECT_NE(acl.find("default:user::rwx"), std::string::npos) << acl;
    EXPECT_NE(acl.find("default:user:65534:r--"), std::string::npos) << acl;
    EXPECT_NE(acl.find("default:group::r-x"), std::string::npos) << acl;
    EXPECT_NE(acl.find("default:other::---"), std::string::npos) << acl;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A new file inherits, and the directory reports the entries as inheritable.
    std::string child = MakeFile("d/child", 0666);
    acl = Shell("getfacl -n --omit-header '" + child + "'");
    EXPECT_NE(acl.find("user:65534:r--"), std::string::npos) << acl;
    Read read;
    GetNamed(path, DACL_SECURITY_INFORMATION, &read);
    ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(GetAclInformation(read.dacl, &size, sizeof size, AclSizeInformation));
    bool nobodyInheritable = false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace;
        ASSERT_TRUE(GetAce(read.dacl, i, &ace));
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&entry->SidStart, UserSid(kNobody).data()))
            nobodyInheritable = entry->Header.AceFlags == inherit;
    }
    EXPECT_TRUE(nobodyInheritable);
    // Written back, the default ACL stays the same.
    ASSERT_EQ(SetNamed(path, DACL_SECURITY_INFORMATION, nullptr, nullptr, read.dacl),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Shell("getfacl -n --omit-header '" + path + "'"), dirAcl);
}

TEST_F(FileSecurity, NullDaclGrantsEverything) {
    std::string path = MakeFile("open", 0600);
    ASSERT_EQ(SetNamed(path, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
}

TEST_F(FileSecurity, BadInputChangesNothing) {
    std::string path = MakeFile("bad", 0640);
    std::vector<BYTE> badAcl = MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0, kRead, World()}});
    badAcl[4] = 2;  // two entries announced, one present
    SidBuffer notUnix = Sid(5, {18}), root = UserSid(0);
    struct Case {
        const char* what;
        SECURITY_INFORMATION info;
        const void* owner;
        const void* group;
        const void* dacl;
        DWORD expected;
    };
    std::vector<BYTE> open = DaclFromPermissions(0777, UserSid(0), GroupSid(0));
    const Case cases[] = {
        {"malformed DACL", DACL_SECURITY_INFORMATION, nullptr, nullptr, badAcl.data(),
         ERROR_INVALID_ACL},
        {"owner that is no Unix user", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
         notUnix.data(), nullptr, open.data(), ERROR_INVALID_OWNER},
        {"group that is no Unix group", GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
         nullptr, root.data(), open.data(), ERROR_INVALID_PRIMARY_GROUP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SetNamed(path, c.info, c.owner, c.group, c.dacl), c.expected);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(st.st_uid, 0u);
    }
}

TEST_F(FileSecurity, RefusalsForAnUnprivilegedUser) {
    std::string rootFile = MakeFile("root-owned", 0644);
    std::string ownFile = MakeFile("nobody-owned", 0640);
    ASSERT_EQ(chown(ownFile.c_str(), kNobody, kNogroup), 0);
    std::string dir = dir_;
    int result = RunAsNobody([&] {
        std::vector<BYTE> open = DaclFromPermissions(0666, UserSid(kNobody), GroupSid(kNogroup));
        // Not the owner: no right to change the DACL or the owner.
        if (SetNamed(rootFile, DACL_SECURITY_INFORMATION, nullptr, nullptr, open.data()) !=
            ERROR_ACCESS_DENIED)
            return 1;
        SidBuffer nobody = UserSid(kNobody);
        if (SetNamed(rootFile, OWNER_SECURITY_INFORMATION, nobody.data(), nullptr, nullptr) !=
            ERROR_ACCESS_DENIED)
            return 2;
        // The owner may not give the file away; the DACL change that came
        // with it is undone.
        SidBuffer root = UserSid(0);
        if (SetNamed(ownFile, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, root.data(),
                     nullptr, open.data()) != ERROR_INVALID_OWNER)
            return 3;
        struct stat st;
        if (stat(ownFile.c_str(), &st) != 0 || (st.st_mode & 0777) != 0640 || st.st_uid != kNobody)
            return 4;
        // Nor hand it to a group it is not a member of.
        SidBuffer users = GroupSid(kUsersGroup);
        if (SetNamed(ownFile, GROUP_SECURITY_INFORMATION, nullptr, users.data(), nullptr) !=
            ERROR_INVALID_PRIMARY_GROUP)
            return 5;
        // Its own DACL it may change.
        if (SetNamed(ownFile, DACL_SECURITY_INFORMATION, nullptr, nullptr, open.data()) !=
            ERROR_SUCCESS)
            return 6;
        if (stat(ownFile.c_str(), &st) != 0 || (st.st_mode & 0777) != 0666) return 7;
        // The audit part needs the security privilege.
        Read read;
        GetNamed(ownFile, SACL_SECURITY_INFORMATION, &read);
        if (read.error != ERROR_PRIVILEGE_NOT_HELD) return 8;
        if (SetNamed(ownFile, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr) !=
            ERROR_PRIVILEGE_NOT_HELD)
            return 9;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(FileSecurity, AuditAclIsKeptForThePrivileged) {
    if (geteuid() != 0) GTEST_SKIP() << "needs CAP_SYS_ADMIN";
    std::string path = MakeFile("audited", 0600);
    std::vector<BYTE> sacl = MakeAcl({{SYSTEM_AUDIT_ACE_TYPE, 0, DELETE, World()}});
    ASSERT_EQ(SetNamed(path, SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION,
                       nullptr, nullptr, nullptr, sacl.data()),
              static_cast<DWORD>(ERROR_SUCCESS));
    Read read;
    GetNamed(path, SACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &read);
    ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(read.sacl, nullptr);
    EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<BYTE*>(read.sacl),
                                reinterpret_cast<BYTE*>(read.sacl) + sacl.size()),
              sacl);
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(read.sd, &control, &revision));
    EXPECT_TRUE(control & SE_SACL_PROTECTED);
    EXPECT_TRUE(control & SE_SACL_PRESENT);

    // A forged attribute is refused instead of trusted.
    const BYTE forged[] = {1, 0, 0, 0, 2, 0, 0xFF, 0xFF, 1, 0, 0, 0};
    ASSERT_EQ(setxattr(path.c_str(), "trusted.kiln.sacl", forged, sizeof forged, 0), 0);
    Read corrupt;
    GetNamed(path, SACL_SECURITY_INFORMATION, &corrupt);
    EXPECT_EQ(corrupt.error, static_cast<DWORD>(ERROR_FILE_CORRUPT));

    ASSERT_EQ(SetNamed(path, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    Read none;
    GetNamed(path, SACL_SECURITY_INFORMATION, &none);
    ASSERT_EQ(none.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(none.sacl, nullptr);
}

TEST_F(FileSecurity, HandleCallsNeedTheRightAccess) {
    std::string path = MakeFile("by-handle", 0600);
    std::u16string name = WindowsPath(path);
    HANDLE file = CreateFileW(name.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    SidBuffer owner = UserSid(kNobody), group = GroupSid(kUsersGroup);
    std::vector<BYTE> dacl = DaclFromPermissions(0750, owner, group);
    ASSERT_EQ(
        SetSecurityInfo(
            file, SE_FILE_OBJECT,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            owner.data(), group.data(), reinterpret_cast<PACL>(dacl.data()), nullptr),
        static_cast<DWORD>(ERROR_SUCCESS));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kUsersGroup);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    PSID readOwner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &readOwner, nullptr,
                              nullptr, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(EqualSid(readOwner, owner.data()));
    LocalFree(sd);
    // Without ACCESS_SYSTEM_SECURITY the SACL cannot be read through this handle.
    EXPECT_EQ(GetSecurityInfo(file, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &sd),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetSecurityInfo(file, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &sd),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    CloseHandle(file);

    HANDLE readOnly =
        CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetSecurityInfo(readOnly, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(readOnly);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

}  // namespace
}  // namespace kiln::test
