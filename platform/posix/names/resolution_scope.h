// The request's resolution scope (platform/resolution_scope.h) as the file
// functions use it: the directories and the last path a request resolved,
// the objects a request that changes nothing looked at, and the mark that
// makes the scope forget them when a call changes names.
#pragma once

#include <linux/stat.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/names/confinement.h"

namespace kiln::platform {

// Whether `joined` is the first `count` components of `relative` joined
// with '/': the key of a kept directory against the path asked for.
bool SameDirectory(const std::string& joined, const std::vector<std::string>& relative,
                   size_t count);

// The directories kept by the thread's resolution scope
// (platform/resolution_scope.h). Null, and nothing kept, outside a scope.
SharedFd FindResolvedDirectory(const BoundaryDir* boundary,
                               const std::vector<std::string>& relative, size_t count);
void KeepResolvedDirectory(const std::shared_ptr<const FileConfig>& config,
                           const BoundaryDir* boundary, std::string directory, const SharedFd& fd);
// The last path the thread's scope resolved (ResolvePath) and where it led,
// for the next call of the request on the same path; `configVersion` is the
// configuration's version (FileConfigVersion) read before resolving.
bool FindResolvedPath(LPCWSTR path, uint64_t configVersion, ParsedPath* parsed, Location* out);
void KeepResolvedPath(LPCWSTR path, uint64_t configVersion, const ParsedPath& parsed,
                      const Location& location);
// ForgetRequestFacts, and the notifications of watched directories read
// before the next use whatever the front end has read since: the change was
// this request's own.
void ForgetAfterOwnChange();
// Whether the thread is inside a scope, where resolved directories are kept.
bool InResolutionScope();
// Forgets every request-lived fact the scope kept (platform/caches.h): the
// scope's end calls it, and so does every ChangesNamesOrSecurity mark.
void ForgetRequestFacts();

// The process's effective user and group (the creator of what a request
// makes, the user of its token), looked up once per scope: a request's
// calls all act as one identity, as a Windows thread's calls act with one
// token. Outside a scope, looked up afresh.
struct CallerIdentity {
    uid_t uid;
    gid_t gid;
};
CallerIdentity ScopeCallerIdentity();

// The object that a request which changes nothing asks about: the stat of
// what the final name led to (never following a final link), taken by name
// at `taken`. No descriptor: a handle opened on it for attributes only takes
// one when it needs one (FileObject::EnsureFd).
struct KeptObject {
    struct statx st;
    std::chrono::steady_clock::time_point taken;
};
// Whether the thread's scope keeps an object (a request that changes nothing).
bool ScopeKeepsObjects();
// The kept object that `name` in the directory `parentFd` led to; null when
// there is none.
const KeptObject* FindKeptObject(int parentFd, const std::string& name);
// Looks at `name` in the location's directory and keeps what it saw for the
// scope. Null when the scope keeps no objects or the name is empty (nothing
// done), or with the Windows last error when the name cannot be looked at.
const KeptObject* StatAndKeepObject(const Location& location);
// What a handle opened without a descriptor in the thread's scope does when
// the scope ends, if it is still open then: take its descriptor, so that no
// handle leaves the request without one (FileObject).
class ScopeEndWork {
  public:
    virtual void AtScopeEnd() = 0;

  protected:
    ~ScopeEndWork() = default;
};
// Outside a scope, does nothing.
void KeepUntilScopeEnd(std::weak_ptr<ScopeEndWork> work);

// The mark of a Windows call that makes, removes or renames a name or changes
// who may reach what (CreateFileW when it may create, DeleteFileW,
// CreateDirectoryW, RemoveDirectoryW, MoveFileExW, CreateSymbolicLinkW,
// CreateHardLinkW, the last close of a delete-on-close handle,
// SetSecurityInfo, SetNamedSecurityInfoW): the first line of the call, so
// that when it returns the rest of the request resolves its paths afresh.
class ChangesNamesOrSecurity {
  public:
    explicit ChangesNamesOrSecurity(bool changes = true) : changes_(changes) {}
    ChangesNamesOrSecurity(const ChangesNamesOrSecurity&) = delete;
    ChangesNamesOrSecurity& operator=(const ChangesNamesOrSecurity&) = delete;
    ~ChangesNamesOrSecurity() {
        if (changes_) ForgetAfterOwnChange();
    }

  private:
    bool changes_;
};

}  // namespace kiln::platform
