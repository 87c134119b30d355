// The Windows flavour of the platform headers: the real SDK, plus what the
// system's code needs that the SDK does not give in the same form.
//
// The system's wide strings are char16_t; the SDK's are wchar_t, of the same
// size and representation on Windows but a distinct C++ type. The overloads
// below take char16_t strings and cast at the call, so that code above the
// platform layer calls the W functions alike on both systems. They are
// templates only so that a null pointer argument still picks the SDK's own
// declaration instead of being ambiguous.
#pragma once

#ifndef _WIN32
#error "platform/windows/ is the Windows flavour"
#endif

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which these rely on.
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdint>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");

// Constants that the SDK of the toolchain lacks or keeps in the driver kit.
#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif
#ifndef ERROR_INVALID_LOCK_RANGE
#define ERROR_INVALID_LOCK_RANGE 307L
#endif
#ifndef ERROR_INVALID_SECURITY_INFO
#define ERROR_INVALID_SECURITY_INFO 1383L
#endif
#ifndef FILE_ATTRIBUTE_INTEGRITY_STREAM
#define FILE_ATTRIBUTE_INTEGRITY_STREAM 0x00008000u
#endif
#ifndef FILE_ATTRIBUTE_NO_SCRUB_DATA
#define FILE_ATTRIBUTE_NO_SCRUB_DATA 0x00020000u
#endif
#ifndef SE_DACL_UNTRUSTED
#define SE_DACL_UNTRUSTED 0x0040
#endif
#ifndef SE_SERVER_SECURITY
#define SE_SERVER_SECURITY 0x0080
#endif
// The authority of Unix users and groups, as Windows' services for Unix
// name them (S-1-22-1-uid, S-1-22-2-gid); such SIDs can reach a Windows
// provider from a client.
#ifndef SECURITY_UNIX_AUTHORITY
#define SECURITY_UNIX_AUTHORITY \
    {                           \
        { 0, 0, 0, 0, 0, 22 }   \
    }
#define SECURITY_UNIX_USER_RID 0x00000001u
#define SECURITY_UNIX_GROUP_RID 0x00000002u
#endif

// Privilege names are the system's wide strings, as on Linux (the SDK spells
// them in the TCHAR type).
#undef SE_CREATE_TOKEN_NAME
#define SE_CREATE_TOKEN_NAME u"SeCreateTokenPrivilege"
#undef SE_ASSIGNPRIMARYTOKEN_NAME
#define SE_ASSIGNPRIMARYTOKEN_NAME u"SeAssignPrimaryTokenPrivilege"
#undef SE_LOCK_MEMORY_NAME
#define SE_LOCK_MEMORY_NAME u"SeLockMemoryPrivilege"
#undef SE_INCREASE_QUOTA_NAME
#define SE_INCREASE_QUOTA_NAME u"SeIncreaseQuotaPrivilege"
#undef SE_MACHINE_ACCOUNT_NAME
#define SE_MACHINE_ACCOUNT_NAME u"SeMachineAccountPrivilege"
#undef SE_TCB_NAME
#define SE_TCB_NAME u"SeTcbPrivilege"
#undef SE_SECURITY_NAME
#define SE_SECURITY_NAME u"SeSecurityPrivilege"
#undef SE_TAKE_OWNERSHIP_NAME
#define SE_TAKE_OWNERSHIP_NAME u"SeTakeOwnershipPrivilege"
#undef SE_LOAD_DRIVER_NAME
#define SE_LOAD_DRIVER_NAME u"SeLoadDriverPrivilege"
#undef SE_SYSTEM_PROFILE_NAME
#define SE_SYSTEM_PROFILE_NAME u"SeSystemProfilePrivilege"
#undef SE_SYSTEMTIME_NAME
#define SE_SYSTEMTIME_NAME u"SeSystemtimePrivilege"
#undef SE_PROF_SINGLE_PROCESS_NAME
#define SE_PROF_SINGLE_PROCESS_NAME u"SeProfileSingleProcessPrivilege"
#undef SE_INC_BASE_PRIORITY_NAME
#define SE_INC_BASE_PRIORITY_NAME u"SeIncreaseBasePriorityPrivilege"
#undef SE_CREATE_PAGEFILE_NAME
#define SE_CREATE_PAGEFILE_NAME u"SeCreatePagefilePrivilege"
#undef SE_CREATE_PERMANENT_NAME
#define SE_CREATE_PERMANENT_NAME u"SeCreatePermanentPrivilege"
#undef SE_BACKUP_NAME
#define SE_BACKUP_NAME u"SeBackupPrivilege"
#undef SE_RESTORE_NAME
#define SE_RESTORE_NAME u"SeRestorePrivilege"
#undef SE_SHUTDOWN_NAME
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#undef SE_DEBUG_NAME
#define SE_DEBUG_NAME u"SeDebugPrivilege"
#undef SE_AUDIT_NAME
#define SE_AUDIT_NAME u"SeAuditPrivilege"
#undef SE_SYSTEM_ENVIRONMENT_NAME
#define SE_SYSTEM_ENVIRONMENT_NAME u"SeSystemEnvironmentPrivilege"
#undef SE_CHANGE_NOTIFY_NAME
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"
#undef SE_REMOTE_SHUTDOWN_NAME
#define SE_REMOTE_SHUTDOWN_NAME u"SeRemoteShutdownPrivilege"
#undef SE_UNDOCK_NAME
#define SE_UNDOCK_NAME u"SeUndockPrivilege"
#undef SE_MANAGE_VOLUME_NAME
#define SE_MANAGE_VOLUME_NAME u"SeManageVolumePrivilege"
#undef SE_IMPERSONATE_NAME
#define SE_IMPERSONATE_NAME u"SeImpersonatePrivilege"
#undef SE_CREATE_GLOBAL_NAME
#define SE_CREATE_GLOBAL_NAME u"SeCreateGlobalPrivilege"

#include "platform/reparse_data.h"

namespace kiln::platform::win {
inline LPCWSTR W(const char16_t* s) {
    return reinterpret_cast<LPCWSTR>(s);
}
inline LPWSTR W(char16_t* s) {
    return reinterpret_cast<LPWSTR>(s);
}

// What a path-taking call acts on, and so what must lie beneath the
// confinement root before it runs (platform/windows/confinement.h).
enum class Reach {
    Name,    // a name in its directory (create, remove, rename, link, list): the directory
    Entry,   // what the name denotes, a final link itself rather than where it leads;
             // when nothing has the name, its directory
    Object,  // as Entry, and where a final link leads as well
};

// Whether a call on the path may go ahead: true when it stays inside the
// root, or there is no root, or there is no path. Otherwise false with the
// last error ERROR_PATH_NOT_FOUND (the directory lies outside) or
// ERROR_FILE_NOT_FOUND (the object does), as for a path that does not exist,
// or the error that kept the check from looking.
bool MayReach(LPCWSTR path, Reach reach);

// The checks as the adapters below make them.
inline bool NameInside(const char16_t* path) {
    return MayReach(W(path), Reach::Name);
}
inline bool EntryInside(const char16_t* path) {
    return MayReach(W(path), Reach::Entry);
}
inline bool ObjectInside(const char16_t* path) {
    return MayReach(W(path), Reach::Object);
}
// A name that is removed or renamed away: the directory that loses it, and
// what it denotes, which a system that takes a final link for its target
// (Wine with the host's links) would act on instead.
inline bool RemovableInside(const char16_t* path) {
    return NameInside(path) && EntryInside(path);
}

// CreateFileW held to the confinement root.
HANDLE ConfinedCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
}  // namespace kiln::platform::win

#define KILN_WIDE_ADAPTER \
    template <int = 0>    \
    inline

KILN_WIDE_ADAPTER HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                     HANDLE templateFile) {
    return kiln::platform::win::ConfinedCreateFile(kiln::platform::win::W(name), access, share,
                                                   security, disposition, flags, templateFile);
}
KILN_WIDE_ADAPTER DWORD GetFileAttributesW(const char16_t* name) {
    if (!kiln::platform::win::EntryInside(name)) return INVALID_FILE_ATTRIBUTES;
    return ::GetFileAttributesW(kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER BOOL GetFileAttributesExW(const char16_t* name, GET_FILEEX_INFO_LEVELS level,
                                            LPVOID information) {
    if (!kiln::platform::win::EntryInside(name)) return FALSE;
    return ::GetFileAttributesExW(kiln::platform::win::W(name), level, information);
}
KILN_WIDE_ADAPTER BOOL SetFileAttributesW(const char16_t* name, DWORD attributes) {
    if (!kiln::platform::win::ObjectInside(name)) return FALSE;
    return ::SetFileAttributesW(kiln::platform::win::W(name), attributes);
}
KILN_WIDE_ADAPTER HANDLE FindFirstFileW(const char16_t* name, LPWIN32_FIND_DATAW data) {
    // The directory searched is the one that holds the pattern's final name.
    if (!kiln::platform::win::NameInside(name)) return INVALID_HANDLE_VALUE;
    return ::FindFirstFileW(kiln::platform::win::W(name), data);
}
KILN_WIDE_ADAPTER BOOL DeleteFileW(const char16_t* name) {
    if (!kiln::platform::win::RemovableInside(name)) return FALSE;
    return ::DeleteFileW(kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER BOOL CreateDirectoryW(const char16_t* name, LPSECURITY_ATTRIBUTES security) {
    if (!kiln::platform::win::NameInside(name)) return FALSE;
    return ::CreateDirectoryW(kiln::platform::win::W(name), security);
}
KILN_WIDE_ADAPTER BOOL RemoveDirectoryW(const char16_t* name) {
    if (!kiln::platform::win::RemovableInside(name)) return FALSE;
    return ::RemoveDirectoryW(kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER BOOL MoveFileExW(const char16_t* from, const char16_t* to, DWORD flags) {
    // The new name may be taken already and replaced.
    if (!kiln::platform::win::RemovableInside(from) || !kiln::platform::win::RemovableInside(to))
        return FALSE;
    return ::MoveFileExW(kiln::platform::win::W(from), kiln::platform::win::W(to), flags);
}
KILN_WIDE_ADAPTER BOOLEAN CreateSymbolicLinkW(const char16_t* link, const char16_t* target,
                                              DWORD flags) {
    // The target is text until followed, and following is confined.
    if (!kiln::platform::win::NameInside(link)) return FALSE;
    return ::CreateSymbolicLinkW(kiln::platform::win::W(link), kiln::platform::win::W(target),
                                 flags);
}
KILN_WIDE_ADAPTER BOOL CreateHardLinkW(const char16_t* link, const char16_t* existing,
                                       LPSECURITY_ATTRIBUTES security) {
    if (!kiln::platform::win::NameInside(link) || !kiln::platform::win::ObjectInside(existing))
        return FALSE;
    return ::CreateHardLinkW(kiln::platform::win::W(link), kiln::platform::win::W(existing),
                             security);
}
KILN_WIDE_ADAPTER DWORD GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD size,
                                                  DWORD flags) {
    return ::GetFinalPathNameByHandleW(file, kiln::platform::win::W(path), size, flags);
}
KILN_WIDE_ADAPTER BOOL GetVolumePathNameW(const char16_t* name, char16_t* volume, DWORD size) {
    // This and the free-space calls answer for the volume, which lies above
    // the root: they are not confined, and the object asked about is checked
    // by the call that reads it.
    return ::GetVolumePathNameW(kiln::platform::win::W(name), kiln::platform::win::W(volume), size);
}
KILN_WIDE_ADAPTER BOOL GetDiskFreeSpaceW(const char16_t* root, LPDWORD sectorsPerCluster,
                                         LPDWORD bytesPerSector, LPDWORD freeClusters,
                                         LPDWORD totalClusters) {
    return ::GetDiskFreeSpaceW(kiln::platform::win::W(root), sectorsPerCluster, bytesPerSector,
                               freeClusters, totalClusters);
}
KILN_WIDE_ADAPTER BOOL GetDiskFreeSpaceExW(const char16_t* directory, PULARGE_INTEGER available,
                                           PULARGE_INTEGER total, PULARGE_INTEGER free) {
    return ::GetDiskFreeSpaceExW(kiln::platform::win::W(directory), available, total, free);
}
KILN_WIDE_ADAPTER BOOL EncryptFileW(const char16_t* name) {
    if (!kiln::platform::win::ObjectInside(name)) return FALSE;
    return ::EncryptFileW(kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER BOOL DecryptFileW(const char16_t* name, DWORD reserved) {
    if (!kiln::platform::win::ObjectInside(name)) return FALSE;
    return ::DecryptFileW(kiln::platform::win::W(name), reserved);
}
KILN_WIDE_ADAPTER BOOL LookupAccountNameW(const char16_t* system, const char16_t* account, PSID sid,
                                          LPDWORD sidSize, char16_t* domain, LPDWORD domainSize,
                                          PSID_NAME_USE use) {
    return ::LookupAccountNameW(kiln::platform::win::W(system), kiln::platform::win::W(account),
                                sid, sidSize, kiln::platform::win::W(domain), domainSize, use);
}
KILN_WIDE_ADAPTER BOOL LookupAccountSidW(const char16_t* system, PSID sid, char16_t* name,
                                         LPDWORD nameSize, char16_t* domain, LPDWORD domainSize,
                                         PSID_NAME_USE use) {
    return ::LookupAccountSidW(kiln::platform::win::W(system), sid, kiln::platform::win::W(name),
                               nameSize, kiln::platform::win::W(domain), domainSize, use);
}
KILN_WIDE_ADAPTER BOOL LookupPrivilegeValueW(const char16_t* system, const char16_t* name,
                                             PLUID luid) {
    return ::LookupPrivilegeValueW(kiln::platform::win::W(system), kiln::platform::win::W(name),
                                   luid);
}
KILN_WIDE_ADAPTER DWORD GetNamedSecurityInfoW(const char16_t* name, SE_OBJECT_TYPE type,
                                              SECURITY_INFORMATION information, PSID* owner,
                                              PSID* group, PACL* dacl, PACL* sacl,
                                              PSECURITY_DESCRIPTOR* descriptor) {
    if (type == SE_FILE_OBJECT && !kiln::platform::win::ObjectInside(name)) return GetLastError();
    return ::GetNamedSecurityInfoW(kiln::platform::win::W(name), type, information, owner, group,
                                   dacl, sacl, descriptor);
}
KILN_WIDE_ADAPTER DWORD SetNamedSecurityInfoW(char16_t* name, SE_OBJECT_TYPE type,
                                              SECURITY_INFORMATION information, PSID owner,
                                              PSID group, PACL dacl, PACL sacl) {
    if (type == SE_FILE_OBJECT && !kiln::platform::win::ObjectInside(name)) return GetLastError();
    return ::SetNamedSecurityInfoW(kiln::platform::win::W(name), type, information, owner, group,
                                   dacl, sacl);
}
KILN_WIDE_ADAPTER HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                      BOOL initialState, const char16_t* name) {
    return ::CreateEventW(security, manualReset, initialState, kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language,
                                       char16_t* buffer, DWORD size, va_list* arguments) {
    return ::FormatMessageW(flags, source, id, language, kiln::platform::win::W(buffer), size,
                            arguments);
}
KILN_WIDE_ADAPTER HMODULE LoadLibraryExW(const char16_t* name, HANDLE file, DWORD flags) {
    return ::LoadLibraryExW(kiln::platform::win::W(name), file, flags);
}
KILN_WIDE_ADAPTER HMODULE LoadLibraryW(const char16_t* name) {
    return ::LoadLibraryW(kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER HMODULE GetModuleHandleW(const char16_t* name) {
    return ::GetModuleHandleW(kiln::platform::win::W(name));
}
KILN_WIDE_ADAPTER UINT GetSystemDirectoryW(char16_t* buffer, UINT size) {
    return ::GetSystemDirectoryW(kiln::platform::win::W(buffer), size);
}
KILN_WIDE_ADAPTER DWORD GetModuleFileNameW(HMODULE module, char16_t* name, DWORD size) {
    return ::GetModuleFileNameW(module, kiln::platform::win::W(name), size);
}
KILN_WIDE_ADAPTER void OutputDebugStringW(const char16_t* text) {
    ::OutputDebugStringW(kiln::platform::win::W(text));
}
KILN_WIDE_ADAPTER int MessageBoxW(HWND window, const char16_t* text, const char16_t* caption,
                                  UINT type) {
    return ::MessageBoxW(window, kiln::platform::win::W(text), kiln::platform::win::W(caption),
                         type);
}
KILN_WIDE_ADAPTER int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size,
                                          char16_t* wide, int wideSize) {
    return ::MultiByteToWideChar(codePage, flags, text, size, kiln::platform::win::W(wide),
                                 wideSize);
}
KILN_WIDE_ADAPTER int WideCharToMultiByte(UINT codePage, DWORD flags, const char16_t* wide,
                                          int wideSize, LPSTR text, int size, LPCSTR defaultChar,
                                          LPBOOL usedDefaultChar) {
    return ::WideCharToMultiByte(codePage, flags, kiln::platform::win::W(wide), wideSize, text,
                                 size, defaultChar, usedDefaultChar);
}

#undef KILN_WIDE_ADAPTER
