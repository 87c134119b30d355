#include "nocrtlib/dll_loader.h"

#include <atomic>
#include <mutex>

#include "nocrtlib/assertion.h"
#include "nocrtlib/exceptions.h"

namespace kiln {
namespace {

[[noreturn]] void Raise(const WString& callName, DWORD code) {
    throw SystemError(callName, code);
}

// The buffer that Windows' own loader code reserves for the system directory
// (MAX_PATH plus room for the separator and a short name).
constexpr UINT kDirectoryBuffer = 263;

}  // namespace

DllLoader::~DllLoader() {
    if (m_hDll) FreeLibrary(m_hDll);
}

bool DllLoader::Load(const char16_t* fileName, DWORD flags) {
    KILN_ASSERT_AT(!m_hDll, "DllLoader", __LINE__);
    const bool quiet = (flags & kDllLoadQuiet) != 0;
    WString path;
    if ((flags & kDllLoadSystem) == kDllLoadSystem) {
        char16_t directory[kDirectoryBuffer] = {};
        UINT length = 0;
        // The 64-bit-compatibility directory holds the 32-bit system
        // libraries: only a 32-bit process may load from it. A 64-bit process
        // takes the ordinary system directory, which is its own.
        if constexpr (sizeof(void*) == 4) {
            length = GetSystemWow64Directory(directory);
            if (length == 0 && GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
                if (quiet) return false;
                Raise(u"GetSystemWow64Directory()", GetLastError());
            }
        }
        if (length == 0) {
            length = GetSystemDirectoryW(directory, MAX_PATH);
            if (length == 0 || length >= MAX_PATH) {
                // A directory that does not fit is as good as none.
                if (length != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
                if (quiet) return false;
                Raise(u"GetSystemDirectory()", GetLastError());
            }
        }
        path = WString(directory, length);
        if (path.empty() || path[path.size() - 1] != u'\\') path += u'\\';
    }
    path += fileName ? fileName : u"";
    if (path.alloc_failed()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (quiet) return false;
        Raise(u"LoadLibraryEx()", ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD loadFlags = (flags & kDllLoadAlteredSearchPath) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    m_hDll = LoadLibraryExW(path.c_str(), nullptr, loadFlags);
    if (!m_hDll) {
        if (quiet) return false;
        Raise(u"LoadLibraryEx(" + path + u")", GetLastError());
    }
    return true;
}

FARPROC DllLoader::EntryPoint(const char* name) const {
    // A quiet loader that failed has no module; asking the null module would
    // search the executable instead, so that is refused here.
    FARPROC function = nullptr;
    DWORD error = ERROR_MOD_NOT_FOUND;
    if (m_hDll) {
        function = GetProcAddress(m_hDll, name);
        if (!function) error = GetLastError();
    }
    if (!function) Raise(u"GetProcAddress(" + Widen(name ? name : "") + u")", error);
    return function;
}

const Kernel32Dll& TheKernel32Dll() {
    static const Kernel32Dll* library = new Kernel32Dll();  // kept for the life of the process
    return *library;
}

const Advapi32Dll& TheAdvapi32Dll() {
    static const Advapi32Dll* library = new Advapi32Dll();
    return *library;
}

// ---------------------------------------------------------------------------

namespace {

struct VersionRecord {
    std::mutex lock;
    bool read = false;
    WindowsVersion version;
};

VersionRecord& TheVersionRecord() {
    static VersionRecord* record = new VersionRecord;
    return *record;
}

// -1 not yet decided, 0 no, 1 yes.
std::atomic<int> g_symbolicLinkSupport{-1};

}  // namespace

WindowsVersion GetWindowsVersion() {
    VersionRecord& record = TheVersionRecord();
    std::lock_guard guard(record.lock);
    if (!record.read) {
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        static_assert(sizeof(info) == 276);
        if (GetVersionExW(&info)) {
            record.version = {info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
            record.read = true;
        } else {
            return WindowsVersion{};
        }
    }
    return record.version;
}

bool SymbolicLinkSupport() {
    int state = g_symbolicLinkSupport.load(std::memory_order_acquire);
    if (state < 0) {
        // Not started yet: decide now, but only from a version actually read.
        WindowsVersion version = GetWindowsVersion();
        if (version.platformId == 0) return false;
        state = version.Passes(kWindowsVistaThreshold) ? 1 : 0;
        g_symbolicLinkSupport.store(state, std::memory_order_release);
    }
    return state == 1;
}

void ResetWindowsVersionRecord() {
    VersionRecord& record = TheVersionRecord();
    std::lock_guard guard(record.lock);
    record.read = false;
    record.version = WindowsVersion{};
    g_symbolicLinkSupport.store(-1, std::memory_order_release);
}

void StartSystemLibraries() {
    TheKernel32Dll();
    TheAdvapi32Dll();
    g_symbolicLinkSupport.store(WindowsVersionPasses(kWindowsVistaThreshold) ? 1 : 0,
                                std::memory_order_release);
}

UINT GetSystemWow64Directory(char16_t* buffer) {
    using Function = UINT (*)(LPWSTR, UINT);
    DWORD callersError = GetLastError();
    Function function = nullptr;
    if (HMODULE kernel32 = GetModuleHandleA("kernel32.dll")) {
        function = reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetSystemWow64DirectoryW")));
    }
    if (!function) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    SetLastError(callersError);
    return function(reinterpret_cast<LPWSTR>(buffer), 0x104);
}

// ---------------------------------------------------------------------------

namespace sysentry {
namespace {

template <class F>
F Kernel32Entry(const char* name) {
    return TheKernel32Dll().EntryPointAs<F>(name);
}

}  // namespace

bool HasSetFileInformationByHandle() {
    return WindowsVersionPasses(kWindowsVistaThreshold);
}
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                DWORD size) {
    return Kernel32Entry<decltype(&::SetFileInformationByHandle)>("SetFileInformationByHandle")(
        file, infoClass, info, size);
}

bool HasGetFileInformationByHandleEx() {
    return SymbolicLinkSupport();
}
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                  DWORD size) {
    return Kernel32Entry<decltype(&::GetFileInformationByHandleEx)>("GetFileInformationByHandleEx")(
        file, infoClass, info, size);
}

bool HasGetFinalPathNameByHandle() {
    return SymbolicLinkSupport();
}
DWORD GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD size, DWORD flags) {
    using Function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    return Kernel32Entry<Function>("GetFinalPathNameByHandleW")(
        file, reinterpret_cast<LPWSTR>(path), size, flags);
}

bool HasCreateSymbolicLink() {
    return WindowsVersionPasses(kWindowsVistaThreshold);
}
BOOL CreateSymbolicLinkW(const char16_t* link, const char16_t* target, DWORD flags) {
    // Windows declares the result BOOLEAN, our Linux layer BOOL: the pointer
    // has the type of the declaration at hand, or the call would be undefined.
    using Result = decltype(::CreateSymbolicLinkW(LPCWSTR{}, LPCWSTR{}, DWORD{}));
    using Function = Result(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    const Function call = Kernel32Entry<Function>("CreateSymbolicLinkW");
#ifdef _WIN32
    // Windows' own entry knows nothing of the confinement root; on Linux the
    // entry is the platform layer's, which checks for itself.
    if (!platform::win::NameInside(link)) return FALSE;
#endif
    return call(reinterpret_cast<LPCWSTR>(link), reinterpret_cast<LPCWSTR>(target), flags);
}

bool HasCreateHardLink() {
    return WindowsVersionPasses(kWindows2000Threshold);
}
BOOL CreateHardLinkW(const char16_t* link, const char16_t* existing,
                     LPSECURITY_ATTRIBUTES attributes) {
    using Function = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES);
    const Function call = Kernel32Entry<Function>("CreateHardLinkW");
#ifdef _WIN32
    if (!platform::win::NameInside(link) || !platform::win::ObjectInside(existing)) return FALSE;
#endif
    return call(reinterpret_cast<LPCWSTR>(link), reinterpret_cast<LPCWSTR>(existing), attributes);
}

bool HasGetVolumePathName() {
    return WindowsVersionPasses(kWindows2000Threshold);
}
BOOL GetVolumePathNameW(const char16_t* fileName, char16_t* volumePath, DWORD size) {
    using Function = BOOL(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
    return Kernel32Entry<Function>("GetVolumePathNameW")(reinterpret_cast<LPCWSTR>(fileName),
                                                         reinterpret_cast<LPWSTR>(volumePath),
                                                         size);
}

bool HasSetSecurityDescriptorControl() {
    return WindowsVersionPasses(kWindows2000Threshold);
}
BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL bitsOfInterest,
                                  SECURITY_DESCRIPTOR_CONTROL bitsToSet) {
    if (!HasSetSecurityDescriptorControl()) return TRUE;
    return TheAdvapi32Dll().EntryPointAs<decltype(&::SetSecurityDescriptorControl)>(
        "SetSecurityDescriptorControl")(descriptor, bitsOfInterest, bitsToSet);
}

}  // namespace sysentry
}  // namespace kiln
