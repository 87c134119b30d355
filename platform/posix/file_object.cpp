#include "platform/posix/file_object.h"

#include <unistd.h>

#include "platform/posix/locks.h"

namespace kiln::platform {

FileObject::FileObject(Params&& params) : params_(std::move(params)) {}

FileObject::~FileObject() {
    Release();
    if (params_.fd >= 0) ::close(params_.fd);
}

bool FileObject::AcquireShare() {
    if (!ShareOpen(Key(), params_.access, params_.shareMode, this)) return false;
    shareRecorded_ = true;
    return true;
}

void FileObject::OnClose() {
    Release();
}

// Windows releases a handle's locks and sharing when the handle is closed,
// even while a call through it may still hold the object.
void FileObject::Release() {
    std::lock_guard guard(closeLock_);
    if (released_) return;
    released_ = true;
    ReleaseAllLocks(Key(), this);
    if (shareRecorded_) {
        DeleteOnClose* marked = params_.deleteOnClose.directory ? &params_.deleteOnClose : nullptr;
        ShareClose(Key(), this, marked);
    }
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
    return LookupHandleAs<FileObject>(handle);
}

}  // namespace kiln::platform
