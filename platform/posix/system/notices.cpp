// What the host is told of file systems, and how often.
#include "platform/posix/system/notices.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

namespace kiln::platform {

namespace {

struct Notices {
    std::mutex lock;
    std::function<void(FileSystemNotice, const std::string&)> handler;
    std::map<int, std::chrono::steady_clock::time_point> lastTold;  // by errno
};

Notices& TheNotices() {
    static Notices* notices = new Notices;  // never destroyed: told from any thread
    return *notices;
}

// A network file system's client answers ENOTCONN while its servers are out
// of reach, EBADFD for a file opened before a reconnection that it could not
// reopen (its locks were dropped meanwhile), and EIO for a failed disk or
// copies of a replicated file that disagree.
const char* StorageFailureText(int error) {
    switch (error) {
        case ENOTCONN:
            return "the file system does not answer (transport endpoint is not connected): its "
                   "storage servers, or the network to them, are down, or too few of them answer "
                   "for the volume's quorum; requests on it fail until they answer again";
        case EBADFD:
            return "a file open on the file system was lost when the connection to its storage "
                   "broke (file descriptor in bad state); requests through that handle fail "
                   "and the client must open the file again";
        case EIO:
            return "the file system reports an input/output error: a disk or storage server "
                   "under it failed, or the copies of a replicated file disagree; the request "
                   "failed; see the kernel's log and the storage's logs";
        default:
            return nullptr;
    }
}

}  // namespace

void TellHost(FileSystemNotice kind, const std::string& text) {
    Notices& notices = TheNotices();
    std::lock_guard guard(notices.lock);
    if (notices.handler) notices.handler(kind, text);
}

void TellIfStorageFailed(int error) {
    const char* text = StorageFailureText(error);
    if (!text) return;
    Notices& notices = TheNotices();
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard guard(notices.lock);
    if (!notices.handler) return;
    auto last = notices.lastTold.find(error);
    if (last != notices.lastTold.end() && now - last->second < std::chrono::minutes(1)) return;
    notices.lastTold[error] = now;
    notices.handler(FileSystemNotice::Failure, text);
}

void SetFileSystemNoticeHandler(
    std::function<void(FileSystemNotice kind, const std::string& text)> handler) {
    Notices& notices = TheNotices();
    std::lock_guard guard(notices.lock);
    notices.handler = std::move(handler);
}

}  // namespace kiln::platform
