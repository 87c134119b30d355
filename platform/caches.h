// Every memo the system keeps, declared here with its key, its lifetime and
// what makes it forget; platform/README.md has the same list as a table with
// each staleness bound. A memo not named here is a defect.
//
// Two kinds:
//  * Request-lived facts (the directories and the last path a request
//    resolved, the stat a request that changes nothing took): held by the
//    request's resolution scope (platform/resolution_scope.h) and forgotten by
//    one call, which the scope's end makes and which every platform call
//    marked as changing names or security makes before it returns.
//  * Memos across requests: exact by their key where the key changes with
//    what they remember (an inode's change time, the bytes of an ACL, the
//    owner, group and mode of a DACL), or bounded by one of the lifetimes
//    below, read off the one coarse clock.
//
// clang-format off
//  memo                          | where                           | key                             | lifetime / invalidation
//  ------------------------------+---------------------------------+---------------------------------+------------------------------------
//  resolved directories, path    | posix/names/resolution_scope    | parent path below the boundary  | the request; marked calls forget
//  watched directories (and each | posix/names/watched_directories | parent path below the boundary  | exact: inotify, mounts, privileges; local file systems only
//   one's default ACL)           |                                 |                                 |
//  kept object (stat by name)    | posix/names/resolution_scope    | parent fd + name                | the request; marked calls forget
//  caller's effective uid, gid   | posix/names/resolution_scope    | none (the process)              | the request (the scope's end)
//  stat kept on a handle         | posix/files/file_object         | the handle                      | the request that opened it
//  stored attributes (xattr)     | posix/files/attribute_store     | device, inode, change time      | kStoredAttributesLifetime, per thread
//  found entry of a listing      | posix/files/listing             | the path as the search spelled  | kFoundEntryLifetime, answers once
//  mode-only DACLs               | posix/files/file_security       | owner, group, mode, directory   | exact (the key is the whole input)
//  parsed ACL                    | posix/security/acl              | address and bytes of the ACL    | exact, until the thread's next call
//  account names and ids         | posix/security/accounts         | uid, gid or name                | AccountLifetime(), shared
//  group membership of a user    | posix/security/effective_rights | uid                             | AccountLifetime(), per thread
//  case folding of a directory   | sfswin/attrs_read               | directory path                  | kCaseFoldingLifetime, per thread
//  principal facts (owner text)  | host/sftp_attrs                 | principal text                  | kPrincipalFactsLifetime, per thread
//  date column of a long name    | host/sftp_attrs                 | the time and its 6-month side   | exact
// clang-format on
#pragma once

#include <chrono>
#include <cstdint>

namespace kiln::platform::caches {

// The one clock of every lifetime: monotonic, at tick resolution (it lags
// the precise clock by at most one tick, a few milliseconds), and cheap
// enough for every entry of a listing.
std::chrono::steady_clock::time_point CoarseNow();

// The record of Windows attributes kept in an extended attribute, per
// thread: a stat reads it, then an open for information reads it again.
// Its key holds the change time, which every write of the record moves; the
// lifetime is below a tick, so this one is read off the precise clock.
inline constexpr std::chrono::milliseconds kStoredAttributesLifetime{1};

// The entry a listing just handed out answers the security query that
// follows it for its path, once; anything later resolves the path afresh.
inline constexpr std::chrono::milliseconds kFoundEntryLifetime{10};

// Whether a directory folds the case of names: a property of the directory
// (or its volume) that costs two opens to probe.
inline constexpr std::chrono::seconds kCaseFoldingLifetime{2};

// What the front end knows of an owner or group named in an answer (its id
// and its name on the wire).
inline constexpr std::chrono::seconds kPrincipalFactsLifetime{1};

// Answers of the user and group databases, unknown accounts included: an
// account added or renamed shows within this time. 5 seconds unless a test
// shortens it.
std::chrono::steady_clock::duration AccountLifetime();
void SetAccountLifetime(std::chrono::milliseconds lifetime);

// Whether directories may be kept between requests under inotify watches
// (posix/names/watched_directories); on unless the host turns it off.
void SetDirectoryWatching(bool on);
bool DirectoryWatching();

// The front end's word that it has just read requests from its client (a
// host that never says so leaves every request to look for itself). The
// watched directories then look for the kernel's notifications only when
// something was read since they last looked.
void NoteRequestsRead();
uint64_t RequestsRead();

// Moves on whenever the process's privileges change: what a walk through
// the tree may pass depends on them, so a memo of where one led compares it.
uint64_t PrivilegesGeneration();
void NotePrivilegesChanged();

}  // namespace kiln::platform::caches
