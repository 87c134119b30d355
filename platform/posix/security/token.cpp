// The process token: its user and group, and its privileges as Linux
// capabilities. A privilege is held when all its capabilities are permitted
// and enabled when the token says so and they are all effective. Several
// privileges share capabilities (SeRestorePrivilege includes what
// SeTakeOwnershipPrivilege maps to), so disabling one clears only the
// capabilities that no other enabled privilege needs. Capability sets are per
// thread on Linux; libpsx, linked before libcap, makes cap_set_proc change
// every thread of the process.
#include <sys/capability.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/caches.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/security/internal.h"
#include "platform/posix/system/ascii_case.h"
#include "platform/posix/system/handle_table.h"

namespace {

using kiln::platform::SameIgnoringAsciiCase;
using kiln::platform::ScopeCallerIdentity;
using kiln::platform::security::Bytes;

struct CapList {
    int count = 0;
    cap_value_t values[3] = {};
    const cap_value_t* begin() const { return values; }
    const cap_value_t* end() const { return values + count; }
    size_t size() const { return static_cast<size_t>(count); }
};

struct PrivilegeInfo {
    std::u16string_view name;
    DWORD luid;
    CapList caps;  // empty: never held here
};

// LUIDs are the ones Windows assigns.
const PrivilegeInfo kPrivileges[] = {
    {SE_CREATE_TOKEN_NAME, 2, {}},
    {SE_ASSIGNPRIMARYTOKEN_NAME, 3, {}},
    {SE_LOCK_MEMORY_NAME, 4, {1, {CAP_IPC_LOCK}}},
    {SE_INCREASE_QUOTA_NAME, 5, {}},
    {SE_MACHINE_ACCOUNT_NAME, 6, {}},
    {SE_TCB_NAME, 7, {}},
    {SE_SECURITY_NAME, 8, {1, {CAP_SYS_ADMIN}}},
    {SE_TAKE_OWNERSHIP_NAME, 9, {2, {CAP_CHOWN, CAP_FOWNER}}},
    {SE_LOAD_DRIVER_NAME, 10, {}},
    {SE_SYSTEM_PROFILE_NAME, 11, {}},
    {SE_SYSTEMTIME_NAME, 12, {1, {CAP_SYS_TIME}}},
    {SE_PROF_SINGLE_PROCESS_NAME, 13, {}},
    {SE_INC_BASE_PRIORITY_NAME, 14, {1, {CAP_SYS_NICE}}},
    {SE_CREATE_PAGEFILE_NAME, 15, {}},
    {SE_CREATE_PERMANENT_NAME, 16, {}},
    {SE_BACKUP_NAME, 17, {1, {CAP_DAC_READ_SEARCH}}},
    {SE_RESTORE_NAME, 18, {3, {CAP_DAC_OVERRIDE, CAP_CHOWN, CAP_FOWNER}}},
    {SE_SHUTDOWN_NAME, 19, {1, {CAP_SYS_BOOT}}},
    {SE_DEBUG_NAME, 20, {1, {CAP_SYS_PTRACE}}},
    {SE_AUDIT_NAME, 21, {}},
    {SE_SYSTEM_ENVIRONMENT_NAME, 22, {}},
    {SE_CHANGE_NOTIFY_NAME, 23, {}},
    {SE_REMOTE_SHUTDOWN_NAME, 24, {}},
    {SE_UNDOCK_NAME, 25, {}},
    {SE_MANAGE_VOLUME_NAME, 28, {}},
    {SE_IMPERSONATE_NAME, 29, {}},
    {SE_CREATE_GLOBAL_NAME, 30, {}},
};
constexpr size_t kPrivilegeCount = sizeof kPrivileges / sizeof kPrivileges[0];

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

class TokenObject final : public kiln::platform::KernelObject {
  public:
    explicit TokenObject(DWORD access) : access_(access) {}
    DWORD Access() const { return access_; }

  private:
    DWORD access_;
};

// The current capability sets of the calling thread (which psx keeps equal
// to those of every other thread).
class Capabilities {
  public:
    Capabilities() : caps_(cap_get_proc()) {}
    ~Capabilities() {
        if (caps_) cap_free(caps_);
    }
    Capabilities(const Capabilities&) = delete;
    Capabilities& operator=(const Capabilities&) = delete;

    bool Valid() const { return caps_ != nullptr; }
    bool Has(cap_value_t cap, cap_flag_t set) const {
        cap_flag_value_t value = CAP_CLEAR;
        return caps_ && cap_get_flag(caps_, cap, set, &value) == 0 && value == CAP_SET;
    }
    bool HasAll(const PrivilegeInfo& privilege, cap_flag_t set) const {
        if (privilege.caps.size() == 0) return false;
        for (cap_value_t cap : privilege.caps)
            if (!Has(cap, set)) return false;
        return true;
    }
    void SetEffective(cap_value_t cap, bool on) {
        cap_set_flag(caps_, CAP_EFFECTIVE, 1, &cap, on ? CAP_SET : CAP_CLEAR);
    }
    bool Apply() { return cap_set_proc(caps_) == 0; }

  private:
    cap_t caps_;
};

struct TokenState {
    std::mutex lock;
    bool initialised = false;
    bool enabled[kPrivilegeCount] = {};
};

TokenState& State() {
    static TokenState* state = new TokenState;  // used until the process ends
    return *state;
}

// Call with the state's lock held.
void InitialiseState(TokenState& state, const Capabilities& caps) {
    if (state.initialised) return;
    for (size_t i = 0; i < kPrivilegeCount; ++i)
        state.enabled[i] = caps.HasAll(kPrivileges[i], CAP_EFFECTIVE);
    state.initialised = true;
}

bool IsEnabled(const TokenState& state, const Capabilities& caps, size_t i) {
    return state.enabled[i] && caps.HasAll(kPrivileges[i], CAP_EFFECTIVE);
}

int IndexOfLuid(const LUID& luid) {
    if (luid.HighPart != 0) return -1;
    for (size_t i = 0; i < kPrivilegeCount; ++i)
        if (kPrivileges[i].luid == luid.LowPart) return static_cast<int>(i);
    return -1;
}

DWORD MapTokenAccess(DWORD access) {
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= TOKEN_ALL_ACCESS;
    if (access & GENERIC_READ) access |= READ_CONTROL | TOKEN_QUERY;
    if (access & GENERIC_WRITE)
        access |=
            READ_CONTROL | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
    if (access & GENERIC_EXECUTE) access |= READ_CONTROL;
    return access &
           ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

std::shared_ptr<TokenObject> LookupToken(HANDLE handle, DWORD needed) {
    auto token = kiln::platform::LookupHandleAs<TokenObject>(handle);
    if (!token) return nullptr;
    if ((token->Access() & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return token;
}

// Fills a TOKEN_OWNER / TOKEN_PRIMARY_GROUP / TOKEN_USER: a pointer (and for
// TOKEN_USER the attributes) followed by the SID it points at.
BOOL StoreSidRecord(const Bytes& sid, size_t headerSize, LPVOID buffer, DWORD length,
                    PDWORD returnLength) {
    DWORD needed = static_cast<DWORD>(headerSize + sid.size());
    *returnLength = needed;
    if (!buffer || length < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* p = static_cast<BYTE*>(buffer);
    std::memset(p, 0, headerSize);
    std::memcpy(p + headerSize, sid.data(), sid.size());
    void* sidAddress = p + headerSize;
    std::memcpy(p, &sidAddress, sizeof sidAddress);
    return TRUE;
}

}  // namespace

namespace kiln::platform::security {

bool SecurityPrivilegeEnabled() {
    TokenState& state = State();
    std::lock_guard guard(state.lock);
    Capabilities caps;
    if (!caps.Valid()) return false;
    InitialiseState(state, caps);
    for (size_t i = 0; i < kPrivilegeCount; ++i)
        if (kPrivileges[i].name == SE_SECURITY_NAME) return IsEnabled(state, caps, i);
    return false;
}

}  // namespace kiln::platform::security

HANDLE GetCurrentProcess() {
    return kCurrentProcess;
}
HANDLE GetCurrentThread() {
    return kCurrentThread;
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (!TokenHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ProcessHandle != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HANDLE handle = kiln::platform::RegisterHandle(
        std::make_shared<TokenObject>(MapTokenAccess(DesiredAccess)));
    if (!handle) return FALSE;
    *TokenHandle = handle;
    return TRUE;
}

BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD /*DesiredAccess*/, BOOL /*OpenAsSelf*/,
                     PHANDLE TokenHandle) {
    if (!TokenHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ThreadHandle != kCurrentThread && !kiln::platform::LookupHandle(ThreadHandle)) return FALSE;
    // No thread ever impersonates.
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength,
                         PDWORD ReturnLength) {
    using namespace kiln::platform::security;
    if (!ReturnLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!LookupToken(TokenHandle, TOKEN_QUERY)) return FALSE;
    switch (TokenInformationClass) {
        case TokenUser:
            return StoreSidRecord(UnixUserSid(ScopeCallerIdentity().uid), sizeof(TOKEN_USER),
                                  TokenInformation, TokenInformationLength, ReturnLength);
        case TokenOwner:
            return StoreSidRecord(UnixUserSid(ScopeCallerIdentity().uid), sizeof(TOKEN_OWNER),
                                  TokenInformation, TokenInformationLength, ReturnLength);
        case TokenPrimaryGroup:
            return StoreSidRecord(UnixGroupSid(ScopeCallerIdentity().gid),
                                  sizeof(TOKEN_PRIMARY_GROUP), TokenInformation,
                                  TokenInformationLength, ReturnLength);
        case TokenPrivileges: {
            TokenState& state = State();
            std::lock_guard guard(state.lock);
            Capabilities caps;
            if (!caps.Valid()) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return FALSE;
            }
            InitialiseState(state, caps);
            std::vector<LUID_AND_ATTRIBUTES> held;
            for (size_t i = 0; i < kPrivilegeCount; ++i) {
                if (!caps.HasAll(kPrivileges[i], CAP_PERMITTED)) continue;
                LUID_AND_ATTRIBUTES entry{{kPrivileges[i].luid, 0}, 0};
                if (IsEnabled(state, caps, i)) entry.Attributes = SE_PRIVILEGE_ENABLED;
                held.push_back(entry);
            }
            DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                              held.size() * sizeof(LUID_AND_ATTRIBUTES));
            *ReturnLength = needed;
            if (!TokenInformation || TokenInformationLength < needed) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            BYTE* p = static_cast<BYTE*>(TokenInformation);
            DWORD count = static_cast<DWORD>(held.size());
            std::memcpy(p, &count, sizeof count);
            if (!held.empty())
                std::memcpy(p + offsetof(TOKEN_PRIVILEGES, Privileges), held.data(),
                            held.size() * sizeof(LUID_AND_ATTRIBUTES));
            return TRUE;
        }
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    if (!lpName || !lpLuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpSystemName && *lpSystemName) {
        // Remote systems are not reachable from here.
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    for (const PrivilegeInfo& privilege : kPrivileges) {
        if (SameIgnoringAsciiCase(privilege.name, lpName)) {
            lpLuid->LowPart = privilege.luid;
            lpLuid->HighPart = 0;
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    if (!LookupToken(TokenHandle, TOKEN_ADJUST_PRIVILEGES)) return FALSE;
    if (!DisableAllPrivileges && !NewState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TokenState& state = State();
    std::lock_guard guard(state.lock);
    Capabilities caps;
    if (!caps.Valid()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    InitialiseState(state, caps);

    bool current[kPrivilegeCount], wanted[kPrivilegeCount];
    for (size_t i = 0; i < kPrivilegeCount; ++i) wanted[i] = current[i] = IsEnabled(state, caps, i);
    bool notAllAssigned = false;
    if (DisableAllPrivileges) {
        for (bool& w : wanted) w = false;
    } else {
        DWORD count;
        std::memcpy(&count, NewState, sizeof count);
        const BYTE* entries =
            reinterpret_cast<const BYTE*>(NewState) + offsetof(TOKEN_PRIVILEGES, Privileges);
        for (DWORD n = 0; n < count; ++n) {
            LUID_AND_ATTRIBUTES entry;
            std::memcpy(&entry, entries + n * sizeof entry, sizeof entry);
            if (entry.Attributes & SE_PRIVILEGE_REMOVED) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return FALSE;
            }
            int i = IndexOfLuid(entry.Luid);
            if (i < 0 || !caps.HasAll(kPrivileges[i], CAP_PERMITTED)) {
                notAllAssigned = true;
                continue;
            }
            wanted[i] = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }

    // The previous state lists the privileges that change, as Windows does.
    std::vector<LUID_AND_ATTRIBUTES> changed;
    for (size_t i = 0; i < kPrivilegeCount; ++i)
        if (wanted[i] != current[i])
            changed.push_back({{kPrivileges[i].luid, 0}, current[i] ? SE_PRIVILEGE_ENABLED : 0u});
    if (PreviousState) {
        DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                          changed.size() * sizeof(LUID_AND_ATTRIBUTES));
        if (ReturnLength) *ReturnLength = needed;
        if (BufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
    }

    for (size_t i = 0; i < kPrivilegeCount; ++i) {
        if (wanted[i] == current[i] || wanted[i]) continue;
        for (cap_value_t cap : kPrivileges[i].caps) {
            bool neededElsewhere = false;
            for (size_t j = 0; j < kPrivilegeCount; ++j) {
                if (j == i || !wanted[j]) continue;
                for (cap_value_t other : kPrivileges[j].caps) neededElsewhere |= other == cap;
            }
            if (!neededElsewhere) caps.SetEffective(cap, false);
        }
    }
    for (size_t i = 0; i < kPrivilegeCount; ++i)
        if (wanted[i] && !current[i])
            for (cap_value_t cap : kPrivileges[i].caps) caps.SetEffective(cap, true);
    if (!changed.empty() && !caps.Apply()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!changed.empty()) kiln::platform::caches::NotePrivilegesChanged();
    for (size_t i = 0; i < kPrivilegeCount; ++i) state.enabled[i] = wanted[i];

    if (PreviousState) {
        BYTE* p = reinterpret_cast<BYTE*>(PreviousState);
        DWORD count = static_cast<DWORD>(changed.size());
        std::memcpy(p, &count, sizeof count);
        if (!changed.empty())
            std::memcpy(p + offsetof(TOKEN_PRIVILEGES, Privileges), changed.data(),
                        changed.size() * sizeof(LUID_AND_ATTRIBUTES));
    }
    SetLastError(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}
