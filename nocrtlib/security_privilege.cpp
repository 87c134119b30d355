#include "nocrtlib/security_privilege.h"

#include <mutex>

#include "nocrtlib/assertion.h"
#include "nocrtlib/datavect.h"

namespace kiln {

namespace {

constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;  // 0x28

std::recursive_mutex& PrivilegeLock() {
    static auto* lock = new std::recursive_mutex;  // used until the process ends
    return *lock;
}

class TokenHandle {
  public:
    TokenHandle() = default;
    ~TokenHandle() {
        if (handle_) CloseHandle(handle_);
    }
    TokenHandle(const TokenHandle&) = delete;
    TokenHandle& operator=(const TokenHandle&) = delete;
    bool Open() { return OpenProcessToken(GetCurrentProcess(), kTokenAccess, &handle_) != FALSE; }
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_ = nullptr;
};

}  // namespace

Privilege::State Privilege::GetState() const {
    std::lock_guard guard(PrivilegeLock());
    return m_state;
}

DWORD Privilege::SavedError() const {
    std::lock_guard guard(PrivilegeLock());
    return m_error;
}

unsigned Privilege::UseCount() const {
    std::lock_guard guard(PrivilegeLock());
    return m_count;
}

unsigned Privilege::Attempts() const {
    std::lock_guard guard(PrivilegeLock());
    return m_attempts;
}

void Privilege::LookUp(HANDLE token) {
    m_state = kNotAvailable;
    if (!LookupPrivilegeValueW(nullptr, m_name, &m_luid)) {
        m_error = GetLastError();
        return;
    }
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        m_error = GetLastError();
        return;
    }
    datavect<BYTE> buffer;
    if (!buffer.resize(2 * size + sizeof(TOKEN_PRIVILEGES))) {
        m_error = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &size)) {
        m_error = GetLastError();
        return;
    }
    auto* list = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = list->Privileges[i];
        if (entry.Luid.LowPart != m_luid.LowPart || entry.Luid.HighPart != m_luid.HighPart)
            continue;
        if (entry.Attributes & SE_PRIVILEGE_REMOVED) {
            // A removed privilege leaves no error of its own to report.
            m_error = ERROR_PRIVILEGE_NOT_HELD;
            return;
        }
        m_state = (entry.Attributes & SE_PRIVILEGE_ENABLED) ? kEnabled : kHeldDisabled;
        m_enabledBefore = m_state == kEnabled;
        m_error = ERROR_SUCCESS;
        return;
    }
    m_error = ERROR_PRIVILEGE_NOT_HELD;
}

bool Privilege::SetEnabled(HANDLE token, bool enable) {
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    change.Privileges[0].Luid = m_luid;
    change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr)) return false;
    // Windows reports a privilege it could not change as success with
    // ERROR_NOT_ALL_ASSIGNED; that is a failure here.
    return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

bool Privilege::Acquire() {
    std::lock_guard guard(PrivilegeLock());
    ++m_attempts;
    if (m_state == kEnabled && m_count > 0) {
        ++m_count;
        return true;
    }
    TokenHandle token;
    if (!token.Open()) return false;
    if (m_state == kNotLookedAt) LookUp(token.Get());
    if (m_state == kNotAvailable) {
        SetLastError(m_error);
        return false;
    }
    if (!SetEnabled(token.Get(), true)) return false;
    m_state = kEnabled;
    m_count = 1;
    return true;
}

void Privilege::Release() {
    std::lock_guard guard(PrivilegeLock());
    KILN_ASSERT_TEXT_AT(m_count != 0, "!!m_count", "WinSecurity", __LINE__);
    if (--m_count != 0) return;
    // A privilege that was on before anyone here asked for it stays on: the
    // process relied on it before.
    if (m_enabledBefore) return;
    DWORD savedError = GetLastError();
    TokenHandle token;
    if (token.Open() && SetEnabled(token.Get(), false)) m_state = kHeldDisabled;
    SetLastError(savedError);
}

namespace {

Privilege& Named(int index) {
    static Privilege* privileges[] = {
        new Privilege(SE_SECURITY_NAME), new Privilege(SE_BACKUP_NAME),
        new Privilege(SE_RESTORE_NAME),  new Privilege(SE_TAKE_OWNERSHIP_NAME),
        new Privilege(SE_TCB_NAME),      new Privilege(SE_SHUTDOWN_NAME),
        new Privilege(SE_DEBUG_NAME),
    };
    return *privileges[index];
}

}  // namespace

Privilege& SecurityPrivilege() {
    return Named(0);
}
Privilege& BackupPrivilege() {
    return Named(1);
}
Privilege& RestorePrivilege() {
    return Named(2);
}
Privilege& TakeOwnershipPrivilege() {
    return Named(3);
}
Privilege& TcbPrivilege() {
    return Named(4);
}
Privilege& ShutdownPrivilege() {
    return Named(5);
}
Privilege& DebugPrivilege() {
    return Named(6);
}

bool PrivilegeUser::Enable() {
    if (m_tried) {
        if (!m_enabled) SetLastError(m_error);
        return m_enabled;
    }
    m_tried = true;
    m_enabled = m_privilege.Acquire();
    if (!m_enabled) m_error = GetLastError();
    return m_enabled;
}

void PrivilegeUser::Release() {
    if (!m_enabled) return;
    m_enabled = false;
    m_tried = false;
    m_privilege.Release();
}

}  // namespace kiln
