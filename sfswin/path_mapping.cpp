#include "sfswin/path_mapping.h"

#include "component/kiln_component.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr char16_t kLongPrefix[] = u"\\\\?\\";
constexpr char16_t kLongUncPrefix[] = u"\\\\?\\UNC\\";

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualFoldingAscii(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

bool HasDotComponent(std::u16string_view path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view component = path.substr(start, end - start);
        if (component == u"." || component == u"..") return true;
        start = end + 1;
    }
    return false;
}

bool HasWellFormedShape(std::u16string_view path) {
    if (path.size() < 3) return false;
    if (path[1] == u':') return path[0] != u'\\' && path[2] == u'\\';
    if (path.size() < 5 || path[0] != u'\\' || path[1] != u'\\' || path[2] == u'\\') return false;
    // What follows the server name must hold a backslash and a share name.
    size_t shareSeparator = path.find(u'\\', 2);
    if (shareSeparator == std::u16string_view::npos) return false;
    std::u16string_view share = path.substr(shareSeparator);
    return share.size() >= 2 && share[1] != u'\\';
}

WString Slashed(WString text, size_t from) {
    for (size_t i = from; i < text.size(); ++i)
        if (text[i] == u'/') text.at(i) = u'\\';
    return text;
}

}  // namespace

MappedPath MapSfsPath(std::u16string_view root, std::u16string_view sfsPath) {
    if (sfsPath.empty() || sfsPath[0] != u'/')
        throw KilnComponent::Exit(
            ErrCls::Kiln, 0, u"KilnSfsWin: Unexpected SFS path received: Expecting absolute path");
    if (sfsPath == u"/") return MappedPath{PathCheck::Valid, WString(root)};

    WString result;
    if (!root.empty()) {
        std::u16string_view tail = root.back() == u'\\' ? sfsPath.substr(1) : sfsPath;
        result = WString(root) + tail;
        result = Slashed(std::move(result), root.size());
    } else {
        std::u16string_view rest = sfsPath.substr(1);
        if (rest.size() == 1) {
            result = WString(rest) + u":\\";
        } else if (rest[1] == u'/') {
            result = WString(rest.substr(0, 1)) + u":" + rest.substr(1);
        } else {
            result = u"\\\\" + WString(rest);
        }
        result = Slashed(std::move(result), 0);
    }
    PathCheck check = CheckWinPath(root, result);
    return MappedPath{check, std::move(result)};
}

PathCheck CheckWinPath(std::u16string_view root, std::u16string_view path) {
    if (!HasWellFormedShape(path)) return PathCheck::Invalid;
    if (path.find_first_of(u"<>/|?*") != std::u16string_view::npos) return PathCheck::Invalid;
    if (HasDotComponent(path)) return PathCheck::Invalid;
    if (root.empty()) return PathCheck::Valid;
    if (path.size() < root.size()) return PathCheck::Outside;
    if (!EqualFoldingAscii(path.substr(0, root.size()), root)) return PathCheck::Outside;
    if (root.back() == u'\\') return PathCheck::Valid;
    // Root C:\data must not admit C:\database.
    if (path.size() > root.size() && path[root.size()] != u'\\') return PathCheck::Outside;
    return PathCheck::Valid;
}

MappedPath ToLongPath(std::u16string_view root, std::u16string_view path) {
    PathCheck check = CheckWinPath(root, path);
    if (check != PathCheck::Valid) return MappedPath{check, WString()};
    if (path[1] == u':' && path[2] == u'\\') {
        return MappedPath{path.size() == 3 ? PathCheck::DriveRoot : PathCheck::Valid,
                          kLongPrefix + WString(path)};
    }
    if (path[0] == u'\\' || path[1] == u'\\')
        return MappedPath{PathCheck::Valid, kLongUncPrefix + WString(path.substr(2))};
    return MappedPath{PathCheck::Invalid, WString()};
}

MappedPath FromLongPath(std::u16string_view root, std::u16string_view longPath) {
    if (longPath.size() < 4 || longPath.substr(0, 4) != kLongPrefix)
        return MappedPath{PathCheck::Invalid, WString()};
    std::u16string_view rest = longPath.substr(4);
    WString result;
    if (rest.size() >= 4 && EqualFoldingAscii(rest.substr(0, 4), u"UNC\\"))
        result = u"\\\\" + WString(rest.substr(4));
    else
        result = WString(rest);
    PathCheck check = CheckWinPath(root, result);
    return MappedPath{check, std::move(result)};
}

WString MapWinPathToSfs(std::u16string_view root, std::u16string_view path) {
    std::u16string_view rel = path.substr(std::min(root.size(), path.size()));
    if (rel.empty()) return WString(u"/");
    WString sfs;
    sfs.reserve(rel.size() + 1);
    if (rel[0] != u'\\') sfs += u'/';
    for (size_t i = 0; i < rel.size(); ++i) {
        if (root.empty() && i == 1 && rel[i] == u':') continue;
        sfs += rel[i] == u'\\' ? u'/' : rel[i];
    }
    return sfs;
}

}  // namespace kiln::KilnSfsWin
