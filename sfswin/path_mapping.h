// Path mapping between the provider's name space (SFS paths: absolute, with
// forward slashes) and Windows paths below the configured root. All of it is
// string work: nothing here touches the file system.
//
// The root may be empty: then the provider exposes every drive (/C/dir is
// C:\dir) and every UNC share (/srv/share/x is \\srv\share\x), and "/" is the
// virtual directory of logical drives, whose Windows path is empty.
#pragma once

#include <string_view>

#include "nocrtlib/ncstring.h"

namespace kiln::KilnSfsWin {

enum class PathCheck {
    Valid,
    DriveRoot,  // only from ToLongPath: a bare drive root such as C:\, used in plain form
    Invalid,
    Outside,
};

struct MappedPath {
    PathCheck check = PathCheck::Invalid;
    WString path;
};

// The Windows path of an SFS path. A path that is not absolute means a broken
// host and raises KilnComponent::Exit. The result is checked with
// CheckWinPath, except "/" itself, which is the root.
MappedPath MapSfsPath(std::u16string_view root, std::u16string_view sfsPath);

// Shape, character and containment check of a Windows path in plain form.
// A "." or ".." component is Invalid: the containment test is textual, and
// the file system below would resolve ".." out of the root.
PathCheck CheckWinPath(std::u16string_view root, std::u16string_view path);

// The "\\?\" form that handlers pass to the file-system calls. DriveRoot for
// C:\, which handlers pass in its plain form.
MappedPath ToLongPath(std::u16string_view root, std::u16string_view path);

// The plain form of a long path that Windows handed back.
MappedPath FromLongPath(std::u16string_view root, std::u16string_view longPath);

// The SFS path of a Windows path that passed CheckWinPath.
WString MapWinPathToSfs(std::u16string_view root, std::u16string_view path);

// Symbolic links keep the text they are made with, so a relative target is
// not a path of its own: it is taken from the directory of its link. These
// give where such a text leads, folded lexically ("." and ".." as names, not
// as the directories that links on the way might make of them), so that a
// link that climbs above the root at any step is Outside and never reveals
// anything beyond it.
//
// Where `text` (backslashes between names, as the link holds it) leads from
// the directory of the link at `linkPath`, a Windows path that passed
// CheckWinPath. A text beginning with a backslash is taken from the root of
// the link's volume, as Windows does.
MappedPath ResolveLinkText(std::u16string_view root, std::u16string_view linkPath,
                           std::u16string_view text);

// The Windows path that the target of a symbolic link request names: an
// absolute SFS path maps as any other, a relative one (slashes between names)
// leads from the directory of the link at `linkSfsPath`.
MappedPath MapSymlinkTarget(std::u16string_view root, std::u16string_view linkSfsPath,
                            std::u16string_view target);

// A link text between its SFS form (slashes) and its Windows form (backslashes).
WString LinkTextToWindows(std::u16string_view sfsText);
WString LinkTextToSfs(std::u16string_view windowsText);

}  // namespace kiln::KilnSfsWin
