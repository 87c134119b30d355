// Libraries: LoadLibraryExW, GetProcAddress, FreeLibrary, GetModuleHandle,
// GetModuleFileName and the system directory. A module is a kernel object of
// the handle table. "Kernel32.dll" and "Advapi32.dll" are this platform layer
// itself; any other "X.dll" is the shared library "libX.so".
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/modules/exports.h"
#include "platform/posix/names/drive_table.h"
#include "platform/posix/system/handle_table.h"
#include "platform/win32_system.h"

namespace kiln::platform {
namespace {

constexpr char16_t kSystemDirectory[] = u"C:\\Windows\\System32";

enum class ModuleKind { Kernel32, Advapi32, Executable, Shared };

class Module;

struct Registry {
    std::mutex lock;
    std::vector<Module*> modules;  // loaded shared libraries and the built-in modules
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: modules outlive exit handlers
    return *registry;
}

class Module final : public KernelObject {
  public:
    Module(ModuleKind kind, void* library) : kind_(kind), library_(library) {}

    ModuleKind Kind() const { return kind_; }
    void* Library() const { return library_; }

    // Guarded by the registry's lock.
    HANDLE handle = nullptr;
    long loads = 1;

    void OnClose(bool /*lastHolder*/) override {
        {
            Registry& registry = TheRegistry();
            std::lock_guard guard(registry.lock);
            std::erase(registry.modules, this);
        }
        if (library_) dlclose(library_);
        library_ = nullptr;
    }

  private:
    const ModuleKind kind_;
    void* library_;
};

std::string ToUtf8(std::u16string_view text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            size, nullptr, nullptr);
    }
    return out;
}

std::u16string ToUtf16(std::string_view text) {
    if (text.empty()) return {};
    int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(size > 0 ? size : 0), u'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            size);
    }
    return out;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// What a library name asks for: a built-in module, or the Linux file name of
// a shared library and the directory it must come from (empty: search).
struct LibraryName {
    ModuleKind kind = ModuleKind::Shared;
    std::string directory;
    std::string file;
};

bool ParseLibraryName(std::u16string_view name, LibraryName* parsed) {
    std::string text = ToUtf8(name);
    size_t slash = text.find_last_of("\\/");
    std::string base = slash == std::string::npos ? text : text.substr(slash + 1);
    std::string directory = slash == std::string::npos ? std::string() : text.substr(0, slash);
    if (base.empty()) return false;
    // Windows adds ".dll" to a name without an extension.
    if (base.find('.') == std::string::npos) base += ".dll";
    std::string lower = Lower(base);
    if (lower == "kernel32.dll") {
        parsed->kind = ModuleKind::Kernel32;
        return true;
    }
    if (lower == "advapi32.dll") {
        parsed->kind = ModuleKind::Advapi32;
        return true;
    }
    parsed->kind = ModuleKind::Shared;
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".dll") == 0) {
        parsed->file = "lib" + base.substr(0, base.size() - 4) + ".so";
    } else {
        parsed->file = base;  // a Linux library name such as "libz.so.1"
    }
    if (!directory.empty()) {
        if (directory[0] == '/') {
            parsed->directory = directory;
        } else {
            std::u16string windowsDirectory = ToUtf16(directory);
            if (!WindowsPathToDisk(windowsDirectory.c_str(), &parsed->directory)) return false;
        }
    }
    return true;
}

// The directory of the shared library that holds the platform layer.
std::string OwnDirectory() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&LoadLibraryExW), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::vector<std::string> Candidates(const LibraryName& name) {
    if (!name.directory.empty()) {
        std::string dir = name.directory;
        if (dir.back() != '/') dir += '/';
        return {dir + name.file};
    }
    std::vector<std::string> candidates;
    std::string own = OwnDirectory();
    if (!own.empty()) candidates.push_back(own + "/" + name.file);
    candidates.push_back(name.file);  // dlopen searches when there is no slash
    return candidates;
}

// Finds a registered module; the caller holds the registry's lock.
Module* FindModule(Registry& registry, ModuleKind kind, void* library) {
    for (Module* m : registry.modules) {
        if (m->Kind() != kind || m->loads <= 0) continue;
        if (kind != ModuleKind::Shared || m->Library() == library) return m;
    }
    return nullptr;
}

// The handle of a built-in module, made on first use (and again if someone
// closed it with CloseHandle).
HMODULE BuiltinModule(ModuleKind kind) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    if (Module* m = FindModule(registry, kind, nullptr)) return m->handle;
    void* library = kind == ModuleKind::Executable ? dlopen(nullptr, RTLD_NOW) : nullptr;
    auto module = std::make_shared<Module>(kind, library);
    HANDLE handle = RegisterHandle(module);
    if (!handle) return nullptr;
    module->handle = handle;
    registry.modules.push_back(module.get());
    return handle;
}

// Registers one more load of a dlopen()ed library; gives back the extra
// reference when the library is registered already, so that one module has
// one handle however often it is loaded, as on Windows.
HMODULE AddLoad(void* library) {
    Registry& registry = TheRegistry();
    std::unique_lock guard(registry.lock);
    if (Module* m = FindModule(registry, ModuleKind::Shared, library)) {
        ++m->loads;
        HANDLE handle = m->handle;
        guard.unlock();
        dlclose(library);
        return handle;
    }
    auto module = std::make_shared<Module>(ModuleKind::Shared, library);
    HANDLE handle = RegisterHandle(module);
    if (!handle) {
        guard.unlock();
        dlclose(library);
        return nullptr;
    }
    module->handle = handle;
    registry.modules.push_back(module.get());
    return handle;
}

HMODULE FindOrLoad(std::u16string_view name, DWORD flags, bool load) {
    constexpr DWORD kDataOnly = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                LOAD_LIBRARY_AS_IMAGE_RESOURCE | DONT_RESOLVE_DLL_REFERENCES;
    if (flags & kDataOnly) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    LibraryName parsed;
    if (!ParseLibraryName(name, &parsed)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (parsed.kind != ModuleKind::Shared) return BuiltinModule(parsed.kind);
    for (const std::string& candidate : Candidates(parsed)) {
        void* library = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | (load ? 0 : RTLD_NOLOAD));
        if (library) return AddLoad(library);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

std::shared_ptr<Module> ModuleOf(HMODULE module) {
    if (!module) module = BuiltinModule(ModuleKind::Executable);
    auto object = LookupHandleAs<Module>(module);
    if (!object) SetLastError(ERROR_MOD_NOT_FOUND);
    return object;
}

// The Linux file of a module, or empty when it has none (built-in modules).
std::string LinuxFileOf(const Module& module) {
    if (module.Kind() == ModuleKind::Executable) {
        char path[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
        return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
    }
    link_map* map = nullptr;
    if (module.Library() && dlinfo(module.Library(), RTLD_DI_LINKMAP, &map) == 0 && map &&
        map->l_name) {
        char resolved[PATH_MAX];
        if (realpath(map->l_name, resolved)) return resolved;
        return map->l_name;
    }
    return {};
}

std::u16string WindowsFileNameOf(const Module& module) {
    switch (module.Kind()) {
        case ModuleKind::Kernel32:
            return std::u16string(kSystemDirectory) + u"\\kernel32.dll";
        case ModuleKind::Advapi32:
            return std::u16string(kSystemDirectory) + u"\\advapi32.dll";
        default:
            break;
    }
    std::string linuxPath = LinuxFileOf(module);
    if (linuxPath.empty()) return {};
    std::u16string windowsPath;
    if (DiskPathToWindows(linuxPath, &windowsPath)) return windowsPath;
    // Not below any drive of the table: name it as drive C: over the Linux
    // root, which is what the default table says.
    std::string text = "C:" + linuxPath;
    std::replace(text.begin(), text.end(), '/', '\\');
    return ToUtf16(text);
}

template <class C>
DWORD CopyTruncated(std::basic_string_view<C> name, C* buffer, DWORD size) {
    if (size == 0 || !buffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() < size) {
        std::copy(name.begin(), name.end(), buffer);
        buffer[name.size()] = C{};
        return static_cast<DWORD>(name.size());
    }
    // Too small: as much as fits with the zero, and the full buffer size.
    std::copy(name.begin(), name.begin() + (size - 1), buffer);
    buffer[size - 1] = C{};
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // namespace
}  // namespace kiln::platform

using kiln::platform::ModuleKind;

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (!lpLibFileName || !*lpLibFileName || hFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return kiln::platform::FindOrLoad(lpLibFileName, dwFlags, true);
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    return LoadLibraryExW(lpLibFileName, nullptr, 0);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    auto module = kiln::platform::LookupHandleAs<kiln::platform::Module>(hLibModule);
    if (!module) return FALSE;
    if (module->Kind() != ModuleKind::Shared) return TRUE;  // system modules stay loaded
    {
        auto& registry = kiln::platform::TheRegistry();
        std::lock_guard guard(registry.lock);
        if (module->loads <= 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--module->loads > 0) return TRUE;
    }
    kiln::platform::UnregisterHandle(hLibModule);  // OnClose unloads it
    return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!lpModuleName) return kiln::platform::BuiltinModule(ModuleKind::Executable);
    if (!*lpModuleName) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    HMODULE module = kiln::platform::FindOrLoad(lpModuleName, 0, false);
    if (module) {
        // GetModuleHandle takes no reference: give back the one FindOrLoad
        // added when the library was loaded already. A library that is
        // loaded without LoadLibrary (linked in) keeps the one it got.
        auto object = kiln::platform::LookupHandleAs<kiln::platform::Module>(module);
        auto& registry = kiln::platform::TheRegistry();
        std::lock_guard guard(registry.lock);
        if (object && object->Kind() == ModuleKind::Shared && object->loads > 1) --object->loads;
    }
    return module;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return GetModuleHandleW(nullptr);
    std::u16string name = kiln::platform::ToUtf16(lpModuleName);
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return GetModuleHandleW(name.c_str());
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);  // ordinals: nothing here is exported by number
        return nullptr;
    }
    auto module = kiln::platform::ModuleOf(hModule);
    if (!module) return nullptr;
    FARPROC function = nullptr;
    switch (module->Kind()) {
        case ModuleKind::Kernel32:
            function = kiln::platform::FindSystemExport(kiln::platform::SystemLibrary::Kernel32,
                                                        lpProcName);
            break;
        case ModuleKind::Advapi32:
            function = kiln::platform::FindSystemExport(kiln::platform::SystemLibrary::Advapi32,
                                                        lpProcName);
            break;
        default:
            if (module->Library()) {
                function = reinterpret_cast<FARPROC>(dlsym(module->Library(), lpProcName));
            }
            break;
    }
    if (!function) SetLastError(ERROR_PROC_NOT_FOUND);
    return function;
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    constexpr UINT length = std::size(kiln::platform::kSystemDirectory) - 1;
    if (!lpBuffer || uSize <= length) return length + 1;
    std::memcpy(lpBuffer, kiln::platform::kSystemDirectory,
                sizeof(kiln::platform::kSystemDirectory));
    return length;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    auto module = kiln::platform::ModuleOf(hModule);
    if (!module) return 0;
    std::u16string name = kiln::platform::WindowsFileNameOf(*module);
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return kiln::platform::CopyTruncated<char16_t>(name, lpFilename, nSize);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    auto module = kiln::platform::ModuleOf(hModule);
    if (!module) return 0;
    std::string name = kiln::platform::ToUtf8(kiln::platform::WindowsFileNameOf(*module));
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return kiln::platform::CopyTruncated<char>(name, lpFilename, nSize);
}
