// On Windows the disk's own spelling of a name is UTF-16, so a client's
// UTF-8 name maps one to one onto it and nothing stands in for anything. The
// front end's disk paths are Windows paths in UTF-8 with '/' between
// components ("C:/srv/data", "//server/share/dir"): they canonicalise like the
// POSIX paths the front end already handles.
#include "platform/disk_names.h"

#include <string>

namespace kiln::platform {

namespace {

std::u16string FromUtf8(std::string_view text, bool* exact) {
    std::u16string out;
    if (text.empty()) return out;
    const int n = static_cast<int>(text.size());
    int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (exact) *exact = wide > 0;
    if (wide <= 0) {
        // Malformed input: Windows' own replacement (U+FFFD), as without flags.
        flags = 0;
        wide = MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
    }
    out.resize(static_cast<size_t>(wide));
    MultiByteToWideChar(CP_UTF8, flags, text.data(), n, reinterpret_cast<wchar_t*>(out.data()),
                        wide);
    return out;
}

// False for a lone surrogate, which no UTF-8 name spells.
bool ToUtf8(std::u16string_view text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int n = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, n, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    out->resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, n, out->data(), bytes, nullptr,
                        nullptr);
    return true;
}

bool IsDeviceName(std::u16string_view name) {
    // A device name stays a device whatever extension follows it.
    std::u16string_view stem = name.substr(0, name.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    std::u16string folded;
    for (char16_t c : stem) folded += upper(c);
    for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"})
        if (folded == device) return true;
    if (folded.size() == 4 && (folded.starts_with(u"COM") || folded.starts_with(u"LPT")))
        return (folded[3] >= u'1' && folded[3] <= u'9') || folded[3] == u'\u00B9' ||
               folded[3] == u'\u00B2' || folded[3] == u'\u00B3';
    return false;
}

}  // namespace

std::u16string DiskNameToWindows(std::string_view name) {
    return FromUtf8(name, nullptr);
}

bool WindowsNameToDisk(std::u16string_view name, std::string* diskName) {
    if (ToUtf8(name, diskName)) return true;
    SetLastError(ERROR_INVALID_NAME);
    return false;
}

bool DiskNameFits(std::string_view name) {
    bool exact = false;
    const std::u16string wide = FromUtf8(name, &exact);
    if (!exact && !name.empty()) return false;
    for (char16_t c : wide)
        if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos)
            return false;
    if (!wide.empty() && (wide.back() == u'.' || wide.back() == u' '))
        return wide == u"." || wide == u"..";
    return !IsDeviceName(wide);
}

bool WindowsPathToDisk(const char16_t* windowsPath, std::string* diskPath) {
    if (!windowsPath || !*windowsPath) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::u16string path(windowsPath);
    if (path.starts_with(u"\\\\?\\UNC\\"))
        path = u"\\\\" + path.substr(8);
    else if (path.starts_with(u"\\\\?\\"))
        path = path.substr(4);
    const bool drive = path.size() >= 2 && path[1] == u':';
    if (!drive && !path.starts_with(u"\\\\")) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    for (char16_t& c : path)
        if (c == u'\\') c = u'/';
    return WindowsNameToDisk(path, diskPath);
}

bool DiskPathToWindows(std::string_view diskPath, std::u16string* windowsPath) {
    // The front end's canonical form puts a '/' before the drive.
    if (diskPath.size() >= 3 && diskPath[0] == '/' && diskPath[2] == ':') diskPath.remove_prefix(1);
    std::u16string path = FromUtf8(diskPath, nullptr);
    for (char16_t& c : path)
        if (c == u'/') c = u'\\';
    const bool drive = path.size() >= 2 && path[1] == u':';
    if (!drive && !path.starts_with(u"\\\\")) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (path.size() == 2) path += u'\\';
    *windowsPath = std::move(path);
    return true;
}

}  // namespace kiln::platform
