#include "sftp_bench_wire.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace sftp_bench {

namespace {

std::string StatusName(uint32_t code) {
    static const char* const names[] = {
        "OK",          "EOF",           "NO_SUCH_FILE",    "PERMISSION_DENIED", "FAILURE",
        "BAD_MESSAGE", "NO_CONNECTION", "CONNECTION_LOST", "OP_UNSUPPORTED"};
    return code < std::size(names) ? std::string("SSH_FX_") + names[code] : "status";
}

}  // namespace

[[noreturn]] void Fatal(const std::string& what, int err) {
    throw Failure(what + ": " + std::strerror(err));
}

Connection::Connection(char** argv, uint32_t window, int timeoutSeconds)
    : window_(window), timeoutMs_(timeoutSeconds * 1000), slots_(kMaxWindow) {
    int toServer[2], fromServer[2];
    if (pipe2(toServer, O_CLOEXEC) != 0 || pipe2(fromServer, O_CLOEXEC) != 0) Fatal("pipe", errno);
    pid_ = fork();
    if (pid_ < 0) Fatal("fork", errno);
    if (pid_ == 0) {
        dup2(toServer[0], 0);
        dup2(fromServer[1], 1);
        execvp(argv[0], argv);
        std::fprintf(stderr, "sftp_bench_client: cannot run %s: %s\n", argv[0],
                     std::strerror(errno));
        _exit(127);
    }
    close(toServer[0]);
    close(fromServer[1]);
    out_ = toServer[1];
    in_ = fromServer[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(in_, F_SETFL, O_NONBLOCK);
    inBuf_.resize(4u << 20);
    outBuf_.reserve(1u << 20);
}

Connection::~Connection() {
    if (pid_ > 0) {  // only on a failure path: do not leave the server behind
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
}

void Connection::Shutdown() {
    close(out_);
    out_ = -1;
    int status = 0;
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0) Fatal("waitpid", errno);
        if (waited >= 10000) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            throw Failure("the server did not exit within 10 s of the end of its input");
        }
        usleep(10000);
    }
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure("the server ended with " + ExitText(status) + " after a clean session");
}

std::string Connection::ExitText(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

// Writes what the pipe takes now, in one writev over buffered headers and
// external data.
void Connection::Flush() {
    while (!OutEmpty()) {
        iovec iov[64];
        int n = 0;
        size_t cursor = outHead_;
        for (size_t i = 0; i < externals_.size() && n < 62; ++i) {
            const External& e = externals_[i];
            if (e.pos > cursor) iov[n++] = {outBuf_.data() + cursor, e.pos - cursor};
            iov[n++] = {const_cast<uint8_t*>(e.data), e.len};
            cursor = e.pos;
        }
        if (n < 62 && cursor < outBuf_.size())
            iov[n++] = {outBuf_.data() + cursor, outBuf_.size() - cursor};
        ssize_t written = writev(out_, iov, n);
        if (written < 0) {
            if (errno == EAGAIN) return;
            if (errno == EINTR) continue;
            if (errno == EPIPE) throw Failure("the server closed its input" + Exited());
            Fatal("write to the server", errno);
        }
        Consume(size_t(written));
    }
    outBuf_.clear();
    outHead_ = 0;
}

void Connection::Consume(size_t n) {
    while (n > 0) {
        size_t limit = externals_.empty() ? outBuf_.size() : externals_.front().pos;
        size_t k = std::min(n, limit - outHead_);
        outHead_ += k;
        n -= k;
        if (n == 0 || externals_.empty()) break;
        External& e = externals_.front();
        k = std::min(n, e.len);
        e.data += k;
        e.len -= k;
        n -= k;
        if (e.len == 0) externals_.pop_front();
    }
    while (!externals_.empty() && externals_.front().len == 0 && externals_.front().pos == outHead_)
        externals_.pop_front();
}

// Why the pipe broke, if the server has gone or goes within a second.
std::string Connection::Exited() {
    int status = 0;
    for (int waited = 0; pid_ > 0 && waited < 1000; waited += 10) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return " (it ended with " + ExitText(status) + ")";
        }
        usleep(10000);
    }
    return "";
}

// Sends, waits for readiness, reads and dispatches whatever has arrived.
void Connection::Pump(Work* w) {
    Flush();
    pollfd fds[2] = {{in_, POLLIN, 0}, {out_, short(OutEmpty() ? 0 : POLLOUT), 0}};
    int r = poll(fds, 2, timeoutMs_);
    if (r < 0) {
        if (errno == EINTR) return;
        Fatal("poll", errno);
    }
    if (r == 0)
        throw Failure("no reply from the server for " + std::to_string(timeoutMs_ / 1000) +
                      " s with " + std::to_string(inFlight_) + " requests in flight");
    // Replies first: a server that gives up usually says why before it goes.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) ReadReplies(w);
    if (fds[1].revents & POLLERR) throw Failure("the server closed its input" + Exited());
}

void Connection::ReadReplies(Work* w) {
    if (inBuf_.size() - inEnd_ < (256u << 10)) Compact(0);
    ssize_t n = read(in_, inBuf_.data() + inEnd_, inBuf_.size() - inEnd_);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        Fatal("read from the server", errno);
    }
    if (n == 0) throw Failure("the server closed the connection" + Exited());
    inEnd_ += size_t(n);
    while (inEnd_ - inStart_ >= 4) {
        const uint8_t* p = inBuf_.data() + inStart_;
        uint32_t len =
            (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        if (len == 0 || len > kMaxReply)
            throw Failure("reply of bad length " + std::to_string(len) + " from the server");
        if (inEnd_ - inStart_ < 4 + size_t{len}) {
            Compact(4 + size_t{len});
            break;
        }
        Dispatch(w, p + 4, len);
        inStart_ += 4 + size_t{len};
    }
    if (inStart_ == inEnd_) inStart_ = inEnd_ = 0;
}

// Moves a partial reply to the front, growing the buffer for a large one.
void Connection::Compact(size_t need) {
    if (inStart_ > 0) {
        std::memmove(inBuf_.data(), inBuf_.data() + inStart_, inEnd_ - inStart_);
        inEnd_ -= inStart_;
        inStart_ = 0;
    }
    if (need + (256u << 10) > inBuf_.size()) inBuf_.resize(need + (1u << 20));
}

void Connection::Dispatch(Work* w, const uint8_t* p, size_t len) {
    Reader in(p, len);
    const uint8_t type = in.U8();
    if (type == kVersion) {
        if (!versionPending_) throw Failure("unexpected SSH_FXP_VERSION from the server");
        const uint32_t version = in.U32();
        if (version != 3)
            throw Failure("the server offered version " + std::to_string(version) +
                          " in answer to version 3");
        while (in.Left() > 0) {
            std::string_view name = in.String();
            in.String();
            extensions_.insert(std::string(name));
        }
        versionPending_ = false;
        return;
    }
    const uint32_t id = in.U32();
    Pending& slot = slots_[id % kMaxWindow];
    if (!slot.busy || slot.id != id)
        throw Failure("reply (type " + std::to_string(type) + ") to unknown request id " +
                      std::to_string(id));
    slot.busy = false;
    --inFlight_;
    if (slot.sync) {
        syncType_ = type;
        syncReply_.assign(p + 5, p + len);
        syncDone_ = true;
        return;
    }
    if (!w) throw Failure("reply outside of a work item");
    w->OnReply(*this, slot, type, in);
}

[[noreturn]] void Unexpected(const std::string& what, uint8_t type, Reader& in) {
    if (type != kStatus) throw Failure(what + ": unexpected reply of type " + std::to_string(type));
    uint32_t code = in.U32();
    std::string text;
    if (in.Left() >= 4) text = std::string(in.String());
    throw Failure(what + ": server replied " + StatusName(code) + " (" + std::to_string(code) +
                  ") \"" + text + "\"");
}

std::vector<uint8_t> CallFor(Connection& c, Pending& p, uint8_t want, const std::string& what) {
    c.End();
    uint8_t type = 0;
    std::vector<uint8_t> reply = c.Call(p, type);
    Reader in(reply.data(), reply.size());
    if (want == kStatus) ExpectOk(what, type, in);
    if (type != want) Unexpected(what, type, in);
    return reply;
}

std::string OpenHandle(Connection& c, uint8_t request, const std::string& path, uint32_t flags) {
    Pending& p = c.Begin(request);
    c.String(path);
    if (request == kOpen) {
        c.U32(flags);
        c.U32(0);  // no attributes
    }
    std::vector<uint8_t> reply = CallFor(c, p, kHandle, "open " + path);
    return std::string(Reader(reply.data(), reply.size()).String());
}

void CloseHandle(Connection& c, const std::string& handle, const std::string& path) {
    Pending& p = c.Begin(kClose);
    c.String(handle);
    CallFor(c, p, kStatus, "close " + path);
}

uint64_t SizeOf(Connection& c, uint8_t request, const std::string& pathOrHandle,
                const std::string& what) {
    Pending& p = c.Begin(request);
    c.String(pathOrHandle);
    std::vector<uint8_t> reply = CallFor(c, p, kAttrs, "stat " + what);
    uint64_t size = Reader(reply.data(), reply.size()).Attrs();
    if (size == ~uint64_t{0}) throw Failure("stat " + what + ": the server gave no size");
    return size;
}

uint64_t LimitChunk(Connection& c, uint64_t chunk, bool forWrite) {
    if (!c.Has("limits@openssh.com")) return chunk;
    Pending& p = c.Begin(kExtended);
    c.String("limits@openssh.com");
    std::vector<uint8_t> reply = CallFor(c, p, kExtendedReply, "limits@openssh.com");
    Reader in(reply.data(), reply.size());
    in.U64();  // packet length
    const uint64_t maxRead = in.U64(), maxWrite = in.U64();
    const uint64_t limit = forWrite ? maxWrite : maxRead;
    if (limit != 0 && limit < chunk) {
        std::fprintf(stderr, "sftp_bench_client: the server limits %s to %llu bytes\n",
                     forWrite ? "writes" : "reads", static_cast<unsigned long long>(limit));
        return limit;
    }
    return chunk;
}

}  // namespace sftp_bench
