#include "platform/windows/confinement.h"

#include <mutex>
#include <string>

#include "platform/config_files.h"

namespace kiln::platform {

namespace {
std::mutex g_rootLock;
std::wstring g_root;  // the final path of the root, without a trailing separator

bool HasRoot() {
    std::lock_guard lock(g_rootLock);
    return !g_root.empty();
}
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

namespace {

bool Refuse(DWORD error) {
    SetLastError(error);
    return false;
}

// Where a probe found a path to lead.
enum class Found { Inside, Outside, Missing, Unknown };

// Opens the path for its attributes only, which no sharing mode refuses and
// which creates, truncates or locks nothing, and asks where it lies. A
// reparse point found when not following is reported through isLink.
Found Probe(const std::wstring& path, bool followFinal, bool* isLink, DWORD* error) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!followFinal) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE probe = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, flags, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? Found::Missing
                                                                                : Found::Unknown;
    }
    std::wstring final;
    const bool inside = FinalPathOf(probe, final) && LiesBeneathRoot(final);
    if (isLink) {
        BY_HANDLE_FILE_INFORMATION info{};
        *isLink = GetFileInformationByHandle(probe, &info) &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    CloseHandle(probe);
    return inside ? Found::Inside : Found::Outside;
}

// The path, every link in it followed, must lie inside; what lies outside
// or nowhere is refused with the error given, as a path that does not exist.
bool FollowedPathInside(const std::wstring& path, DWORD notInside) {
    DWORD error = 0;
    switch (Probe(path, true, nullptr, &error)) {
        case Found::Inside:
            return true;
        case Found::Outside:
        case Found::Missing:
            return Refuse(notInside);
        case Found::Unknown:
            break;
    }
    return Refuse(error);
}

// The full path as the call itself will see it: relative names, "." and
// "..", forward slashes and trailing dots resolved by the rules of
// GetFullPathNameW, which the W functions apply to the path first.
bool FullPathOf(LPCWSTR path, std::wstring& full) {
    DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    for (int attempt = 0; size != 0 && attempt < 3; ++attempt) {
        full.assign(size, L'\0');
        const DWORD n = GetFullPathNameW(path, size, full.data(), nullptr);
        if (n != 0 && n < size) {
            full.resize(n);
            return true;
        }
        size = n;  // the current directory changed meanwhile
    }
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_NAME);
    return false;
}

// The directory that holds the final name of a full path must lie inside.
// A path whose final name is "." or ".." (possible after \\?\) or that has
// no directory (a volume root) names no entry of a directory inside.
bool DirectoryStaysInside(std::wstring full) {
    while (full.size() > 1 && full.back() == L'\\') full.pop_back();
    const size_t cut = full.find_last_of(L'\\');
    if (cut == std::wstring::npos) return Refuse(ERROR_PATH_NOT_FOUND);
    const std::wstring name = full.substr(cut + 1);
    if (name.empty() || name == L"." || name == L"..") return Refuse(ERROR_PATH_NOT_FOUND);
    std::wstring directory = full.substr(0, cut);
    // "C:" alone is the drive's current directory; its root is meant.
    if (!directory.empty() && directory.back() == L':') directory += L'\\';
    if (directory.find_last_of(L'\\') == std::wstring::npos) return Refuse(ERROR_PATH_NOT_FOUND);
    return FollowedPathInside(directory, ERROR_PATH_NOT_FOUND);
}

bool ObjectStaysInside(const std::wstring& full, bool followFinal) {
    bool isLink = false;
    DWORD error = 0;
    switch (Probe(full, false, &isLink, &error)) {
        case Found::Inside:
            break;
        // As a missing name would: in a directory outside, the path is missing.
        case Found::Outside:
            return DirectoryStaysInside(full) && Refuse(ERROR_FILE_NOT_FOUND);
        // Nothing by that name: the call can only fail or create it, and
        // what it creates goes into the directory that holds the name.
        case Found::Missing:
            return DirectoryStaysInside(full);
        case Found::Unknown:
            return Refuse(error);
    }
    if (!followFinal || !isLink) return true;
    // Where the final link leads must lie inside as well. A link that leads
    // nowhere is refused: following it could create its target, and where
    // that would be cannot be asked of the system before it exists.
    return FollowedPathInside(full, ERROR_FILE_NOT_FOUND);
}

}  // namespace

bool MayReach(LPCWSTR path, Reach reach) {
    if (!path || !HasRoot()) return true;
    std::wstring full;
    if (!FullPathOf(path, full)) return false;
    switch (reach) {
        case Reach::Name:
            return DirectoryStaysInside(std::move(full));
        case Reach::Entry:
            return ObjectStaysInside(full, false);
        case Reach::Object:
            return ObjectStaysInside(full, true);
    }
    return Refuse(ERROR_INVALID_PARAMETER);
}

HANDLE ConfinedCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    if (!HasRoot())
        return ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
    // Whatever the call could change before its handle can be asked where it
    // is (a file created or cut, a file deleted when the refused handle is
    // closed again) is checked first.
    const bool changes = disposition != OPEN_EXISTING || (flags & FILE_FLAG_DELETE_ON_CLOSE);
    const Reach reach = (flags & FILE_FLAG_OPEN_REPARSE_POINT) ? Reach::Entry : Reach::Object;
    if (changes && !MayReach(name, reach)) return INVALID_HANDLE_VALUE;
    HANDLE handle = ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
    if (handle == INVALID_HANDLE_VALUE) {
        // Nor may a refusal tell what lies outside (a directory there refuses
        // an open without backup semantics, a file in use a sharing mode).
        const DWORD refused = GetLastError();
        if (!changes && !MayReach(name, reach)) return INVALID_HANDLE_VALUE;
        SetLastError(refused);
        return handle;
    }
    const DWORD opened = GetLastError();  // ERROR_ALREADY_EXISTS tells callers something
    std::wstring final;
    if (!FinalPathOf(handle, final) || !LiesBeneathRoot(final)) {
        CloseHandle(handle);
        // Outside the root behaves as a path that does not exist, with the
        // error that the check gives for it.
        if (MayReach(name, reach)) SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(opened);
    return handle;
}

}  // namespace win
}  // namespace kiln::platform
