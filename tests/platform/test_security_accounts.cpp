// Account names and SIDs both ways: Unix users and groups, the well-known
// SIDs, and Windows' buffer-size protocol.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/posix/security/internal.h"
#include "security_test_support.h"

namespace kiln::test {
namespace {

struct Named {
    bool ok = false;
    DWORD error = 0;
    SidBuffer sid;
    std::u16string domain;
    SID_NAME_USE use = SidTypeInvalid;
};

Named NameToSid(const char16_t* name) {
    Named result;
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameW(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        result.error = GetLastError();
        return result;
    }
    result.sid.resize(sidSize);
    std::u16string domain(domainSize, u'#');
    result.ok = LookupAccountNameW(nullptr, name, result.sid.data(), &sidSize, domain.data(),
                                   &domainSize, &result.use);
    result.error = GetLastError();
    if (result.ok) {
        EXPECT_EQ(sidSize, result.sid.size());
        EXPECT_EQ(domain[domainSize], u'\0');  // the count excludes the zero
        result.domain = domain.substr(0, domainSize);
    }
    return result;
}

struct Account {
    bool ok = false;
    DWORD error = 0;
    std::u16string name, domain;
    SID_NAME_USE use = SidTypeInvalid;
};

Account SidToName(const SidBuffer& sid) {
    Account result;
    DWORD nameSize = 0, domainSize = 0;
    SID_NAME_USE use;
    PSID p = const_cast<BYTE*>(sid.data());
    if (LookupAccountSidW(nullptr, p, nullptr, &nameSize, nullptr, &domainSize, &use) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        result.error = GetLastError();
        return result;
    }
    std::u16string name(nameSize, u'#'), domain(domainSize, u'#');
    result.ok = LookupAccountSidW(nullptr, p, name.data(), &nameSize, domain.data(), &domainSize,
                                  &result.use);
    result.error = GetLastError();
    result.name = name.substr(0, nameSize);
    result.domain = domain.substr(0, domainSize);
    return result;
}

struct Known {
    const char16_t* lookupName;
    SidBuffer sid;
    const char16_t* name;
    const char16_t* domain;
    SID_NAME_USE use;
};

TEST(SecurityAccounts, NamesAndSidsMapBothWays) {
    const Known cases[] = {
        {u"root", UserSid(0), u"root", u"Unix User", SidTypeUser},
        {u"Unix User\\nobody", UserSid(kNobody), u"nobody", u"Unix User", SidTypeUser},
        {u"nogroup", GroupSid(kNogroup), u"nogroup", u"Unix Group", SidTypeGroup},
        {u"unix group\\users", GroupSid(kUsersGroup), u"users", u"Unix Group", SidTypeGroup},
        {u"Everyone", World(), u"Everyone", u"", SidTypeWellKnownGroup},
        {u"CREATOR OWNER", Sid(3, {0}), u"CREATOR OWNER", u"", SidTypeWellKnownGroup},
        {u"creator group", Sid(3, {1}), u"CREATOR GROUP", u"", SidTypeWellKnownGroup},
        {u"NT AUTHORITY\\SYSTEM", Sid(5, {18}), u"SYSTEM", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {u"NETWORK", Sid(5, {2}), u"NETWORK", u"NT AUTHORITY", SidTypeWellKnownGroup},
        {u"Authenticated Users", Sid(5, {11}), u"Authenticated Users", u"NT AUTHORITY",
         SidTypeWellKnownGroup},
        {u"BUILTIN\\Administrators", Sid(5, {32, 544}), u"Administrators", u"BUILTIN",
         SidTypeAlias},
        {u"BUILTIN", Sid(5, {32}), u"BUILTIN", u"BUILTIN", SidTypeDomain},
        {u"Unix User\\", Sid(22, {1}), u"Unix User", u"Unix User", SidTypeDomain},
    };
    for (const Known& c : cases) {
        SCOPED_TRACE(std::string(c.lookupName,
                                 c.lookupName + std::char_traits<char16_t>::length(c.lookupName)));
        Named named = NameToSid(c.lookupName);
        ASSERT_TRUE(named.ok) << named.error;
        EXPECT_EQ(named.sid, c.sid);
        EXPECT_EQ(named.domain, c.domain);
        EXPECT_EQ(named.use, c.use);
        Account account = SidToName(c.sid);
        ASSERT_TRUE(account.ok) << account.error;
        EXPECT_EQ(account.name, c.name);
        EXPECT_EQ(account.domain, c.domain);
        EXPECT_EQ(account.use, c.use);
    }
}

TEST(SecurityAccounts, BareNameFindsTheUserBeforeTheGroup) {
    // Debian has both a user and a group called "nobody"/"nogroup"; root is both.
    Named root = NameToSid(u"root");
    ASSERT_TRUE(root.ok);
    EXPECT_EQ(root.sid, UserSid(0));
    Named rootGroup = NameToSid(u"Unix Group\\root");
    ASSERT_TRUE(rootGroup.ok);
    EXPECT_EQ(rootGroup.sid, GroupSid(0));
    // A group name under the user domain is not found.
    EXPECT_EQ(NameToSid(u"Unix User\\nogroup").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
}

TEST(SecurityAccounts, UnknownNamesAndSidsAreNotMapped) {
    EXPECT_EQ(NameToSid(u"no-such-account-here").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(NameToSid(u"").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(NameToSid(u"NO DOMAIN\\root").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(SidToName(UserSid(4000000000u)).error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(SidToName(Sid(5, {21, 1, 2, 3, 500})).error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    BYTE bad[12] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // revision 2
    DWORD nameSize = 0, domainSize = 0;
    SID_NAME_USE use;
    EXPECT_FALSE(LookupAccountSidW(nullptr, bad, nullptr, &nameSize, nullptr, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST(SecurityAccounts, BufferSizesFollowWindows) {
    SidBuffer root = UserSid(0);
    char16_t name[5], domain[10];  // "root" fits exactly; "Unix User" fits exactly
    DWORD nameSize = 4, domainSize = 10;
    SID_NAME_USE use;
    EXPECT_FALSE(
        LookupAccountSidW(nullptr, root.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(nameSize, 5u);
    EXPECT_EQ(domainSize, 10u);
    ASSERT_TRUE(
        LookupAccountSidW(nullptr, root.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(std::u16string(name), u"root");
    EXPECT_EQ(nameSize, 4u);
    EXPECT_EQ(domainSize, 9u);

    EXPECT_FALSE(LookupAccountSidW(u"some-other-host", root.data(), name, &nameSize, domain,
                                   &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

// Run in a child with its own mount namespace, whose user and group databases
// are swapped under it by bind mounts. Gives 0, 77 when no namespace can be
// had, or the number of the check that failed.
int ChangedDatabaseChild() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return 77;
    const auto lifetime = std::chrono::milliseconds(400);
    platform::caches::SetAccountLifetime(lifetime);
    const DWORD uid = 43210, gid = 43211;
    const std::vector<BYTE> acl =
        MakeAcl({{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_GENERIC_READ, GroupSid(gid)}});
    // Asked before the change: the answers are now held.
    if (SidToName(UserSid(uid)).ok) return 1;
    if (SidToName(GroupSid(gid)).ok) return 2;
    if (EffectiveRights(acl.data(), UserSid(uid)) != 0) return 3;

    auto withLine = [](const char* path, const char* line, const char* copy) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf() << line;
        std::ofstream(copy) << text.str();
        return mount(copy, path, nullptr, MS_BIND, nullptr) == 0;
    };
    char dir[] = "/tmp/kiln-accounts-XXXXXX";
    if (!mkdtemp(dir)) return 4;
    const std::string passwd = std::string(dir) + "/passwd", group = std::string(dir) + "/group";
    if (!withLine("/etc/passwd", "kilnmemo:x:43210:43211::/nonexistent:/bin/false\n",
                  passwd.c_str()) ||
        !withLine("/etc/group", "kilnmemogroup:x:43211:\n", group.c_str()))
        return 5;
    std::this_thread::sleep_for(lifetime + std::chrono::milliseconds(50));
    const Account user = SidToName(UserSid(uid)), team = SidToName(GroupSid(gid));
    int failed = 0;
    if (!user.ok || user.name != u"kilnmemo")
        failed = 6;
    else if (!team.ok || team.name != u"kilnmemogroup")
        failed = 7;
    // The new user's primary group is the one the entry names.
    else if (EffectiveRights(acl.data(), UserSid(uid)) != FILE_GENERIC_READ)
        failed = 8;
    std::remove(passwd.c_str());
    std::remove(group.c_str());
    rmdir(dir);
    return failed;
}

// Names and group memberships are kept for a while after they were read; a
// change of the user database shows once that while has passed.
TEST(SecurityAccounts, ChangedUserDatabaseShowsAfterTheLookupLifetime) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(ChangedDatabaseChild());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "check that failed";
}

}  // namespace
}  // namespace kiln::test
