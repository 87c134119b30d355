// The export tables of the two system libraries that the platform layer
// stands for. To export another function, add a row.
//
// The file and security families are built beside this one; they are referred
// to weakly, so that a function declared but not (yet) defined reads as an
// absent export (ERROR_PROC_NOT_FOUND) instead of breaking the link.
#include "platform/posix/exports.h"

#include <cstring>

#include "platform/win32.h"

#define KILN_WEAK_EXPORT(f) __attribute__((weak)) decltype(f) f;

KILN_WEAK_EXPORT(CreateDirectoryW)
KILN_WEAK_EXPORT(CreateFileW)
KILN_WEAK_EXPORT(CreateHardLinkW)
KILN_WEAK_EXPORT(CreateSymbolicLinkW)
KILN_WEAK_EXPORT(DecryptFileW)
KILN_WEAK_EXPORT(DeleteFileW)
KILN_WEAK_EXPORT(DeviceIoControl)
KILN_WEAK_EXPORT(EncryptFileW)
KILN_WEAK_EXPORT(FindClose)
KILN_WEAK_EXPORT(FindFirstFileW)
KILN_WEAK_EXPORT(FindNextFileW)
KILN_WEAK_EXPORT(FlushFileBuffers)
KILN_WEAK_EXPORT(GetDiskFreeSpaceExW)
KILN_WEAK_EXPORT(GetDiskFreeSpaceW)
KILN_WEAK_EXPORT(GetFileAttributesExW)
KILN_WEAK_EXPORT(GetFileAttributesW)
KILN_WEAK_EXPORT(GetFileInformationByHandle)
KILN_WEAK_EXPORT(GetFileInformationByHandleEx)
KILN_WEAK_EXPORT(GetFileSize)
KILN_WEAK_EXPORT(GetFinalPathNameByHandleW)
KILN_WEAK_EXPORT(GetLogicalDrives)
KILN_WEAK_EXPORT(GetOverlappedResult)
KILN_WEAK_EXPORT(GetVolumePathNameW)
KILN_WEAK_EXPORT(LockFileEx)
KILN_WEAK_EXPORT(MoveFileExW)
KILN_WEAK_EXPORT(ReadFile)
KILN_WEAK_EXPORT(RemoveDirectoryW)
KILN_WEAK_EXPORT(SetEndOfFile)
KILN_WEAK_EXPORT(SetFileAttributesW)
KILN_WEAK_EXPORT(SetFileInformationByHandle)
KILN_WEAK_EXPORT(SetFilePointer)
KILN_WEAK_EXPORT(SetFilePointerEx)
KILN_WEAK_EXPORT(SetFileTime)
KILN_WEAK_EXPORT(UnlockFileEx)
KILN_WEAK_EXPORT(WriteFile)
KILN_WEAK_EXPORT(AddAccessAllowedAceEx)
KILN_WEAK_EXPORT(AddAccessDeniedAceEx)
KILN_WEAK_EXPORT(AddAuditAccessAceEx)
KILN_WEAK_EXPORT(AdjustTokenPrivileges)
KILN_WEAK_EXPORT(CopySid)
KILN_WEAK_EXPORT(EqualSid)
KILN_WEAK_EXPORT(GetAce)
KILN_WEAK_EXPORT(GetAclInformation)
KILN_WEAK_EXPORT(GetEffectiveRightsFromAclW)
KILN_WEAK_EXPORT(GetLengthSid)
KILN_WEAK_EXPORT(GetNamedSecurityInfoW)
KILN_WEAK_EXPORT(GetSecurityDescriptorControl)
KILN_WEAK_EXPORT(GetSecurityDescriptorDacl)
KILN_WEAK_EXPORT(GetSecurityDescriptorGroup)
KILN_WEAK_EXPORT(GetSecurityDescriptorLength)
KILN_WEAK_EXPORT(GetSecurityDescriptorOwner)
KILN_WEAK_EXPORT(GetSecurityDescriptorSacl)
KILN_WEAK_EXPORT(GetSecurityInfo)
KILN_WEAK_EXPORT(GetSidIdentifierAuthority)
KILN_WEAK_EXPORT(GetSidLengthRequired)
KILN_WEAK_EXPORT(GetSidSubAuthority)
KILN_WEAK_EXPORT(GetSidSubAuthorityCount)
KILN_WEAK_EXPORT(GetTokenInformation)
KILN_WEAK_EXPORT(InitializeAcl)
KILN_WEAK_EXPORT(InitializeSecurityDescriptor)
KILN_WEAK_EXPORT(InitializeSid)
KILN_WEAK_EXPORT(IsValidAcl)
KILN_WEAK_EXPORT(IsValidSecurityDescriptor)
KILN_WEAK_EXPORT(IsValidSid)
KILN_WEAK_EXPORT(LookupAccountNameW)
KILN_WEAK_EXPORT(LookupAccountSidW)
KILN_WEAK_EXPORT(LookupPrivilegeValueW)
KILN_WEAK_EXPORT(OpenProcessToken)
KILN_WEAK_EXPORT(OpenThreadToken)
KILN_WEAK_EXPORT(SetNamedSecurityInfoW)
KILN_WEAK_EXPORT(SetSecurityDescriptorControl)
KILN_WEAK_EXPORT(SetSecurityDescriptorDacl)
KILN_WEAK_EXPORT(SetSecurityDescriptorGroup)
KILN_WEAK_EXPORT(SetSecurityDescriptorOwner)
KILN_WEAK_EXPORT(SetSecurityDescriptorSacl)
KILN_WEAK_EXPORT(SetSecurityInfo)
KILN_WEAK_EXPORT(GetCurrentProcess)
KILN_WEAK_EXPORT(GetCurrentThread)

namespace kiln::platform {
namespace {

struct Export {
    const char* name;
    FARPROC function;
};

#define KILN_EXPORT(f)                      \
    Export {                                \
#f, reinterpret_cast < FARPROC>(&f) \
    }

// Kernel32 has no GetSystemWow64DirectoryW here: this is a 32-bit system as
// far as the callers can tell, so there is no 64-bit-compatibility directory.
const Export kKernel32[] = {
    KILN_EXPORT(CloseHandle),
    KILN_EXPORT(CreateDirectoryW),
    KILN_EXPORT(CreateEventW),
    KILN_EXPORT(CreateFileW),
    KILN_EXPORT(CreateHardLinkW),
    KILN_EXPORT(CreateSymbolicLinkW),
    KILN_EXPORT(CreateThread),
    KILN_EXPORT(DecryptFileW),
    KILN_EXPORT(DeleteCriticalSection),
    KILN_EXPORT(DeleteFileW),
    KILN_EXPORT(DeviceIoControl),
    KILN_EXPORT(EncryptFileW),
    KILN_EXPORT(EnterCriticalSection),
    KILN_EXPORT(FindClose),
    KILN_EXPORT(FindFirstFileW),
    KILN_EXPORT(FindNextFileW),
    KILN_EXPORT(FlushFileBuffers),
    KILN_EXPORT(FormatMessageW),
    KILN_EXPORT(FreeLibrary),
    KILN_EXPORT(GetCurrentProcess),
    KILN_EXPORT(GetCurrentProcessId),
    KILN_EXPORT(GetCurrentThread),
    KILN_EXPORT(GetCurrentThreadId),
    KILN_EXPORT(GetDiskFreeSpaceExW),
    KILN_EXPORT(GetDiskFreeSpaceW),
    KILN_EXPORT(GetExitCodeThread),
    KILN_EXPORT(GetFileAttributesExW),
    KILN_EXPORT(GetFileAttributesW),
    KILN_EXPORT(GetFileInformationByHandle),
    KILN_EXPORT(GetFileInformationByHandleEx),
    KILN_EXPORT(GetFileSize),
    KILN_EXPORT(GetFinalPathNameByHandleW),
    KILN_EXPORT(GetLastError),
    KILN_EXPORT(GetLogicalDrives),
    KILN_EXPORT(GetModuleFileNameA),
    KILN_EXPORT(GetModuleFileNameW),
    KILN_EXPORT(GetModuleHandleA),
    KILN_EXPORT(GetModuleHandleW),
    KILN_EXPORT(GetOverlappedResult),
    KILN_EXPORT(GetProcAddress),
    KILN_EXPORT(GetSystemDirectoryW),
    KILN_EXPORT(GetSystemTimeAsFileTime),
    KILN_EXPORT(GetTickCount),
    KILN_EXPORT(GetTickCount64),
    KILN_EXPORT(GetVersionExW),
    KILN_EXPORT(GetVolumePathNameW),
    KILN_EXPORT(InitializeCriticalSection),
    KILN_EXPORT(InitializeCriticalSectionAndSpinCount),
    KILN_EXPORT(IsDebuggerPresent),
    KILN_EXPORT(LeaveCriticalSection),
    KILN_EXPORT(LoadLibraryExW),
    KILN_EXPORT(LoadLibraryW),
    KILN_EXPORT(LocalAlloc),
    KILN_EXPORT(LocalFree),
    KILN_EXPORT(LocalSize),
    KILN_EXPORT(LockFileEx),
    KILN_EXPORT(MoveFileExW),
    KILN_EXPORT(MultiByteToWideChar),
    KILN_EXPORT(OutputDebugStringA),
    KILN_EXPORT(OutputDebugStringW),
    KILN_EXPORT(QueryPerformanceCounter),
    KILN_EXPORT(QueryPerformanceFrequency),
    KILN_EXPORT(ReadFile),
    KILN_EXPORT(RemoveDirectoryW),
    KILN_EXPORT(ResetEvent),
    KILN_EXPORT(SetEndOfFile),
    KILN_EXPORT(SetEvent),
    KILN_EXPORT(SetFileAttributesW),
    KILN_EXPORT(SetFileInformationByHandle),
    KILN_EXPORT(SetFilePointer),
    KILN_EXPORT(SetFilePointerEx),
    KILN_EXPORT(SetFileTime),
    KILN_EXPORT(SetLastError),
    KILN_EXPORT(Sleep),
    KILN_EXPORT(SwitchToThread),
    KILN_EXPORT(TryEnterCriticalSection),
    KILN_EXPORT(UnlockFileEx),
    KILN_EXPORT(WaitForSingleObject),
    KILN_EXPORT(WideCharToMultiByte),
    KILN_EXPORT(WriteFile),
};

const Export kAdvapi32[] = {
    KILN_EXPORT(AddAccessAllowedAceEx),
    KILN_EXPORT(AddAccessDeniedAceEx),
    KILN_EXPORT(AddAuditAccessAceEx),
    KILN_EXPORT(AdjustTokenPrivileges),
    KILN_EXPORT(CopySid),
    KILN_EXPORT(EqualSid),
    KILN_EXPORT(GetAce),
    KILN_EXPORT(GetAclInformation),
    KILN_EXPORT(GetEffectiveRightsFromAclW),
    KILN_EXPORT(GetLengthSid),
    KILN_EXPORT(GetNamedSecurityInfoW),
    KILN_EXPORT(GetSecurityDescriptorControl),
    KILN_EXPORT(GetSecurityDescriptorDacl),
    KILN_EXPORT(GetSecurityDescriptorGroup),
    KILN_EXPORT(GetSecurityDescriptorLength),
    KILN_EXPORT(GetSecurityDescriptorOwner),
    KILN_EXPORT(GetSecurityDescriptorSacl),
    KILN_EXPORT(GetSecurityInfo),
    KILN_EXPORT(GetSidIdentifierAuthority),
    KILN_EXPORT(GetSidLengthRequired),
    KILN_EXPORT(GetSidSubAuthority),
    KILN_EXPORT(GetSidSubAuthorityCount),
    KILN_EXPORT(GetTokenInformation),
    KILN_EXPORT(InitializeAcl),
    KILN_EXPORT(InitializeSecurityDescriptor),
    KILN_EXPORT(InitializeSid),
    KILN_EXPORT(IsValidAcl),
    KILN_EXPORT(IsValidSecurityDescriptor),
    KILN_EXPORT(IsValidSid),
    KILN_EXPORT(LookupAccountNameW),
    KILN_EXPORT(LookupAccountSidW),
    KILN_EXPORT(LookupPrivilegeValueW),
    KILN_EXPORT(OpenProcessToken),
    KILN_EXPORT(OpenThreadToken),
    KILN_EXPORT(SetNamedSecurityInfoW),
    KILN_EXPORT(SetSecurityDescriptorControl),
    KILN_EXPORT(SetSecurityDescriptorDacl),
    KILN_EXPORT(SetSecurityDescriptorGroup),
    KILN_EXPORT(SetSecurityDescriptorOwner),
    KILN_EXPORT(SetSecurityDescriptorSacl),
    KILN_EXPORT(SetSecurityInfo),
};

template <size_t N>
FARPROC Find(const Export (&table)[N], const char* name) {
    for (const Export& e : table) {
        // Null when a weakly referred function is not defined.
        if (std::strcmp(e.name, name) == 0) return e.function;
    }
    return nullptr;
}

}  // namespace

FARPROC FindSystemExport(SystemLibrary library, const char* name) {
    if (!name) return nullptr;
    return library == SystemLibrary::Kernel32 ? Find(kKernel32, name) : Find(kAdvapi32, name);
}

}  // namespace kiln::platform
