// The Windows API subset for threads, events, waits, libraries, messages, memory, time and version.
#pragma once

#ifdef _WIN32
// Windows: the real API, with the adapter of our wide strings.
#include "platform/windows/sdk.h"
#else

#include "platform/win32_base.h"

// ---------------------------------------------------------------------------
// Security attributes of created objects (the structure itself belongs to
// the security header). Events and threads ignore them: objects of this
// process are never shared with other processes.
struct _SECURITY_ATTRIBUTES;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// ---------------------------------------------------------------------------
// Events, threads and waits.
#define STILL_ACTIVE 259
#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// Unnamed events only: a name fails with ERROR_NOT_SUPPORTED, because named
// objects would be shared between processes on Windows and are not here.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// The stack size is honoured (rounded up to what the system needs at least);
// 0 takes the system's default. CREATE_SUSPENDED is not supported
// (ERROR_NOT_SUPPORTED).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD GetCurrentThreadId();
BOOL SwitchToThread();
void Sleep(DWORD dwMilliseconds);

// Events and threads can be waited on; a wait that is satisfied on an
// auto-reset event resets it. Other handles never become signalled.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Critical sections are recursive, as on Windows. The storage holds the
// system's mutex; its fields are not meant to be read.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(8) unsigned char Opaque[48];
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---------------------------------------------------------------------------
// Messages.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(p, s) ((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
#define LANG_SYSTEM_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)
#define LANG_USER_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)

#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L

// Only messages of the system (FORMAT_MESSAGE_FROM_SYSTEM) are known: the
// standard English Windows texts, each ending with "\r\n". Inserts are never
// expanded; a text with inserts needs FORMAT_MESSAGE_IGNORE_INSERTS
// (ERROR_INVALID_PARAMETER otherwise). Unknown codes fail with
// ERROR_MR_MID_NOT_FOUND. With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer
// receives a LocalAlloc buffer that the caller frees with LocalFree.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, void* Arguments);

// ---------------------------------------------------------------------------
// Memory.
#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// LMEM_MOVEABLE is not supported (ERROR_INVALID_PARAMETER): nothing in the
// system asks for it, and its handles are not pointers.
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
// Null on success, the argument on failure (ERROR_INVALID_HANDLE), as Windows.
HLOCAL LocalFree(HLOCAL hMem);
SIZE_T LocalSize(HLOCAL hMem);

LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// ---------------------------------------------------------------------------
// Version.
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
#define VER_SUITE_SINGLEUSERTS 0x00000100

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW has the Windows layout");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW has the Windows layout");

// dwOSVersionInfoSize must be the size of one of the two structures
// (ERROR_INSUFFICIENT_BUFFER otherwise, as Windows).
BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);

// ---------------------------------------------------------------------------
// Libraries.
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001u
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002u
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define LOAD_IGNORE_CODE_AUTHZ_LEVEL 0x00000010u
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020u
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040u
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100u
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200u
#define LOAD_LIBRARY_SEARCH_USER_DIRS 0x00000400u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000u

// "Kernel32.dll" and "Advapi32.dll" (letter case ignored, with or without a
// directory such as the one GetSystemDirectoryW reports) are this platform
// layer: GetProcAddress on them finds its functions by their Windows names.
// Any other "X.dll" loads the shared library "libX.so", first from the
// directory of the library that holds the platform layer, then along the
// ordinary search path; a name with a directory is looked for there only.
// Failure: ERROR_MOD_NOT_FOUND. Flags that load data or resources only are
// refused with ERROR_INVALID_PARAMETER.
HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
BOOL FreeLibrary(HMODULE hLibModule);
// Finds a loaded module without taking a reference (the two system libraries
// are always loaded); ERROR_MOD_NOT_FOUND otherwise. Null: the executable.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
// Ordinals (values below 0x10000) are not supported: ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// "C:\Windows\System32". Returns the length without the zero, or the size
// needed with the zero when the buffer is too small.
UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);

// The file name of a module as a Windows path: null is the executable.
// A buffer too small receives the truncated, zero-terminated name, the
// result is nSize and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// ---------------------------------------------------------------------------
// Process, debugger and user interface.
DWORD GetCurrentProcessId();
BOOL IsDebuggerPresent();
// Written to standard error while a debugger (a tracer) is attached, so that
// it shows up in the debugger's console; dropped otherwise, as Windows drops
// it when nobody listens.
void OutputDebugStringW(LPCWSTR lpOutputString);
void OutputDebugStringA(LPCSTR lpOutputString);

#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define MB_SYSTEMMODAL 0x00001000u
#define MB_SERVICE_NOTIFICATION 0x00200000u
#define IDOK 1

// There is no desktop: caption and text go to standard error and the box is
// "answered" with IDOK at once.
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

// ---------------------------------------------------------------------------
// Time.
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
// The monotonic clock in nanoseconds: the frequency is 1,000,000,000.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

#endif  // _WIN32
