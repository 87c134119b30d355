#include "sfswin/path_mapping.h"

#include <algorithm>
#include <vector>

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

// Whether the path holds a character that no Windows name may hold, or a
// component that is "." or "..". Every path of every request is checked
// twice: one pass over it.
bool HasForbiddenPart(std::u16string_view path) {
    size_t length = 0, dots = 0;  // of the component so far
    auto dotComponent = [&] { return length != 0 && length == dots && dots <= 2; };
    for (char16_t c : path) {
        switch (c) {
            case u'<':
            case u'>':
            case u'/':
            case u'|':
            case u'?':
            case u'*':
                return true;
            case u'\\':
                if (dotComponent()) return true;
                length = dots = 0;
                continue;
            case u'.':
                ++dots;
                break;
            default:
                break;
        }
        ++length;
    }
    return dotComponent();
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
        result.reserve(root.size() + tail.size());
        result += root;
        result += tail;
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
    if (HasForbiddenPart(path)) return PathCheck::Invalid;
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
    // Every path call of every request comes this way: one allocation each.
    auto prefixed = [](std::u16string_view prefix, std::u16string_view rest) {
        WString text;
        text.reserve(prefix.size() + rest.size());
        text += prefix;
        text += rest;
        return text;
    };
    if (path[1] == u':' && path[2] == u'\\') {
        return MappedPath{path.size() == 3 ? PathCheck::DriveRoot : PathCheck::Valid,
                          prefixed(kLongPrefix, path)};
    }
    if (path[0] == u'\\' || path[1] == u'\\')
        return MappedPath{PathCheck::Valid, prefixed(kLongUncPrefix, path.substr(2))};
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

namespace {

// The length of the volume part of a checked path: "C:" or "\\srv\share".
size_t VolumeLength(std::u16string_view path) {
    if (path.size() >= 2 && path[1] == u':') return 2;
    size_t server = path.find(u'\\', 2);
    if (server == std::u16string_view::npos) return path.size();
    size_t share = path.find(u'\\', server + 1);
    return share == std::u16string_view::npos ? path.size() : share;
}

// The names of a backslashed path, empty names and "." left out.
std::vector<std::u16string_view> NamesOf(std::u16string_view path) {
    std::vector<std::u16string_view> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view name = path.substr(start, end - start);
        if (!name.empty() && name != u".") names.push_back(name);
        start = end + 1;
    }
    return names;
}

WString Replaced(std::u16string_view text, char16_t from, char16_t to) {
    WString out(text);
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i] == from) out.at(i) = to;
    return out;
}

}  // namespace

MappedPath ResolveLinkText(std::u16string_view root, std::u16string_view linkPath,
                           std::u16string_view text) {
    const size_t volumeLength = VolumeLength(linkPath);
    const std::u16string_view volume = linkPath.substr(0, volumeLength);
    const bool rooted = !text.empty() && text[0] == u'\\';
    std::vector<std::u16string_view> names;
    if (!rooted) {
        names = NamesOf(linkPath.substr(volumeLength));
        if (!names.empty()) names.pop_back();  // the link's own name
    }
    // Climbing to the root's own level or above leaves the root (with no
    // root, above the volume).
    const size_t rootDepth =
        root.empty() ? 0 : NamesOf(root.substr(std::min(VolumeLength(root), root.size()))).size();
    bool outside = text.empty();
    for (std::u16string_view name : NamesOf(text)) {
        if (name != u"..") {
            names.push_back(name);
        } else if (names.size() <= rootDepth) {
            outside = true;
            break;
        } else {
            names.pop_back();
        }
    }
    if (outside) {
        // The log shows the way it takes, not a place it would end up at.
        WString shown =
            rooted ? WString(volume) : WString(linkPath.substr(0, linkPath.rfind(u'\\')));
        return MappedPath{PathCheck::Outside, shown + (rooted ? u"" : u"\\") + text};
    }
    WString result(volume);
    for (std::u16string_view name : names) result += u"\\" + WString(name);
    if (names.empty()) result += u'\\';
    PathCheck check = CheckWinPath(root, result);
    return MappedPath{check, std::move(result)};
}

MappedPath MapSymlinkTarget(std::u16string_view root, std::u16string_view linkSfsPath,
                            std::u16string_view target) {
    if (!target.empty() && target[0] == u'/') return MapSfsPath(root, target);
    MappedPath link = MapSfsPath(root, linkSfsPath);
    if (link.check != PathCheck::Valid)
        return MappedPath{PathCheck::Invalid, LinkTextToWindows(target)};
    return ResolveLinkText(root, link.path, LinkTextToWindows(target));
}

WString LinkTextToWindows(std::u16string_view sfsText) {
    return Replaced(sfsText, u'/', u'\\');
}

WString LinkTextToSfs(std::u16string_view windowsText) {
    return Replaced(windowsText, u'\\', u'/');
}

}  // namespace kiln::KilnSfsWin
