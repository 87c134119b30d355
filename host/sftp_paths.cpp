#include "host/sftp_paths.h"

#include <vector>

#include "platform/disk_names.h"

namespace kiln::sftp {

std::optional<std::string> CanonicalPath(std::string_view base, std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string_view> parts;
    parts.reserve(16);  // deeper paths are rare; one allocation for the usual ones
    auto split = [&](std::string_view p) {
        size_t i = 0;
        while (i <= p.size()) {
            size_t j = p.find('/', i);
            if (j == std::string_view::npos) j = p.size();
            std::string_view part = p.substr(i, j - i);
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            i = j + 1;
        }
    };
    if (path.empty() || path[0] != '/') split(base);
    split(path);
    std::string out;
    for (std::string_view part : parts) {
        out += '/';
        out.append(part);
    }
    return out.empty() ? std::string("/") : out;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (out.empty() || out.back() != '/') out += '/';
    out.append(name);
    return out;
}

std::string ParentPath(std::string_view canonical) {
    size_t slash = canonical.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return std::string(canonical.substr(0, slash));
}

WString ToSfsPath(std::string_view canonical) {
    std::u16string out;
    size_t i = 0;
    while (i < canonical.size()) {
        if (canonical[i] == '/') {
            out += u'/';
            ++i;
            continue;
        }
        size_t j = canonical.find('/', i);
        if (j == std::string_view::npos) j = canonical.size();
        out += platform::DiskNameToWindows(canonical.substr(i, j - i));
        i = j;
    }
    // (An empty result is the root; returning it directly also keeps GCC 12
    // from a false -Wrestrict report on assigning a literal to the string.)
    if (out.empty()) return WString(u"/");
    return WString(std::u16string_view(out));
}

bool PathFitsDisk(std::string_view canonical) {
    size_t i = 0;
    while (i < canonical.size()) {
        size_t j = canonical.find('/', i);
        if (j == std::string_view::npos) j = canonical.size();
        if (j > i && !platform::DiskNameFits(canonical.substr(i, j - i))) return false;
        i = j + 1;
    }
    return true;
}

std::string FromSfsPath(std::u16string_view sfs) {
    std::string out;
    size_t i = 0;
    while (i < sfs.size()) {
        if (sfs[i] == u'/') {
            out += '/';
            ++i;
            continue;
        }
        size_t j = sfs.find(u'/', i);
        if (j == std::u16string_view::npos) j = sfs.size();
        std::string name;
        // The provider's names come from names on disk and always map back;
        // anything else is shown as best it can be rather than dropped.
        if (!platform::WindowsNameToDisk(sfs.substr(i, j - i), &name))
            name = Narrow(sfs.substr(i, j - i));
        out += name;
        i = j;
    }
    return out;
}

std::optional<std::string> ClientPathOf(std::string_view root, std::string_view linuxPath) {
    auto canonicalRoot = CanonicalPath("/", root);
    auto canonical = CanonicalPath("/", linuxPath);
    if (!canonicalRoot || !canonical) return std::nullopt;
    if (*canonicalRoot == "/") return canonical;
    if (*canonical == *canonicalRoot) return std::string("/");
    if (canonical->size() > canonicalRoot->size() &&
        canonical->compare(0, canonicalRoot->size(), *canonicalRoot) == 0 &&
        (*canonical)[canonicalRoot->size()] == '/')
        return canonical->substr(canonicalRoot->size());
    return std::nullopt;
}

std::string HomeBelowRoot(std::string_view root, std::string_view home) {
    if (home.empty() || home[0] != '/') return "/";
    return ClientPathOf(root, home).value_or("/");
}

}  // namespace kiln::sftp
