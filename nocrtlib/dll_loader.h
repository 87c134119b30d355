// System entry points that are looked up at run time. Some of the Windows
// functions that the backend needs do not exist on every Windows version the
// module runs on, so they are not imported: the module loads the system
// libraries itself, looks each function up by name at the moment of use, and
// gates each use by a check of the Windows version.
#pragma once

#include "nocrtlib/ncstring.h"
#include "platform/win32.h"

namespace kiln {

// Load flags of DllLoader.
inline constexpr DWORD kDllLoadQuiet = 1;  // a failure leaves the loader empty instead of raising
inline constexpr DWORD kDllLoadAlteredSearchPath = 2;  // LOAD_WITH_ALTERED_SEARCH_PATH
inline constexpr DWORD kDllLoadSystemDirectory =
    4;  // with bit 1: the full path in the system directory
inline constexpr DWORD kDllLoadSystem = kDllLoadAlteredSearchPath | kDllLoadSystemDirectory;

// Owns one module handle (null when nothing is loaded) and frees it when
// destroyed.
class DllLoader {
  public:
    DllLoader() = default;
    // Loads at once; see Load.
    DllLoader(const char16_t* fileName, DWORD flags) { Load(fileName, flags); }
    ~DllLoader();
    DllLoader(const DllLoader&) = delete;
    DllLoader& operator=(const DllLoader&) = delete;

    // Loads the library. With kDllLoadSystem the name is looked for in the
    // system directory by full path. Raises SystemError ("GetSystemDirectory()",
    // "GetSystemWow64Directory()", "LoadLibraryEx(<path>)") unless
    // kDllLoadQuiet is given, in which case a failure returns false with the
    // thread's last error. The loader must be empty (assertion "!m_hDll").
    bool Load(const char16_t* fileName, DWORD flags);

    bool IsLoaded() const { return m_hDll != nullptr; }
    HMODULE Handle() const { return m_hDll; }

    // The named function of the library, looked up at every call. Raises
    // SystemError "GetProcAddress(<name>)" when the library lacks it (or
    // nothing is loaded).
    FARPROC EntryPoint(const char* name) const;
    template <class F>
    F EntryPointAs(const char* name) const {
        // Through the generic function pointer type, which converts to any
        // other without a warning about incompatible casts.
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(EntryPoint(name)));
    }

  protected:
    HMODULE m_hDll = nullptr;
};

class Kernel32Dll : public DllLoader {
  public:
    static constexpr const char16_t* kFileName = u"Kernel32.dll";
    explicit Kernel32Dll(DWORD flags = kDllLoadSystem) : DllLoader(kFileName, flags) {}
};

class Advapi32Dll : public DllLoader {
  public:
    static constexpr const char16_t* kFileName = u"Advapi32.dll";
    explicit Advapi32Dll(DWORD flags = kDllLoadSystem) : DllLoader(kFileName, flags) {}
};

// The two process-wide system-library objects, made on first use; the module
// makes them when it starts (StartSystemLibraries). A failed load raises
// each time it is tried.
const Kernel32Dll& TheKernel32Dll();
const Advapi32Dll& TheAdvapi32Dll();

// The module start: loads both system libraries (raising when one fails) and
// sets the symbolic-link support flag from the Windows version.
void StartSystemLibraries();

// ---------------------------------------------------------------------------
// The Windows version.

struct WindowsVersion {
    DWORD platformId = 0;
    DWORD major = 0;
    DWORD minor = 0;

    // (platform, major, minor) compared in that order.
    bool Passes(const WindowsVersion& threshold) const {
        if (platformId != threshold.platformId) return platformId > threshold.platformId;
        if (major != threshold.major) return major > threshold.major;
        return minor >= threshold.minor;
    }
};

inline constexpr WindowsVersion kWindows2000Threshold{VER_PLATFORM_WIN32_NT, 5, 0};
inline constexpr WindowsVersion kWindowsVistaThreshold{VER_PLATFORM_WIN32_NT, 6, 0};

// The version record, read with GetVersionExW on first use and kept. While
// the call fails the record reads as zeros and is asked again next time.
WindowsVersion GetWindowsVersion();
inline bool WindowsVersionPasses(const WindowsVersion& threshold) {
    return GetWindowsVersion().Passes(threshold);
}

// Whether the system has symbolic links: set by StartSystemLibraries when the
// version passes Windows Vista.
bool SymbolicLinkSupport();

// Forgets the version record and the symbolic-link flag, so that the next
// check reads the version again. For tests that switch the reported version.
void ResetWindowsVersionRecord();

// The 64-bit-compatibility system directory, taken by name from the loaded
// "kernel32.dll" and called with 0x104 characters; the caller's last error is
// kept while it is looked up. 0 with ERROR_CALL_NOT_IMPLEMENTED when the
// system has no such function.
UINT GetSystemWow64Directory(char16_t* buffer);

// ---------------------------------------------------------------------------
// The run-time entry points, each with its gate. Call a function only when its
// gate passes; the call itself raises SystemError "GetProcAddress(<name>)"
// when the function is absent after all.
namespace sysentry {

// Kernel32, version (2, 6, 0); below it callers use SetFileAttributesW.
bool HasSetFileInformationByHandle();
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                DWORD size);

// Kernel32, symbolic-link support.
bool HasGetFileInformationByHandleEx();
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                  DWORD size);

// Kernel32, symbolic-link support.
bool HasGetFinalPathNameByHandle();
DWORD GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD size, DWORD flags);

// Kernel32, version (2, 6, 0); below it making a link is refused.
bool HasCreateSymbolicLink();
BOOL CreateSymbolicLinkW(const char16_t* link, const char16_t* target, DWORD flags);

// Kernel32, version (2, 5, 0).
bool HasCreateHardLink();
BOOL CreateHardLinkW(const char16_t* link, const char16_t* existing,
                     LPSECURITY_ATTRIBUTES attributes);

// Kernel32, version (2, 5, 0).
bool HasGetVolumePathName();
BOOL GetVolumePathNameW(const char16_t* fileName, char16_t* volumePath, DWORD size);

// Advapi32, version (2, 5, 0). Below the gate the call does nothing and
// succeeds, as the descriptor code expects.
bool HasSetSecurityDescriptorControl();
BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL bitsOfInterest,
                                  SECURITY_DESCRIPTOR_CONTROL bitsToSet);

}  // namespace sysentry

}  // namespace kiln
