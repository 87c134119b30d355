// Process privileges shared by requests. The cases change the capabilities
// of the process, so each runs in a child process of its own.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "nocrtlib/security_privilege.h"

namespace kiln {
namespace {

constexpr int kCapDacReadSearch = 2;

bool EffectiveCap(int cap) {
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> cap) & 1;
    }
    return false;
}

// The child's result: 0 for success, else the number of the failed check.
int InChild(bool unprivileged, const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (unprivileged && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0))
            _exit(250);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool SetBackup(bool enabled) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
    TOKEN_PRIVILEGES change{1, {{{0, 0}, enabled ? SE_PRIVILEGE_ENABLED : 0u}}};
    LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &change.Privileges[0].Luid);
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
    CloseHandle(token);
    return ok && GetLastError() == ERROR_SUCCESS;
}

TEST(SecurityPrivileges, TheSevenNamedObjects) {
    EXPECT_EQ(std::u16string(SecurityPrivilege().Name()), u"SeSecurityPrivilege");
    EXPECT_EQ(std::u16string(BackupPrivilege().Name()), u"SeBackupPrivilege");
    EXPECT_EQ(std::u16string(RestorePrivilege().Name()), u"SeRestorePrivilege");
    EXPECT_EQ(std::u16string(TakeOwnershipPrivilege().Name()), u"SeTakeOwnershipPrivilege");
    EXPECT_EQ(std::u16string(TcbPrivilege().Name()), u"SeTcbPrivilege");
    EXPECT_EQ(std::u16string(ShutdownPrivilege().Name()), u"SeShutdownPrivilege");
    EXPECT_EQ(std::u16string(DebugPrivilege().Name()), u"SeDebugPrivilege");
    EXPECT_EQ(&BackupPrivilege(), &BackupPrivilege());
}

TEST(SecurityPrivileges, UsersNestAndTheLastOneDisables) {
    if (geteuid() != 0) GTEST_SKIP() << "needs the capabilities of root";
    int result = InChild(false, [] {
        if (!SetBackup(false) || EffectiveCap(kCapDacReadSearch)) return 1;
        Privilege& backup = BackupPrivilege();
        {
            PrivilegeUser first(backup);
            if (!first.Enable() || backup.GetState() != Privilege::kEnabled) return 2;
            if (!EffectiveCap(kCapDacReadSearch)) return 3;
            {
                PrivilegeUser second(backup);
                if (!second.Enable() || backup.UseCount() != 2) return 4;
            }
            // One user left: still enabled.
            if (backup.UseCount() != 1 || !EffectiveCap(kCapDacReadSearch)) return 5;
            if (backup.GetState() != Privilege::kEnabled) return 6;
        }
        if (backup.UseCount() != 0 || backup.GetState() != Privilege::kHeldDisabled) return 7;
        if (EffectiveCap(kCapDacReadSearch)) return 8;
        // And once more from the disabled state.
        PrivilegeUser again(backup);
        if (!again.Enable() || !EffectiveCap(kCapDacReadSearch)) return 9;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(SecurityPrivileges, PrivilegeEnabledBeforehandStaysEnabled) {
    if (geteuid() != 0) GTEST_SKIP() << "needs the capabilities of root";
    int result = InChild(false, [] {
        if (!SetBackup(true)) return 1;
        Privilege backup(SE_BACKUP_NAME);
        {
            PrivilegeUser user(backup);
            if (!user.Enable()) return 2;
        }
        if (backup.UseCount() != 0 || !EffectiveCap(kCapDacReadSearch)) return 3;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(SecurityPrivileges, UnheldPrivilegeIsTriedOncePerUser) {
    int result = InChild(true, [] {
        Privilege& backup = BackupPrivilege();
        PrivilegeUser user(backup);
        SetLastError(0);
        if (user.Enable()) return 1;
        if (GetLastError() != ERROR_PRIVILEGE_NOT_HELD) return 2;
        if (backup.GetState() != Privilege::kNotAvailable) return 3;
        if (backup.SavedError() != ERROR_PRIVILEGE_NOT_HELD) return 4;
        SetLastError(ERROR_ACCESS_DENIED);
        if (user.Enable() || GetLastError() != ERROR_PRIVILEGE_NOT_HELD) return 5;
        if (backup.Attempts() != 1) return 6;
        // Another request tries again, and fails the same way.
        PrivilegeUser other(backup);
        if (other.Enable() || GetLastError() != ERROR_PRIVILEGE_NOT_HELD) return 7;
        if (backup.Attempts() != 2 || backup.UseCount() != 0) return 8;
        // A privilege that no process here ever holds fails likewise.
        PrivilegeUser tcb(TcbPrivilege());
        if (tcb.Enable() || GetLastError() != ERROR_PRIVILEGE_NOT_HELD) return 9;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(SecurityPrivileges, ReleasingAnUnusedPrivilegeIsAnAssertion) {
    Privilege unused(SE_SHUTDOWN_NAME);
    try {
        unused.Release();
        FAIL() << "no assertion";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("!!m_count"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("WinSecurity"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace kiln
