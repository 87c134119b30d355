#include "platform/windows/confinement.h"

#include <mutex>
#include <string>

#include "platform/config_files.h"

namespace kiln::platform {

namespace {
std::mutex g_rootLock;
std::wstring g_root;  // the final path of the root, without a trailing separator
}  // namespace

bool SetConfinementRoot(const char16_t* windowsRoot) {
    if (!windowsRoot || !*windowsRoot) {
        std::lock_guard lock(g_rootLock);
        g_root.clear();
        return true;
    }
    HANDLE root = ::CreateFileW(reinterpret_cast<LPCWSTR>(windowsRoot), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (root == INVALID_HANDLE_VALUE) return false;
    std::wstring finalPath;
    const bool named = win::FinalPathOf(root, finalPath);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool isDirectory = GetFileInformationByHandle(root, &info) &&
                             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD error = GetLastError();
    CloseHandle(root);
    if (!named) {
        SetLastError(error);
        return false;
    }
    if (!isDirectory) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    while (finalPath.size() > 1 && (finalPath.back() == L'\\')) finalPath.pop_back();
    std::lock_guard lock(g_rootLock);
    g_root = std::move(finalPath);
    return true;
}

namespace win {

bool FinalPathOf(HANDLE handle, std::wstring& path) {
    path.assign(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return false;
        if (n < path.size()) {
            path.resize(n);
            return true;
        }
        path.assign(n, L'\0');  // n counts the terminating zero here
    }
}

bool LiesBeneathRoot(const std::wstring& finalPath) {
    std::wstring root;
    {
        std::lock_guard lock(g_rootLock);
        root = g_root;
    }
    if (root.empty()) return true;
    if (finalPath.size() < root.size()) return false;
    // Windows compares names without regard to case; the final paths come
    // from the same volume's own spelling of the root, so an ordinal
    // case-insensitive comparison of the prefix is what the file system does.
    if (CompareStringOrdinal(finalPath.data(), static_cast<int>(root.size()), root.data(),
                             static_cast<int>(root.size()), TRUE) != CSTR_EQUAL)
        return false;
    return finalPath.size() == root.size() || finalPath[root.size()] == L'\\';
}

}  // namespace win
}  // namespace kiln::platform

namespace kiln::platform::win {

namespace {

// Whether the object a path names now (following links) lies beneath the
// root; a path that names nothing passes, as there is nothing to reach.
bool PathStaysInside(const std::wstring& path, bool& exists) {
    HANDLE probe = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        exists = false;
        return true;
    }
    exists = true;
    std::wstring final;
    const bool inside = FinalPathOf(probe, final) && LiesBeneathRoot(final);
    CloseHandle(probe);
    return inside;
}

std::wstring ParentOf(const std::wstring& path) {
    size_t end = path.find_last_of(L"\\/");
    return end == std::wstring::npos ? std::wstring() : path.substr(0, end);
}

bool HasRoot() {
    std::lock_guard lock(g_rootLock);
    return !g_root.empty();
}

}  // namespace

HANDLE ConfinedCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    if (!HasRoot())
        return ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
    const std::wstring path(name ? name : L"");
    // Before anything can be created or truncated: the directory that would
    // receive a new file, and an existing object that would be cut, must
    // both lie inside.
    bool exists = false;
    const std::wstring parent = ParentOf(path);
    if (disposition != OPEN_EXISTING && !parent.empty() && !PathStaysInside(parent, exists)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
        !(flags & FILE_FLAG_OPEN_REPARSE_POINT) && !PathStaysInside(path, exists)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    const DWORD opened = GetLastError();  // ERROR_ALREADY_EXISTS tells callers something
    std::wstring final;
    if (!FinalPathOf(handle, final) || !LiesBeneathRoot(final)) {
        CloseHandle(handle);
        // Outside the root behaves as a path that does not exist.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(opened);
    return handle;
}

}  // namespace kiln::platform::win
