// The wire side of sftp_bench_client: a server started on a pair of pipes,
// SFTP version 3 packets built and read, and a window of requests in flight
// whose replies are matched back to the work item that asked.
//
// Like the client, it stands alone (no kiln libraries) so that it shares no
// code, bugs or shortcuts with any server it measures. Every reply is checked;
// anything unexpected throws Failure, which ends the run.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sftp_bench {

// Packet types, status codes and flags of protocol version 3.
inline constexpr uint8_t kInit = 1, kVersion = 2, kOpen = 3, kClose = 4, kRead = 5, kWrite = 6,
                         kLstat = 7, kFstat = 8, kOpendir = 11, kReaddir = 12, kStat = 17,
                         kStatus = 101, kHandle = 102, kData = 103, kName = 104, kAttrs = 105,
                         kExtended = 200, kExtendedReply = 201;
inline constexpr uint32_t kFxOk = 0, kFxEof = 1;
inline constexpr uint32_t kOpenRead = 0x01, kOpenWrite = 0x02, kOpenCreat = 0x08, kOpenTrunc = 0x10;
inline constexpr uint32_t kAttrSize = 0x01, kAttrUidGid = 0x02, kAttrPermissions = 0x04,
                          kAttrTimes = 0x08, kAttrExtended = 0x80000000u;

// Replies larger than this are taken for a broken stream, not for data.
inline constexpr uint32_t kMaxReply = 64u << 20;
// Request ids carry the slot of the request in their low bits.
inline constexpr uint32_t kMaxWindow = 4096;

// What ends a run, with the exit status: 1 failure, 2 usage, 3 unsupported.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& what, int code = 1)
        : std::runtime_error(what), status(code) {}
    int status;
};
inline constexpr int kUsageError = 2, kUnsupported = 3;

// A failed system call, named and explained.
[[noreturn]] void Fatal(const std::string& what, int err);

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

// The server process and the two pipes to it.
class Connection {
  public:
    // Starts argv[0] with argv; the server's standard error stays ours.
    Connection(char** argv, uint32_t window, int timeoutSeconds);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    bool Has(std::string_view extension) const { return extensions_.count(std::string(extension)); }
    const std::set<std::string>& Extensions() const { return extensions_; }

    void Negotiate() {
        const uint8_t init[] = {0, 0, 0, 5, kInit, 0, 0, 0, 3};
        outBuf_.insert(outBuf_.end(), std::begin(init), std::end(init));
        versionPending_ = true;
        while (versionPending_) Pump(nullptr);
    }

    // Packet building: Begin, the fields, then End; the id names a slot.
    // Inline, as the work items call these once per request.
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
    void Shutdown();

  private:
    struct External {
        size_t pos;  // the point in outBuf_ that it follows
        const uint8_t* data;
        size_t len;
    };

    static std::string ExitText(int status);
    bool OutEmpty() const { return outHead_ == outBuf_.size() && externals_.empty(); }
    void Flush();
    void Consume(size_t n);
    std::string Exited();
    void Pump(Work* w);
    void ReadReplies(Work* w);
    void Compact(size_t need);
    void Dispatch(Work* w, const uint8_t* p, size_t len);

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
[[noreturn]] void Unexpected(const std::string& what, uint8_t type, Reader& in);

// Whether a reply is a status with this code.
inline bool IsStatus(uint8_t type, Reader in, uint32_t code) {
    return type == kStatus && in.U32() == code;
}

inline void ExpectOk(const std::string& what, uint8_t type, Reader& in) {
    if (!IsStatus(type, in, kFxOk)) Unexpected(what, type, in);
}

// Ends the request begun as p, sends it on its own and returns its reply,
// which must be of type want (for a status: OK).
std::vector<uint8_t> CallFor(Connection& c, Pending& p, uint8_t want, const std::string& what);

// OPEN or OPENDIR of a path; returns the handle.
std::string OpenHandle(Connection& c, uint8_t request, const std::string& path, uint32_t flags);

void CloseHandle(Connection& c, const std::string& handle, const std::string& path);

// STAT of a path or FSTAT of a handle; returns the size.
uint64_t SizeOf(Connection& c, uint8_t request, const std::string& pathOrHandle,
                const std::string& what);

// The largest read and write the server accepts, when it says so.
uint64_t LimitChunk(Connection& c, uint64_t chunk, bool forWrite);

}  // namespace sftp_bench
