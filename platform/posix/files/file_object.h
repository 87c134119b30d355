// The kernel object behind a file or directory handle of CreateFileW.
#pragma once

#include <linux/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/files/share_modes.h"
#include "platform/posix/names/resolution_scope.h"
#include "platform/posix/system/handle_table.h"
#include "platform/win32_base.h"

namespace kiln::platform {

class FileObject final : public KernelObject, public ScopeEndWork {
  public:
    void AtScopeEnd() override { EnsureFd(); }
    struct Params {
        int fd = -1;            // owned; O_PATH when no data access was asked for
        bool pathOnly = false;  // fd is an O_PATH descriptor
        // No descriptor yet (fd -1): the handle was opened for attributes
        // only in a request that changes nothing, from the stat the request
        // took by name; EnsureFd opens it when something needs one.
        int accessMode = -1;  // O_RDONLY, O_WRONLY or O_RDWR of fd; -1: ask the descriptor
        bool directory = false;
        bool symlink = false;  // opened with FILE_FLAG_OPEN_REPARSE_POINT on a link
        DWORD access = 0;      // granted access, generic rights mapped
        DWORD shareMode = 0;
        DWORD flags = 0;  // FILE_FLAG_* of CreateFileW
        dev_t device = 0;
        ino_t inode = 0;
        std::string name;             // final name at open: names starting with '.' are hidden
        DeleteOnClose deleteOnClose;  // set for FILE_FLAG_DELETE_ON_CLOSE
        // The directory the file was opened in: attribute queries look the
        // name up there (cheaper than a walk through /proc) while it still
        // leads to the same file.
        std::shared_ptr<const void> keepParent;
        SharedFd ownedParent;
        int parentFd = -1;
    };

    explicit FileObject(Params&& params);
    ~FileObject() override;

    // Usable with fstat/statx; for xattrs and ACLs of an O_PATH descriptor go
    // through ProcFdPath(Fd()). Always set on a file that LookupFile gave;
    // -1 on one from LookupFileWithoutFd that has not needed one yet.
    int Fd() const { return fd_.load(std::memory_order_acquire); }
    bool HasFd() const { return Fd() >= 0; }
    // Gives a handle opened without a descriptor its own (O_PATH, never
    // following a final link), opened by the name it was opened by in the
    // directory it was found in, if that name still leads to the object the
    // handle was opened on (device and inode); otherwise the object counts
    // as gone: false with ERROR_FILE_NOT_FOUND, and so on every later call.
    // True at once for a handle that has its descriptor.
    bool EnsureFd() const;
    bool IsPathOnly() const { return params_.pathOnly; }
    bool IsDirectory() const { return params_.directory; }
    bool IsSymlink() const { return params_.symlink; }
    DWORD GrantedAccess() const { return params_.access; }
    DWORD ShareMode() const { return params_.shareMode; }
    DWORD Flags() const { return params_.flags; }
    dev_t Device() const { return params_.device; }
    ino_t Inode() const { return params_.inode; }

    const std::string& Name() const { return params_.name; }
    int ParentFd() const { return params_.parentFd; }
    FileKey Key() const { return FileKey{params_.device, params_.inode}; }

    // A handle opened for attributes only is usually asked about its object
    // right away (by the same request that opened it): the stat taken at the
    // open answers for kOpenStatLifetime, so that no query repeats it. Such a
    // handle cannot change its object, and any change made through it drops
    // the stat; a change by someone else can go unseen for that long.
    static constexpr std::chrono::microseconds kOpenStatLifetime{1000};
    void KeepOpenStat(const struct statx& st, std::chrono::steady_clock::time_point taken) {
        openStat_ = st;
        openStatTaken_ = taken;
        openStatKept_.store(true, std::memory_order_release);
    }
    bool RecentOpenStat(struct statx* st) const {
        if (!openStatKept_.load(std::memory_order_acquire)) return false;
        // A handle still waiting for its descriptor is inside the request
        // that opened it (the request's end gives it one), so its stat answers
        // for as long as the request keeps what it looked at anyway: taking
        // the descriptor later could only find another object or none.
        const bool awaitingFd = !HasFd() && !lazyFailed_.load(std::memory_order_acquire);
        if (!awaitingFd && std::chrono::steady_clock::now() - openStatTaken_ >= kOpenStatLifetime)
            return false;
        *st = openStat_;
        return true;
    }
    void ForgetOpenStat() { openStatKept_.store(false, std::memory_order_release); }

    // The file pointer of synchronous ReadFile/WriteFile/SetFilePointer.
    // Windows keeps it per handle; so do we.
    std::mutex positionLock;
    LONGLONG position = 0;

    // Records the handle's share mode for every process (CreateFileW does
    // this once).
    bool AcquireShare();

    // Releases the share-table entry and the byte-range locks of the handle
    // and, for the last handle of a delete-on-close file, removes the file.
    void OnClose(bool lastHolder) override;

  private:
    void Release(bool lastHolder);

    Params params_;
    // params_.fd, or the descriptor EnsureFd opened later (under lazyLock_).
    mutable std::atomic<int> fd_;
    mutable std::mutex lazyLock_;
    mutable std::atomic<bool> lazyFailed_{false};  // written under lazyLock_
    // Written once before the handle is published (KeepOpenStat), then only read.
    struct statx openStat_ {};
    std::chrono::steady_clock::time_point openStatTaken_;
    std::atomic<bool> openStatKept_{false};
    // The descriptor that carries the handle's share mode to other processes:
    // the handle's own when it is open for reading, else one reopened for
    // reading (ownLockFd_), else none.
    int lockFd_ = -1;
    UniqueFd ownLockFd_;
    std::mutex closeLock_;
    bool shareRecorded_ = false;
    bool released_ = false;
};

// The file object behind a handle, with its descriptor (EnsureFd); null with
// ERROR_INVALID_HANDLE for anything else, or EnsureFd's error.
std::shared_ptr<FileObject> LookupFile(HANDLE handle);
// The same for a query that can be answered without a descriptor (the
// information and the security of a handle opened for attributes only); it
// calls EnsureFd itself where it needs one.
std::shared_ptr<FileObject> LookupFileWithoutFd(HANDLE handle);

}  // namespace kiln::platform
