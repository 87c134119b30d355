// Process privileges shared by requests. The cases change the capabilities
// of the process, so each runs in a child process of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "nocrtlib/security_privilege.h"
#include "platform/security_test_support.h"

namespace kiln {
namespace {

using test::EffectiveCap;

constexpr int kCapDacReadSearch = 2;

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
    int result = test::InChild([] {
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
    int result = test::InChild([] {
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
    int result = test::RunAsNobody([] {
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
