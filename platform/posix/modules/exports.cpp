// The export tables of the two system libraries that the platform layer
// stands for. To export another function, add a row.
#include "platform/posix/modules/exports.h"

#include <cstring>

#include "platform/win32.h"

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
