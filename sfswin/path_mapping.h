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

}  // namespace kiln::KilnSfsWin
