// sftp_bench_client: a small pipelining SFTP (version 3) client that runs one
// work item against a server it starts itself on a pair of pipes, the way
// `sftp -D` does, and prints one machine-readable result line.
//
// It stands alone on purpose (no kiln libraries): the numbers it produces
// compare our server with other servers, so it must not share code, bugs or
// shortcuts with either side. Every reply is checked; anything unexpected
// ends the run with a message and a non-zero exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// Packet types, status codes and flags of protocol version 3.
constexpr uint8_t kInit = 1, kVersion = 2, kOpen = 3, kClose = 4, kRead = 5, kWrite = 6, kLstat = 7,
                  kFstat = 8, kOpendir = 11, kReaddir = 12, kStat = 17, kStatus = 101,
                  kHandle = 102, kData = 103, kName = 104, kAttrs = 105, kExtended = 200,
                  kExtendedReply = 201;
constexpr uint32_t kFxOk = 0, kFxEof = 1;
constexpr uint32_t kOpenRead = 0x01, kOpenWrite = 0x02, kOpenCreat = 0x08, kOpenTrunc = 0x10;
constexpr uint32_t kAttrSize = 0x01, kAttrUidGid = 0x02, kAttrPermissions = 0x04, kAttrTimes = 0x08,
                   kAttrExtended = 0x80000000u;

// Replies larger than this are taken for a broken stream, not for data.
constexpr uint32_t kMaxReply = 64u << 20;
// Request ids carry the slot of the request in their low bits.
constexpr uint32_t kMaxWindow = 4096;

// What ends a run, with the exit status: 1 failure, 2 usage, 3 unsupported.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& what, int code = 1)
        : std::runtime_error(what), status(code) {}
    int status;
};
constexpr int kUsageError = 2, kUnsupported = 3;

std::string StatusName(uint32_t code) {
    static const char* const names[] = {
        "OK",          "EOF",           "NO_SUCH_FILE",    "PERMISSION_DENIED", "FAILURE",
        "BAD_MESSAGE", "NO_CONNECTION", "CONNECTION_LOST", "OP_UNSUPPORTED"};
    return code < std::size(names) ? std::string("SSH_FX_") + names[code] : "status";
}

// Bounds-checked big-endian reader over one reply.
class Reader {
  public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint8_t U8() {
        Need(1);
        return p_[pos_++];
    }
    uint32_t U32() {
        Need(4);
        uint32_t v = (uint32_t{p_[pos_]} << 24) | (uint32_t{p_[pos_ + 1]} << 16) |
                     (uint32_t{p_[pos_ + 2]} << 8) | p_[pos_ + 3];
        pos_ += 4;
        return v;
    }
    uint64_t U64() {
        uint64_t hi = U32();
        return (hi << 32) | U32();
    }
    std::string_view String() {
        uint32_t len = U32();
        Need(len);
        std::string_view s(reinterpret_cast<const char*>(p_ + pos_), len);
        pos_ += len;
        return s;
    }
    std::string_view Rest() {
        std::string_view s(reinterpret_cast<const char*>(p_ + pos_), n_ - pos_);
        pos_ = n_;
        return s;
    }
    size_t Left() const { return n_ - pos_; }
    // Skips a version 3 attribute block; returns its size field (or ~0).
    uint64_t Attrs() {
        uint32_t flags = U32();
        uint64_t size = ~uint64_t{0};
        if (flags & kAttrSize) size = U64();
        if (flags & kAttrUidGid) U64();
        if (flags & kAttrPermissions) U32();
        if (flags & kAttrTimes) U64();
        if (flags & kAttrExtended)
            for (uint32_t n = U32(); n > 0; --n) String(), String();
        return size;
    }

  private:
    void Need(size_t k) const {
        if (n_ - pos_ < k) throw Failure("truncated reply from the server");
    }
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

// What one request in flight was for; the work item interprets the fields.
struct Pending {
    uint32_t id = 0;
    bool busy = false;
    bool sync = false;
    uint8_t type = 0;
    uint64_t tag = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
};

class Connection;

class Work {
  public:
    virtual ~Work() = default;
    virtual const char* Name() const = 0;
    // Untimed set-up, before the clock starts.
    virtual void Prepare(Connection&) {}
    // Timed; runs before the pipelined part.
    virtual void Start(Connection&) {}
    // Sends one request if there is one to send now.
    virtual bool Issue(Connection& c) = 0;
    virtual void OnReply(Connection& c, const Pending& p, uint8_t type, Reader& in) = 0;
    virtual bool Done() const = 0;
    // Timed; runs after the last pipelined reply.
    virtual void Finish(Connection&) {}
    virtual std::string Extra() const { return {}; }
    uint64_t ops = 0, bytes = 0;
};

[[noreturn]] void Fatal(const std::string& what, int err) {
    throw Failure(what + ": " + std::strerror(err));
}

// The server process and the two pipes to it.
class Connection {
  public:
    Connection(char** argv, uint32_t window, int timeoutSeconds)
        : window_(window), timeoutMs_(timeoutSeconds * 1000), slots_(kMaxWindow) {
        int toServer[2], fromServer[2];
        if (pipe2(toServer, O_CLOEXEC) != 0 || pipe2(fromServer, O_CLOEXEC) != 0)
            Fatal("pipe", errno);
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
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (pid_ > 0) {  // only on a failure path: do not leave the server behind
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
    }

    bool Has(std::string_view extension) const { return extensions_.count(std::string(extension)); }
    const std::set<std::string>& Extensions() const { return extensions_; }

    void Negotiate() {
        const uint8_t init[] = {0, 0, 0, 5, kInit, 0, 0, 0, 3};
        outBuf_.insert(outBuf_.end(), std::begin(init), std::end(init));
        versionPending_ = true;
        while (versionPending_) Pump(nullptr);
    }

    // Packet building: Begin, the fields, then End; the id names a slot.
    Pending& Begin(uint8_t type) {
        uint32_t slot = nextSlot_;
        for (uint32_t tries = 0; slots_[slot].busy; ++tries) {
            if (tries == kMaxWindow) throw Failure("too many requests in flight");
            slot = (slot + 1) % kMaxWindow;
        }
        nextSlot_ = (slot + 1) % kMaxWindow;
        Pending& p = slots_[slot];
        p = Pending{};
        p.busy = true;
        p.type = type;
        p.id = (sequence_++ * kMaxWindow) + slot;
        packetStart_ = outBuf_.size();
        packetExtra_ = 0;
        U32(0);
        outBuf_.push_back(type);
        U32(p.id);
        ++inFlight_;
        return p;
    }
    void U32(uint32_t v) {
        const uint8_t b[] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        outBuf_.insert(outBuf_.end(), b, b + 4);
    }
    void U64(uint64_t v) {
        U32(uint32_t(v >> 32));
        U32(uint32_t(v));
    }
    void String(std::string_view s) {
        U32(uint32_t(s.size()));
        outBuf_.insert(outBuf_.end(), s.begin(), s.end());
    }
    // Data sent straight from the caller's memory, which must outlive the send.
    void ExternalString(const uint8_t* p, size_t n) {
        U32(uint32_t(n));
        externals_.push_back({outBuf_.size(), p, n});
        packetExtra_ += n;
    }
    void End() {
        const uint64_t len = outBuf_.size() - packetStart_ - 4 + packetExtra_;
        for (int i = 0; i < 4; ++i) outBuf_[packetStart_ + i] = uint8_t(len >> (24 - 8 * i));
    }

    // Runs the work item until it is done and nothing is in flight.
    void Run(Work& w) {
        for (;;) {
            while (inFlight_ < window_ && w.Issue(*this)) {
            }
            if (inFlight_ == 0 && OutEmpty()) {
                if (w.Done()) return;
                throw Failure("internal error: the work item stalled");
            }
            Pump(&w);
        }
    }

    // One request on its own, outside the pipelined part; returns the reply.
    std::vector<uint8_t> Call(Pending& p, uint8_t& replyType) {
        p.sync = true;
        syncDone_ = false;
        while (!syncDone_) Pump(nullptr);
        replyType = syncType_;
        return syncReply_;
    }

    // Ends the session cleanly: the server must exit with status 0 at EOF.
    void Shutdown() {
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

  private:
    struct External {
        size_t pos;  // the point in outBuf_ that it follows
        const uint8_t* data;
        size_t len;
    };

    static std::string ExitText(int status) {
        if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }

    bool OutEmpty() const { return outHead_ == outBuf_.size() && externals_.empty(); }

    // Writes what the pipe takes now, in one writev over buffered headers and
    // external data.
    void Flush() {
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

    void Consume(size_t n) {
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
        while (!externals_.empty() && externals_.front().len == 0 &&
               externals_.front().pos == outHead_)
            externals_.pop_front();
    }

    // Why the pipe broke, if the server has gone or goes within a second.
    std::string Exited() {
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
    void Pump(Work* w) {
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

    void ReadReplies(Work* w) {
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
    void Compact(size_t need) {
        if (inStart_ > 0) {
            std::memmove(inBuf_.data(), inBuf_.data() + inStart_, inEnd_ - inStart_);
            inEnd_ -= inStart_;
            inStart_ = 0;
        }
        if (need + (256u << 10) > inBuf_.size()) inBuf_.resize(need + (1u << 20));
    }

    void Dispatch(Work* w, const uint8_t* p, size_t len) {
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

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    uint32_t window_;
    int timeoutMs_;
    std::vector<Pending> slots_;
    uint32_t nextSlot_ = 0, sequence_ = 0, inFlight_ = 0;
    std::vector<uint8_t> outBuf_;
    size_t outHead_ = 0, packetStart_ = 0, packetExtra_ = 0;
    std::deque<External> externals_;
    std::vector<uint8_t> inBuf_;
    size_t inStart_ = 0, inEnd_ = 0;
    std::set<std::string> extensions_;
    bool versionPending_ = false;
    bool syncDone_ = false;
    uint8_t syncType_ = 0;
    std::vector<uint8_t> syncReply_;
};

// An unexpected reply, described with the server's own status text.
[[noreturn]] void Unexpected(const std::string& what, uint8_t type, Reader& in) {
    if (type != kStatus) throw Failure(what + ": unexpected reply of type " + std::to_string(type));
    uint32_t code = in.U32();
    std::string text;
    if (in.Left() >= 4) text = std::string(in.String());
    throw Failure(what + ": server replied " + StatusName(code) + " (" + std::to_string(code) +
                  ") \"" + text + "\"");
}

// Whether a reply is a status with this code.
bool IsStatus(uint8_t type, Reader in, uint32_t code) {
    return type == kStatus && in.U32() == code;
}

void ExpectOk(const std::string& what, uint8_t type, Reader& in) {
    if (!IsStatus(type, in, kFxOk)) Unexpected(what, type, in);
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() || dir == "." ? name : dir + "/" + name;
}

// Ends the request begun as p, sends it on its own and returns its reply,
// which must be of type want (for a status: OK).
std::vector<uint8_t> CallFor(Connection& c, Pending& p, uint8_t want, const std::string& what) {
    c.End();
    uint8_t type = 0;
    std::vector<uint8_t> reply = c.Call(p, type);
    Reader in(reply.data(), reply.size());
    if (want == kStatus) ExpectOk(what, type, in);
    if (type != want) Unexpected(what, type, in);
    return reply;
}

// OPEN or OPENDIR of a path; returns the handle.
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

// STAT of a path or FSTAT of a handle; returns the size.
uint64_t SizeOf(Connection& c, uint8_t request, const std::string& pathOrHandle,
                const std::string& what) {
    Pending& p = c.Begin(request);
    c.String(pathOrHandle);
    std::vector<uint8_t> reply = CallFor(c, p, kAttrs, "stat " + what);
    uint64_t size = Reader(reply.data(), reply.size()).Attrs();
    if (size == ~uint64_t{0}) throw Failure("stat " + what + ": the server gave no size");
    return size;
}

// LSTAT of f0..fN-1 in a directory.
class StatWork : public Work {
  public:
    StatWork(std::string dir, uint64_t n) : dir_(std::move(dir)), n_(n) {}
    const char* Name() const override { return "stat"; }
    bool Issue(Connection& c) override {
        if (next_ == n_) return false;
        Pending& p = c.Begin(kLstat);
        p.tag = next_;
        c.String(Join(dir_, "f" + std::to_string(next_++)));
        c.End();
        return true;
    }
    void OnReply(Connection&, const Pending& p, uint8_t type, Reader& in) override {
        if (type != kAttrs)
            Unexpected("lstat " + Join(dir_, "f" + std::to_string(p.tag)), type, in);
        in.Attrs();
        ++ops;
    }
    bool Done() const override { return ops == n_; }

  private:
    std::string dir_;
    uint64_t n_, next_ = 0;
};

// OPENDIR, READDIR until EOF (several in flight on the one handle), CLOSE.
class ListWork : public Work {
  public:
    ListWork(std::string dir, uint64_t expected) : dir_(std::move(dir)), expected_(expected) {}
    const char* Name() const override { return "list"; }
    void Start(Connection& c) override { handle_ = OpenHandle(c, kOpendir, dir_, 0); }
    bool Issue(Connection& c) override {
        if (eof_) return false;
        c.Begin(kReaddir);
        c.String(handle_);
        c.End();
        return true;
    }
    void OnReply(Connection&, const Pending&, uint8_t type, Reader& in) override {
        if (type == kName) {
            for (uint32_t n = in.U32(); n > 0; --n) {
                std::string_view name = in.String();
                in.String();
                in.Attrs();
                if (name != "." && name != "..") ++ops;
            }
            return;
        }
        if (!IsStatus(type, in, kFxEof)) Unexpected("readdir " + dir_, type, in);
        eof_ = true;
    }
    bool Done() const override { return eof_; }
    void Finish(Connection& c) override {
        CloseHandle(c, handle_, dir_);
        if (ops != expected_)
            throw Failure("list " + dir_ + ": " + std::to_string(ops) + " entries, expected " +
                          std::to_string(expected_));
    }

  private:
    std::string dir_, handle_;
    uint64_t expected_;
    bool eof_ = false;
};

// Small files: OPEN, then WRITE and CLOSE sent together once the handle is
// known, with many files in flight at once.
class UploadWork : public Work {
  public:
    UploadWork(std::string dir, uint64_t n, uint64_t size)
        : dir_(std::move(dir)), n_(n), data_(size) {
        for (size_t i = 0; i < data_.size(); ++i) data_[i] = uint8_t(i * 131 + 7);
    }
    const char* Name() const override { return "upload"; }
    bool Issue(Connection& c) override {
        if (!ready_.empty()) {
            Open& f = ready_.front();
            if (!f.written && !data_.empty()) {
                Pending& p = c.Begin(kWrite);
                p.tag = f.index;
                c.String(f.handle);
                c.U64(0);
                c.ExternalString(data_.data(), data_.size());
                c.End();
                f.written = true;
                return true;
            }
            Pending& p = c.Begin(kClose);
            p.tag = f.index;
            c.String(f.handle);
            c.End();
            ready_.pop_front();
            return true;
        }
        if (next_ == n_) return false;
        Pending& p = c.Begin(kOpen);
        p.tag = next_;
        c.String(Join(dir_, "f" + std::to_string(next_++)));
        c.U32(kOpenWrite | kOpenCreat | kOpenTrunc);
        c.U32(0);
        c.End();
        return true;
    }
    void OnReply(Connection&, const Pending& p, uint8_t type, Reader& in) override {
        const std::string path = Join(dir_, "f" + std::to_string(p.tag));
        switch (p.type) {
            case kOpen:
                if (type != kHandle) Unexpected("open " + path, type, in);
                ready_.push_back({std::string(in.String()), p.tag, false});
                return;
            case kWrite:
                ExpectOk("write " + path, type, in);
                bytes += data_.size();
                return;
            default:
                ExpectOk("close " + path, type, in);
                ++ops;
        }
    }
    bool Done() const override { return ops == n_; }

  private:
    struct Open {
        std::string handle;
        uint64_t index;
        bool written;
    };
    std::string dir_;
    uint64_t n_, next_ = 0;
    std::vector<uint8_t> data_;
    std::deque<Open> ready_;
};

// check-file-name over a whole file, one hash (block size 0).
class HashWork : public Work {
  public:
    HashWork(std::string file, std::string algorithms)
        : file_(std::move(file)), algorithms_(std::move(algorithms)) {}
    const char* Name() const override { return "hash"; }
    void Prepare(Connection& c) override {
        if (!c.Has("check-file-name"))
            throw Failure("the server does not advertise check-file-name", kUnsupported);
        size_ = SizeOf(c, kStat, file_, file_);
    }
    bool Issue(Connection& c) override {
        if (sent_) return false;
        c.Begin(kExtended);
        c.String("check-file-name");
        c.String(file_);
        c.String(algorithms_);
        c.U64(0);  // from the start
        c.U64(0);  // to the end
        c.U32(0);  // one hash over the whole range
        c.End();
        sent_ = true;
        return true;
    }
    void OnReply(Connection&, const Pending&, uint8_t type, Reader& in) override {
        if (type != kExtendedReply) Unexpected("check-file-name " + file_, type, in);
        if (in.String() != "check-file")
            throw Failure("check-file-name " + file_ + ": reply is not a \"check-file\" reply");
        algorithm_ = std::string(in.String());
        std::string_view hash = in.Rest();
        if (hash.empty()) throw Failure("check-file-name " + file_ + ": reply holds no hash");
        static const char digits[] = "0123456789abcdef";
        for (unsigned char ch : hash) hex_ += {digits[ch >> 4], digits[ch & 15]};
        ops = 1;
        bytes = size_;
    }
    bool Done() const override { return ops == 1; }
    std::string Extra() const override { return " alg=" + algorithm_ + " hash=" + hex_; }

  private:
    std::string file_, algorithms_, algorithm_, hex_;
    uint64_t size_ = 0;
    bool sent_ = false;
};

// The largest read and write the server accepts, when it says so.
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

// A whole file read with many READs in flight; short reads are re-asked.
class GetWork : public Work {
  public:
    GetWork(std::string remote, std::string local, uint64_t chunk)
        : remote_(std::move(remote)), local_(std::move(local)), chunk_(chunk) {}
    ~GetWork() override {
        if (fd_ >= 0) close(fd_);
    }
    const char* Name() const override { return "get"; }
    void Prepare(Connection& c) override {
        chunk_ = LimitChunk(c, chunk_, false);
        if (local_.empty()) return;
        fd_ = open(local_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) Fatal("open " + local_, errno);
    }
    void Start(Connection& c) override {
        handle_ = OpenHandle(c, kOpen, remote_, kOpenRead);
        size_ = SizeOf(c, kFstat, handle_, remote_);
    }
    bool Issue(Connection& c) override {
        uint64_t offset, length;
        if (!gaps_.empty()) {
            std::tie(offset, length) = gaps_.front();
            gaps_.pop_front();
        } else if (next_ < size_) {
            offset = next_;
            length = std::min(chunk_, size_ - next_);
            next_ += length;
        } else {
            return false;
        }
        Pending& p = c.Begin(kRead);
        p.offset = offset;
        p.length = length;
        c.String(handle_);
        c.U64(offset);
        c.U32(uint32_t(length));
        c.End();
        return true;
    }
    void OnReply(Connection&, const Pending& p, uint8_t type, Reader& in) override {
        if (type != kData) {
            if (IsStatus(type, in, kFxEof))
                throw Failure("read " + remote_ + ": end of file at " + std::to_string(p.offset) +
                              ", before its size " + std::to_string(size_));
            Unexpected("read " + remote_, type, in);
        }
        std::string_view data = in.String();
        if (data.empty() || data.size() > p.length)
            throw Failure("read " + remote_ + ": " + std::to_string(data.size()) +
                          " bytes in answer to " + std::to_string(p.length));
        if (data.size() < p.length)
            gaps_.emplace_back(p.offset + data.size(), p.length - data.size());
        if (fd_ >= 0 &&
            pwrite(fd_, data.data(), data.size(), off_t(p.offset)) != ssize_t(data.size()))
            Fatal("write " + local_, errno ? errno : EIO);
        bytes += data.size();
    }
    bool Done() const override { return bytes == size_ && gaps_.empty(); }
    void Finish(Connection& c) override {
        CloseHandle(c, handle_, remote_);
        ops = 1;
    }

  private:
    std::string remote_, local_, handle_;
    uint64_t chunk_, size_ = 0, next_ = 0;
    std::deque<std::pair<uint64_t, uint64_t>> gaps_;
    int fd_ = -1;
};

// A whole local file written with many WRITEs in flight, straight from a
// mapping of the file.
class PutWork : public Work {
  public:
    PutWork(std::string local, std::string remote, uint64_t chunk)
        : local_(std::move(local)), remote_(std::move(remote)), chunk_(chunk) {}
    ~PutWork() override {
        if (map_ != MAP_FAILED && size_ > 0) munmap(map_, size_);
    }
    const char* Name() const override { return "put"; }
    void Prepare(Connection& c) override {
        chunk_ = LimitChunk(c, chunk_, true);
        int fd = open(local_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) Fatal("open " + local_, errno);
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            int err = errno;
            close(fd);
            Fatal("stat " + local_, err);
        }
        size_ = uint64_t(st.st_size);
        if (size_ > 0) map_ = mmap(nullptr, size_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        int err = errno;
        close(fd);
        if (size_ > 0 && map_ == MAP_FAILED) Fatal("mmap " + local_, err);
    }
    void Start(Connection& c) override {
        handle_ = OpenHandle(c, kOpen, remote_, kOpenWrite | kOpenCreat | kOpenTrunc);
    }
    bool Issue(Connection& c) override {
        if (next_ == size_) return false;
        const uint64_t length = std::min(chunk_, size_ - next_);
        Pending& p = c.Begin(kWrite);
        p.offset = next_;
        p.length = length;
        c.String(handle_);
        c.U64(next_);
        c.ExternalString(static_cast<const uint8_t*>(map_) + next_, length);
        c.End();
        next_ += length;
        return true;
    }
    void OnReply(Connection&, const Pending& p, uint8_t type, Reader& in) override {
        ExpectOk("write " + remote_ + " at " + std::to_string(p.offset), type, in);
        bytes += p.length;
    }
    bool Done() const override { return bytes == size_; }
    void Finish(Connection& c) override {
        CloseHandle(c, handle_, remote_);
        ops = 1;
    }

  private:
    std::string local_, remote_, handle_;
    uint64_t chunk_, size_ = 0, next_ = 0;
    void* map_ = MAP_FAILED;
};

const char kUsage[] =
    "usage: sftp_bench_client [-w WINDOW] [-b CHUNK] [-t SECONDS] [-v] ITEM ARGS... -- SERVER "
    "[ARGS...]\n"
    "Starts SERVER (an SFTP server on standard input/output), negotiates version 3 and runs\n"
    "one work item with up to WINDOW requests in flight (default 64). Prints one line:\n"
    "  item=NAME ops=N bytes=N seconds=S client_cpu=S server_cpu=S [alg=A hash=HEX]\n"
    "Items:\n"
    "  stat DIR N             LSTAT of DIR/f0 .. DIR/f<N-1>; ops = N\n"
    "  list DIR COUNT         OPENDIR, READDIR to EOF, CLOSE; the entries other than . and ..\n"
    "                         must number COUNT; ops = entries\n"
    "  upload DIR [N [SIZE]]  N files DIR/f0.. of SIZE bytes (default 10000 of 4096): OPEN,\n"
    "                         WRITE, CLOSE each, many files in flight; ops = files\n"
    "  hash FILE [ALGS]       check-file-name over the whole file (default sha256); exits 3\n"
    "                         printing \"unsupported\" when the server does not offer it\n"
    "  get REMOTE [LOCAL]     read REMOTE in CHUNK-byte READs (default 131072); LOCAL keeps it\n"
    "  put LOCAL REMOTE       write LOCAL to REMOTE in CHUNK-byte WRITEs\n"
    "Options: -t SECONDS without any reply ends the run (default 300); -v lists the\n"
    "extensions the server advertises on standard error.\n"
    "Exit status: 0 done, 1 failure, 2 usage, 3 unsupported.\n";

[[noreturn]] void UsageError(const std::string& what) {
    throw Failure(what, kUsageError);
}

uint64_t Number(const char* text, const char* what, uint64_t min, uint64_t max) {
    uint64_t v = 0;
    const char* end = text + std::strlen(text);
    auto [ptr, ec] = std::from_chars(text, end, v);
    if (ec != std::errc() || ptr != end || v < min || v > max)
        UsageError(std::string("bad ") + what + " \"" + text + "\"");
    return v;
}

std::unique_ptr<Work> MakeWork(const std::vector<std::string>& a, uint64_t chunk) {
    auto need = [&a](size_t lo, size_t hi) {
        if (a.size() < lo || a.size() > hi) UsageError("wrong number of arguments for " + a[0]);
    };
    const std::string& item = a.empty() ? std::string() : a[0];
    if (item == "stat") {
        need(3, 3);
        return std::make_unique<StatWork>(a[1], Number(a[2].c_str(), "count", 1, UINT32_MAX));
    }
    if (item == "list") {
        need(3, 3);
        return std::make_unique<ListWork>(a[1], Number(a[2].c_str(), "count", 0, UINT32_MAX));
    }
    if (item == "upload") {
        need(2, 4);
        uint64_t n = a.size() > 2 ? Number(a[2].c_str(), "count", 1, UINT32_MAX) : 10000;
        uint64_t size = a.size() > 3 ? Number(a[3].c_str(), "size", 0, 1u << 20) : 4096;
        return std::make_unique<UploadWork>(a[1], n, size);
    }
    if (item == "hash") {
        need(2, 3);
        return std::make_unique<HashWork>(a[1], a.size() > 2 ? a[2] : "sha256");
    }
    if (item == "get") {
        need(2, 3);
        return std::make_unique<GetWork>(a[1], a.size() > 2 ? a[2] : "", chunk);
    }
    if (item == "put") {
        need(3, 3);
        return std::make_unique<PutWork>(a[1], a[2], chunk);
    }
    UsageError(item.empty() ? "no work item" : "unknown work item \"" + item + "\"");
}

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    auto secs = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(u.ru_utime) + secs(u.ru_stime);
}

int Main(int argc, char** argv) {
    uint64_t window = 64, chunk = 131072, timeout = 300;
    bool verbose = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string opt = argv[i];
        if (opt == "-v") {
            verbose = true;
            continue;
        }
        if (opt == "-h" || opt == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) UsageError("option " + opt + " needs a value");
        const char* value = argv[++i];
        if (opt == "-w")
            window = Number(value, "window", 1, kMaxWindow);
        else if (opt == "-b")
            chunk = Number(value, "chunk size", 1, 16u << 20);
        else if (opt == "-t")
            timeout = Number(value, "timeout", 1, 86400);
        else
            UsageError("unknown option " + opt);
    }
    std::vector<std::string> args;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) args.push_back(argv[i]);
    if (i + 1 >= argc) UsageError("no server command after --");
    std::unique_ptr<Work> work = MakeWork(args, chunk);

    signal(SIGPIPE, SIG_IGN);
    Connection c(argv + i + 1, uint32_t(window), int(timeout));
    c.Negotiate();
    if (verbose)
        for (const std::string& e : c.Extensions())
            std::fprintf(stderr, "extension %s\n", e.c_str());
    work->Prepare(c);
    const auto start = std::chrono::steady_clock::now();
    work->Start(c);
    c.Run(*work);
    work->Finish(c);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    c.Shutdown();
    // Processor time of each side tells whether the client held the server back.
    std::printf("item=%s ops=%llu bytes=%llu seconds=%.6f client_cpu=%.3f server_cpu=%.3f%s\n",
                work->Name(), static_cast<unsigned long long>(work->ops),
                static_cast<unsigned long long>(work->bytes), seconds.count(),
                CpuSeconds(RUSAGE_SELF), CpuSeconds(RUSAGE_CHILDREN), work->Extra().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const Failure& e) {
        if (e.status == kUsageError) {
            std::fprintf(stderr, "sftp_bench_client: %s\n%.*s(-h for help)\n", e.what(),
                         int(std::strchr(kUsage, '\n') - kUsage + 1), kUsage);
        } else if (e.status == kUnsupported) {
            std::printf("unsupported\n");
            std::fprintf(stderr, "sftp_bench_client: %s\n", e.what());
        } else {
            std::fprintf(stderr, "sftp_bench_client: error: %s\n", e.what());
        }
        return e.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sftp_bench_client: error: %s\n", e.what());
        return 1;
    }
}
