// sftp_bench_client: a small pipelining SFTP (version 3) client that runs one
// work item against a server it starts itself on a pair of pipes, the way
// `sftp -D` does, and prints one machine-readable result line.
//
// It stands alone on purpose (no kiln libraries): the numbers it produces
// compare our server with other servers, so it must not share code, bugs or
// shortcuts with either side. Every reply is checked; anything unexpected
// ends the run with a message and a non-zero exit status. The talk with the
// server lives in sftp_bench_wire; this file holds what is asked of it.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "sftp_bench_wire.h"

namespace sftp_bench {
namespace {

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() || dir == "." ? name : dir + "/" + name;
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
    UploadWork(std::string dir, uint64_t n, uint64_t size, std::optional<uint32_t> mode)
        : dir_(std::move(dir)), n_(n), data_(size), mode_(mode) {
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
        c.U32(mode_ ? kAttrPermissions : 0);
        if (mode_) c.U32(*mode_);
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
    std::optional<uint32_t> mode_;
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
    "  upload DIR [N [SIZE [MODE]]]  N files DIR/f0.. of SIZE bytes (default 10000 of 4096):\n"
    "                         OPEN (with the octal MODE as its permissions, as sftp put\n"
    "                         does, when given), WRITE, CLOSE each, many files in flight;\n"
    "                         ops = files\n"
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
        need(2, 5);
        uint64_t n = a.size() > 2 ? Number(a[2].c_str(), "count", 1, UINT32_MAX) : 10000;
        uint64_t size = a.size() > 3 ? Number(a[3].c_str(), "size", 0, 1u << 20) : 4096;
        std::optional<uint32_t> mode;
        if (a.size() > 4) {
            char* end = nullptr;
            unsigned long m = std::strtoul(a[4].c_str(), &end, 8);
            if (a[4].empty() || *end != '\0' || m > 07777) UsageError("bad mode \"" + a[4] + "\"");
            mode = uint32_t(m);
        }
        return std::make_unique<UploadWork>(a[1], n, size, mode);
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
}  // namespace sftp_bench

int main(int argc, char** argv) {
    using sftp_bench::Failure, sftp_bench::kUsage, sftp_bench::kUsageError,
        sftp_bench::kUnsupported;
    try {
        return sftp_bench::Main(argc, argv);
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
