#include "platform/posix/file_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/locks.h"
#include "platform/posix/paths.h"
#include "platform/win32_files.h"

namespace kiln::platform {

FileObject::FileObject(Params&& params) : params_(std::move(params)) {}

FileObject::~FileObject() {
    Release();
    if (params_.fd >= 0 && !params_.sharedFd) ::close(params_.fd);
}

bool FileObject::AcquireShare() {
    // Only opens with data or delete access take part in sharing.
    constexpr DWORD kSharing =
        FILE_READ_DATA | FILE_EXECUTE | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE;
    const int mode = !(params_.access & kSharing) ? -1
                     : params_.pathOnly           ? O_PATH
                     : params_.accessMode >= 0    ? params_.accessMode
                                                  : ::fcntl(params_.fd, F_GETFL) & O_ACCMODE;
    if (mode == O_RDONLY || mode == O_RDWR) {
        lockFd_ = params_.fd;
    } else if (mode != -1) {
        // A handle without a descriptor open for reading marks through one
        // of its own; only regular files and directories are reopened, as
        // opening a device or a FIFO may act on it.
        struct stat st;
        if (::fstat(params_.fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
            const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                              (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0);
            ownLockFd_.Reset(::open(ProcFdPath(params_.fd).c_str(), flags));
            lockFd_ = ownLockFd_.Get();
        }
    }
    if (!ShareOpen(Key(), params_.access, params_.shareMode, this, lockFd_)) return false;
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
    ReleaseAllLocks(Key(), this, params_.fd);
    if (shareRecorded_) {
        DeleteOnClose* marked = params_.deleteOnClose.directory ? &params_.deleteOnClose : nullptr;
        ShareClose(Key(), this, marked, lockFd_);
    }
    ownLockFd_.Reset();
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
    return LookupHandleAs<FileObject>(handle);
}

}  // namespace kiln::platform
