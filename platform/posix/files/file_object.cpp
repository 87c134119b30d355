#include "platform/posix/files/file_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/files/locks.h"
#include "platform/posix/system/descriptors.h"
#include "platform/win32_files.h"

namespace kiln::platform {

FileObject::FileObject(Params&& params) : params_(std::move(params)), fd_(params_.fd) {}

FileObject::~FileObject() {
    Release(true);
    if (int fd = Fd(); fd >= 0) ::close(fd);
}

bool FileObject::EnsureFd() const {
    if (HasFd()) return true;
    std::lock_guard guard(lazyLock_);
    if (HasFd()) return true;
    if (!lazyFailed_.load(std::memory_order_relaxed) && params_.parentFd >= 0 &&
        !params_.name.empty()) {
        UniqueFd fd(
            ::openat(params_.parentFd, params_.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (fd && ::fstat(fd.Get(), &st) == 0 && st.st_dev == Device() && st.st_ino == Inode()) {
            fd_.store(fd.Release(), std::memory_order_release);
            return true;
        }
        // Renamed away, removed or replaced since the request looked at it:
        // the handle would otherwise be taken for another object's.
        lazyFailed_.store(true, std::memory_order_release);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
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

void FileObject::OnClose(bool lastHolder) {
    Release(lastHolder);
}

// Windows releases a handle's locks and sharing when the handle is closed,
// even while a call through it may still hold the object.
void FileObject::Release(bool lastHolder) {
    std::lock_guard guard(closeLock_);
    if (released_) return;
    released_ = true;
    ReleaseAllLocks(Key(), this, Fd());
    if (shareRecorded_) {
        DeleteOnClose* marked = params_.deleteOnClose.directory ? &params_.deleteOnClose : nullptr;
        // The kernel drops an open file's locks when its last descriptor
        // closes: the share marks go without a call of their own when their
        // descriptor is closed right after this, as the handle's own is when
        // nothing else holds the handle (no call through it still runs; no
        // descriptor of ours is ever duplicated).
        const bool closedNow = lockFd_ == ownLockFd_.Get() || (lastHolder && lockFd_ == Fd());
        ShareClose(Key(), this, marked, closedNow ? -1 : lockFd_);
    }
    ownLockFd_.Reset();
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
    auto file = LookupHandleAs<FileObject>(handle);
    if (file && !file->EnsureFd()) return nullptr;
    return file;
}

std::shared_ptr<FileObject> LookupFileWithoutFd(HANDLE handle) {
    return LookupHandleAs<FileObject>(handle);
}

}  // namespace kiln::platform
