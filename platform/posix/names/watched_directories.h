// Directories kept from one request to the next, exact where the kernel
// reports every change that could make one stale.
//
// A kept directory was reached beneath its boundary one plain name at a time
// (no link followed, no "..") with an inotify watch on every directory of
// the chain, the boundary included, added before its child was opened. A
// move, removal or change of permissions of any of them (IN_MOVE_SELF,
// IN_DELETE_SELF, IN_ATTRIB, IN_UNMOUNT, a subdirectory's IN_DELETE,
// IN_MOVED_FROM or IN_MOVED_TO) and any change of the mount table drop what
// lies beneath.
// The kernel queues those events before the call that caused them returns,
// so reading them once when a request first looks for a directory (and again
// after any call of its own marked ChangesNamesOrSecurity) sees every change
// that finished before the request was taken: no request acts on a view
// older than its arrival. Within one request the bound of the request-lived
// facts holds (platform/resolution_scope.h).
//
// Off, and every path resolved afresh as before, where the kernel would not
// tell: any file system but ext2/3/4, tmpfs, XFS and Btrfs (FUSE, NFS, CIFS,
// GlusterFS, overlays), a chain through a link, a thread without an inotify
// instance (the per-user limit), a watch refused, a descriptor from the last
// quarter of the table (kept for the session's handles), outside a scope, and when
// the host turns it off (caches::SetDirectoryWatching). Where a walk found
// it could not keep a place (a link, another file system, a refused watch),
// paths through it are not walked again until something changes there: off
// costs what resolving always cost. A change of the configuration, of the
// process's identity or privileges (which decide what a walk may pass) or a
// fork forgets everything.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/names/drive_table.h"

namespace kiln::platform {

// The kept directory of the first `count` components of `relative` below
// the boundary, or null. Reads pending notifications first when the request
// has not yet done so since its start or its last marked call.
SharedFd FindWatchedDirectory(const BoundaryDir* boundary, const std::vector<std::string>& relative,
                              size_t count);

// Walks to the first `count` components of `relative`, watching each step,
// and keeps the result. Null when it cannot be kept (see above); the caller
// then resolves as before, and gets the error text from that.
SharedFd WatchDirectory(const std::shared_ptr<const FileConfig>& config,
                        const BoundaryDir* boundary, const std::vector<std::string>& relative,
                        size_t count);

// Whether the kept directory open as `fd` is known to have no default ACL,
// so that what is made in it gets the mode it is made with, less the umask.
// Looked up once per kept directory (setting an ACL changes its attributes,
// which drops it); false where unknown or it has one.
bool KeptDirectoryWithoutDefaultAcl(int fd);

// The next find checks for notifications first: a request began. Where the
// front end says when it reads requests (caches::NoteRequestsRead), the
// check reads them only if something was read since the last reading: every
// request served then was read before it.
void CheckWatchesBeforeNextFind();
// The next find reads them whatever was read: a call of the request changed
// names or security.
void ReadWatchesBeforeNextFind();

}  // namespace kiln::platform
