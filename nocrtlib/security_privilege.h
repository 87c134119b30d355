// Process privileges that several requests may need at once. A privilege is
// enabled in the process token while anyone uses it and disabled again when
// the last user releases it; all privilege objects share one lock.
#pragma once

#include "platform/win32.h"

namespace kiln {

class Privilege {
  public:
    enum State : int {
        kNotLookedAt = 0,
        kNotAvailable = 1,  // SavedError() says why
        kHeldDisabled = 2,
        kEnabled = 3,
    };

    // name: the Windows privilege name, such as SE_BACKUP_NAME.
    explicit Privilege(const char16_t* name) : m_name(name) {}
    Privilege(const Privilege&) = delete;
    Privilege& operator=(const Privilege&) = delete;

    // Enables the privilege (or counts one more user of the enabled one).
    // False with the thread's last error when it cannot be enabled.
    bool Acquire();
    // Gives up one use; the last one disables the privilege again, unless it
    // was already enabled before this object first enabled it.
    void Release();

    const char16_t* Name() const { return m_name; }
    State GetState() const;
    DWORD SavedError() const;
    unsigned UseCount() const;
    // How many times Acquire was called.
    unsigned Attempts() const;

  private:
    void LookUp(HANDLE token);
    bool SetEnabled(HANDLE token, bool enable);

    const char16_t* m_name;
    State m_state = kNotLookedAt;
    DWORD m_error = ERROR_SUCCESS;
    LUID m_luid{};
    unsigned m_count = 0;
    unsigned m_attempts = 0;
    bool m_enabledBefore = false;  // found enabled: never disabled by us
};

// The module's seven process-wide privileges.
Privilege& SecurityPrivilege();
Privilege& BackupPrivilege();
Privilege& RestorePrivilege();
Privilege& TakeOwnershipPrivilege();
Privilege& TcbPrivilege();
Privilege& ShutdownPrivilege();
Privilege& DebugPrivilege();

// One request's use of a privilege: it tries to enable it once, remembers
// the outcome, and releases it at the end of the request when it was enabled.
class PrivilegeUser {
  public:
    explicit PrivilegeUser(Privilege& privilege) : m_privilege(privilege) {}
    ~PrivilegeUser() { Release(); }
    PrivilegeUser(const PrivilegeUser&) = delete;
    PrivilegeUser& operator=(const PrivilegeUser&) = delete;

    // The first call acquires; later calls give the first result and, after a
    // failure, set the thread's last error to that failure's error again.
    bool Enable();
    bool IsEnabled() const { return m_enabled; }
    // Releases now when enabled; the user may then try again.
    void Release();

  private:
    Privilege& m_privilege;
    bool m_tried = false;
    bool m_enabled = false;
    DWORD m_error = ERROR_SUCCESS;
};

}  // namespace kiln
