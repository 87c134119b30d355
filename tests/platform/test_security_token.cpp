// The process token: user and group, privileges as capabilities.
#include <gtest/gtest.h>
#include <linux/capability.h>

#include <fstream>
#include <string>

#include "platform/resolution_scope.h"
#include "security_test_support.h"

namespace kiln::test {
namespace {

HANDLE OpenToken(DWORD access) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
    return token;
}

// The attributes of a privilege in the token's list, or -1 when not listed.
long PrivilegeAttributes(HANDLE token, const char16_t* name) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid)) return -2;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return -3;
    auto* list = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i)
        if (list->Privileges[i].Luid.LowPart == luid.LowPart) return list->Privileges[i].Attributes;
    return -1;
}

BOOL Adjust(HANDLE token, const char16_t* name, DWORD attributes) {
    TOKEN_PRIVILEGES change{1, {{{0, 0}, attributes}}};
    LookupPrivilegeValueW(nullptr, name, &change.Privileges[0].Luid);
    return AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
}

TEST(SecurityToken, PseudoHandlesAndThreadToken) {
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)));
    HANDLE token = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SecurityToken, OwnerAndPrimaryGroupAreTheEffectiveIds) {
    HANDLE token = OpenToken(TOKEN_QUERY);
    struct Case {
        TOKEN_INFORMATION_CLASS what;
        SidBuffer expected;
    };
    const Case cases[] = {{TokenOwner, UserSid(geteuid())},
                          {TokenUser, UserSid(geteuid())},
                          {TokenPrimaryGroup, GroupSid(getegid())}};
    for (const Case& c : cases) {
        DWORD size = 0;
        EXPECT_FALSE(GetTokenInformation(token, c.what, nullptr, 0, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_GT(size, c.expected.size());
        std::vector<BYTE> buffer(size);
        ASSERT_TRUE(GetTokenInformation(token, c.what, buffer.data(), size, &size));
        PSID sid = *reinterpret_cast<PSID*>(buffer.data());  // first member of all three
        EXPECT_TRUE(EqualSid(sid, const_cast<BYTE*>(c.expected.data())));
    }
    CloseHandle(token);

    HANDLE adjustOnly = OpenToken(TOKEN_ADJUST_PRIVILEGES);
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(adjustOnly, TokenOwner, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(adjustOnly);
}

// A request reads the effective user once; the next request sees a change.
TEST(SecurityToken, TokenUserFollowsTheEffectiveUserFromOneRequestToTheNext) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change the effective user";
    auto tokenUserIs = [](uid_t uid) {
        HANDLE token = nullptr;
        BYTE buffer[128];
        DWORD size = 0;
        const bool read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                          GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
        CloseHandle(token);
        SidBuffer expected = UserSid(uid);
        return read && EqualSid(*reinterpret_cast<PSID*>(buffer), expected.data());
    };
    EXPECT_EQ(InChild([&] {
                  {
                      platform::ResolutionScope request;
                      if (!tokenUserIs(0)) return 1;
                  }
                  if (seteuid(kNobody) != 0) return 2;
                  platform::ResolutionScope next;
                  return tokenUserIs(kNobody) ? 0 : 3;
              }),
              0);
}

TEST(SecurityToken, PrivilegeNamesHaveWindowsLuids) {
    struct Case {
        const char16_t* name;
        DWORD luid;
    };
    const Case cases[] = {{u"SeSecurityPrivilege", 8},  {u"setakeownershipprivilege", 9},
                          {u"SeBackupPrivilege", 17},   {u"SeRestorePrivilege", 18},
                          {u"SeShutdownPrivilege", 19}, {u"SeDebugPrivilege", 20},
                          {u"SeTcbPrivilege", 7}};
    for (const Case& c : cases) {
        LUID luid{99, 99};
        ASSERT_TRUE(LookupPrivilegeValueW(nullptr, c.name, &luid));
        EXPECT_EQ(luid.LowPart, c.luid);
        EXPECT_EQ(luid.HighPart, 0);
    }
    LUID luid;
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
}

DWORD WINAPI ReportsBackupCapability(LPVOID go) {
    WaitForSingleObject(static_cast<HANDLE>(go), INFINITE);
    return EffectiveCap(CAP_DAC_READ_SEARCH) ? 1 : 0;
}

// Changes the capabilities of the whole process, so it runs in a child.
TEST(SecurityToken, EnablingAndDisablingChangesEveryThread) {
    if (geteuid() != 0) GTEST_SKIP() << "needs the capabilities of root";
    pid_t pid = fork();
    if (pid == 0) {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            _exit(1);
        if (!Adjust(token, u"SeBackupPrivilege", 0) || GetLastError() != ERROR_SUCCESS) _exit(2);
        if (EffectiveCap(CAP_DAC_READ_SEARCH)) _exit(3);
        if (PrivilegeAttributes(token, u"SeBackupPrivilege") != 0) _exit(4);
        // Disabling SeTakeOwnership keeps what SeRestore still needs.
        if (!Adjust(token, u"SeTakeOwnershipPrivilege", 0)) _exit(5);
        if (!EffectiveCap(CAP_CHOWN) || !EffectiveCap(CAP_FOWNER)) _exit(6);
        if (PrivilegeAttributes(token, u"SeTakeOwnershipPrivilege") != 0) _exit(7);
        if (PrivilegeAttributes(token, u"SeRestorePrivilege") != SE_PRIVILEGE_ENABLED) _exit(8);
        if (!Adjust(token, u"SeRestorePrivilege", 0)) _exit(9);
        if (EffectiveCap(CAP_CHOWN) || EffectiveCap(CAP_DAC_OVERRIDE)) _exit(10);
        // A thread that exists before the change sees it too.
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, ReportsBackupCapability, go, 0, nullptr);
        if (!go || !thread) _exit(11);
        if (!Adjust(token, u"SeBackupPrivilege", SE_PRIVILEGE_ENABLED)) _exit(11);
        SetEvent(go);
        DWORD sees = 0;
        if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0 ||
            !GetExitCodeThread(thread, &sees) || sees != 1)
            _exit(12);
        if (!EffectiveCap(CAP_DAC_READ_SEARCH)) _exit(12);
        // The previous state lists what changed.
        TOKEN_PRIVILEGES change{1, {{{0, 0}, 0}}};
        LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &change.Privileges[0].Luid);
        TOKEN_PRIVILEGES previous{};
        DWORD length = 0;
        if (!AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &length))
            _exit(13);
        if (previous.PrivilegeCount != 1 ||
            previous.Privileges[0].Attributes != SE_PRIVILEGE_ENABLED)
            _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SecurityToken, UnheldPrivilegeIsNotAssignedForAnUnprivilegedUser) {
    int result = RunAsNobody([] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return 1;
        if (PrivilegeAttributes(token, u"SeBackupPrivilege") != -1) return 2;  // not listed
        SetLastError(12345);
        if (!Adjust(token, u"SeBackupPrivilege", SE_PRIVILEGE_ENABLED)) return 3;
        if (GetLastError() != ERROR_NOT_ALL_ASSIGNED) return 4;
        if (EffectiveCap(CAP_DAC_READ_SEARCH)) return 5;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace kiln::test
