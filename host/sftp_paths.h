// Paths as the client sees them and as the provider takes them.
//
// The provider takes absolute SFS paths and leaves "." and ".." alone, so the
// server resolves every client path itself: relative paths against the home
// directory, "." and ".." folded lexically and never above "/". The client
// speaks POSIX names (bytes; UTF-8 by convention, not always in fact); the
// provider's names are UTF-16 Windows names in which what Windows names
// cannot carry (\ : * ? " < > |, control characters, bytes that are not
// UTF-8) stands in the private-use range, as the platform maps names on disk.
// Both directions go through the platform's name mapping, a bijection, so a
// client at any protocol version names exactly the bytes on disk and sees
// them back unchanged, as OpenSSH's server does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "nocrtlib/ncstring.h"

namespace kiln::sftp {

// The absolute canonical form of `path`, relative paths taken against `base`
// (itself canonical). nullopt for a path that contains a NUL byte.
std::optional<std::string> CanonicalPath(std::string_view base, std::string_view path);

// `dir` and `name` joined with one "/".
std::string JoinPath(std::string_view dir, std::string_view name);

// The parent of a canonical path ("/" for "/").
std::string ParentPath(std::string_view canonical);

// A canonical client path as the provider's SFS path.
WString ToSfsPath(std::string_view canonical);

// Whether every name of a canonical client path can be a file of this
// system (platform::DiskNameFits).
bool PathFitsDisk(std::string_view canonical);

// A name or path from the provider as the client's UTF-8.
std::string FromSfsPath(std::u16string_view sfs);

// The start directory: `home` (a Linux path) as seen below `root` (a Linux
// directory), or "/" when it lies outside the root.
std::string HomeBelowRoot(std::string_view root, std::string_view home);

// A Linux path below `root` as the client's path ("/" for the root itself);
// nullopt when it lies outside.
std::optional<std::string> ClientPathOf(std::string_view root, std::string_view linuxPath);

}  // namespace kiln::sftp
