// One request's worth of path resolution. A request makes several calls on
// one path (its attributes, an open, its security), and each call resolves
// the path's directory beneath the confinement root again. While a scope is
// open on a thread, a directory resolved beneath the root is kept and reused
// by the later calls of the same thread for the same parent path; the scope's
// end forgets everything, and any call that changes names (creating,
// deleting, renaming, linking) forgets everything at once, so that a request
// never acts on its own changes stale.
//
// What this allows: a directory that another process moves out of the root
// while a request runs can still be reached by that request, just as it can
// between the two steps (resolve the directory, act on the name) of any one
// call. From one request to the next a directory is kept only where the
// kernel reports every change that would make it stale (inotify, on local
// file systems; platform/posix/names/watched_directories.h), and each
// request reads those reports before it uses one.
//
// A request that changes nothing (a stat) asks about one object several
// times: the attributes twice, then an open for its information and one for
// its security. In such a scope what the object's name led to is looked at
// once, by name, for all of them, and an open that asks for attributes only
// takes no descriptor until something needs one: it then opens the name
// again, and only if the name still leads to the same object (else the
// handle acts as one of a file that is gone); a handle still open when the
// scope ends gets its descriptor then. The same bound holds (a change that
// another process makes while the request runs can go unseen by the rest of
// the request; the next request looks afresh).
//
// Scopes nest: only the outermost one keeps and forgets. Where the platform
// is the real Windows API, a scope does nothing.
#pragma once

namespace kiln::platform {

enum class RequestKind { MayChange, ChangesNothing };

class ResolutionScope {
  public:
    explicit ResolutionScope(RequestKind kind = RequestKind::MayChange);
    ~ResolutionScope();
    ResolutionScope(const ResolutionScope&) = delete;
    ResolutionScope& operator=(const ResolutionScope&) = delete;

  private:
    bool outermost_ = false;
};

}  // namespace kiln::platform
