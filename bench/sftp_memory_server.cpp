// sftp_memory_server: an SFTP version 3 server on standard input/output that
// touches no file system. Names live in memory with a size each; WRITE only
// moves the size, READ answers a fixed pattern up to it. compare-servers runs
// it beside the real servers as the limit of the client and the pipe: what
// no server that stores bytes could beat on this machine.
//
// It stands alone like sftp_bench_client (no kiln libraries) and borrows only
// the wire constants and the bounds-checked reader of sftp_bench_wire.h. It is
// single-threaded and built for speed: one large read takes every packet the
// pipe holds, the replies to all of them leave in one writev, and READ data
// is sent straight from a static buffer.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sftp_bench_wire.h"

namespace sftp_memory {
namespace {

using namespace sftp_bench;  // the packet types, status codes and flags, Reader, Failure

inline constexpr uint8_t kSetstat = 9, kFsetstat = 10, kRemove = 13, kMkdir = 14, kRmdir = 15,
                         kRealpath = 16, kRename = 18;
inline constexpr uint32_t kFxNoSuchFile = 2, kFxFailure = 4, kFxBadMessage = 5,
                          kFxOpUnsupported = 8;
inline constexpr uint32_t kOpenExcl = 0x20;

// The limits OpenSSH's sftp-server advertises, so that a client sizes its
// requests alike for both.
inline constexpr uint32_t kMaxPacket = 256 * 1024;
inline constexpr uint32_t kMaxData = kMaxPacket - 1024;
inline constexpr uint32_t kMaxHandles = 16384;
// Entries per NAME reply, as OpenSSH's sftp-server sends them.
inline constexpr size_t kNamesPerReply = 100;
// A whole 1 MiB pipe per read.
inline constexpr size_t kInputBuffer = 1u << 20;

struct Node {
    bool dir = false;
    uint64_t size = 0;
    uint32_t perm = 0644;
    uint32_t mtime = 0;
    std::unordered_map<std::string, std::shared_ptr<Node>> children;
};

// One directory entry as OPENDIR saw it, so that later changes to the
// directory do not disturb a listing in progress.
struct Entry {
    std::string name;
    bool dir;
    uint64_t size;
    uint32_t perm, mtime;
};

struct Handle {
    std::shared_ptr<Node> node;  // null: the slot is free
    std::vector<Entry> entries;  // directories only
    size_t next = 0;
};

struct Attrs {
    std::optional<uint64_t> size;
    std::optional<uint32_t> perm;
    std::optional<uint32_t> mtime;
};

Attrs ReadAttrs(Reader& in) {
    Attrs a;
    const uint32_t flags = in.U32();
    if (flags & kAttrSize) a.size = in.U64();
    if (flags & kAttrUidGid) in.U64();
    if (flags & kAttrPermissions) a.perm = in.U32() & 07777;
    if (flags & kAttrTimes) {
        in.U32();  // atime
        a.mtime = in.U32();
    }
    if (flags & kAttrExtended)
        for (uint32_t n = in.U32(); n > 0; --n) in.String(), in.String();
    return a;
}

uint32_t Now() {
    return uint32_t(std::time(nullptr));
}

// Splits a path into its components, "." and ".." resolved; relative paths
// start at the root, which is the only directory a session starts in.
std::vector<std::string_view> Split(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return parts;
}

// Replies, gathered for one writev per batch of requests. READ data is not
// copied: the buffer records where a slice of the pattern follows.
class Output {
  public:
    Output() { buf_.reserve(1u << 20); }
    void U8(uint8_t v) { buf_.push_back(v); }
    void U32(uint32_t v) {
        const uint8_t b[] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        buf_.insert(buf_.end(), b, b + 4);
    }
    void U64(uint64_t v) {
        U32(uint32_t(v >> 32));
        U32(uint32_t(v));
    }
    void String(std::string_view s) {
        U32(uint32_t(s.size()));
        buf_.insert(buf_.end(), s.begin(), s.end());
    }
    // A reply: Begin, its fields, End.
    void Begin(uint8_t type, uint32_t id) {
        start_ = buf_.size();
        extra_ = 0;
        U32(0);
        U8(type);
        U32(id);
    }
    void BeginNoId(uint8_t type) {
        start_ = buf_.size();
        extra_ = 0;
        U32(0);
        U8(type);
    }
    void External(const uint8_t* p, size_t n) {
        U32(uint32_t(n));
        externals_.push_back({buf_.size(), p, n});
        extra_ += n;
    }
    void End() {
        const uint64_t len = buf_.size() - start_ - 4 + extra_;
        for (int i = 0; i < 4; ++i) buf_[start_ + i] = uint8_t(len >> (24 - 8 * i));
    }
    // Writes everything gathered; false when the other side has gone.
    bool Flush();

  private:
    struct Slice {
        size_t pos;  // the point in buf_ that it follows
        const uint8_t* data;
        size_t len;
    };
    std::vector<uint8_t> buf_;
    std::vector<Slice> externals_;
    std::vector<iovec> iov_;
    size_t start_ = 0, extra_ = 0;
};

bool Output::Flush() {
    iov_.clear();
    size_t pos = 0;
    for (const Slice& s : externals_) {
        if (s.pos > pos) iov_.push_back({buf_.data() + pos, s.pos - pos});
        iov_.push_back({const_cast<uint8_t*>(s.data), s.len});
        pos = s.pos;
    }
    if (buf_.size() > pos) iov_.push_back({buf_.data() + pos, buf_.size() - pos});
    size_t first = 0;
    while (first < iov_.size()) {
        const int count = int(std::min<size_t>(iov_.size() - first, IOV_MAX));
        const ssize_t n = writev(STDOUT_FILENO, iov_.data() + first, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // Skips what went out; a partial write leaves the rest of one vector.
        size_t done = size_t(n);
        while (first < iov_.size() && done >= iov_[first].iov_len) done -= iov_[first++].iov_len;
        if (done > 0) {
            iov_[first].iov_base = static_cast<uint8_t*>(iov_[first].iov_base) + done;
            iov_[first].iov_len -= done;
        }
    }
    buf_.clear();
    externals_.clear();
    return true;
}

class Server {
  public:
    Server() : root_(std::make_shared<Node>()) {
        root_->dir = true;
        root_->perm = 0755;
        root_->mtime = Now();
        for (size_t i = 0; i < kMaxData; ++i) pattern_[i] = uint8_t(i * 131 + 7);
    }

    // Start-up: a directory (and its parents) with count files f0.. of size 0.
    void AddDir(std::string_view path, uint64_t count) {
        Node* dir = MakeParents(Split(path));
        dir->children.reserve(dir->children.size() + count);
        for (uint64_t i = 0; i < count; ++i) AddFile(dir, "f" + std::to_string(i));
    }
    void AddFile(std::string_view path, uint64_t size) {
        std::vector<std::string_view> parts = Split(path);
        if (parts.empty()) throw Failure("--file needs a name", kUsageError);
        const std::string_view name = parts.back();
        parts.pop_back();
        AddFile(MakeParents(parts), std::string(name))->size = size;
    }

    // Handles one packet; its length is known to fit.
    void Dispatch(const uint8_t* p, size_t len);
    Output& Out() { return out_; }

  private:
    Node* MakeParents(const std::vector<std::string_view>& parts) {
        Node* dir = root_.get();
        for (std::string_view part : parts) {
            std::shared_ptr<Node>& child = dir->children[std::string(part)];
            if (!child) child = NewNode(true, 0755);
            if (!child->dir) throw Failure(std::string(part) + " is a file", kUsageError);
            dir = child.get();
        }
        return dir;
    }
    static std::shared_ptr<Node> NewNode(bool dir, uint32_t perm) {
        auto n = std::make_shared<Node>();
        n->dir = dir;
        n->perm = perm;
        n->mtime = Now();
        return n;
    }
    static Node* AddFile(Node* dir, std::string name) {
        std::shared_ptr<Node>& child = dir->children[std::move(name)];
        if (!child) child = NewNode(false, 0644);
        if (child->dir) throw Failure("a file is named like a directory", kUsageError);
        return child.get();
    }

    // The node at a path, or null.
    std::shared_ptr<Node> Find(const std::vector<std::string_view>& parts, size_t count) const {
        std::shared_ptr<Node> n = root_;
        for (size_t i = 0; i < count; ++i) {
            if (!n->dir) return nullptr;
            auto it = n->children.find(std::string(parts[i]));
            if (it == n->children.end()) return nullptr;
            n = it->second;
        }
        return n;
    }
    std::shared_ptr<Node> Find(std::string_view path) const {
        const std::vector<std::string_view> parts = Split(path);
        return Find(parts, parts.size());
    }
    // The directory that holds the last component, or null.
    Node* Parent(const std::vector<std::string_view>& parts) const {
        if (parts.empty()) return nullptr;
        std::shared_ptr<Node> n = Find(parts, parts.size() - 1);
        return n && n->dir ? n.get() : nullptr;
    }

    // An open handle of either kind, or null.
    Handle* Lookup(std::string_view handle) {
        if (handle.size() != 4) return nullptr;
        const uint32_t i = (uint32_t(uint8_t(handle[0])) << 24) |
                           (uint32_t(uint8_t(handle[1])) << 16) |
                           (uint32_t(uint8_t(handle[2])) << 8) | uint8_t(handle[3]);
        return i < handles_.size() && handles_[i].node ? &handles_[i] : nullptr;
    }
    // Replies with a new handle for the node, or a failure when all are taken.
    void NewHandle(uint32_t id, std::shared_ptr<Node> node, std::vector<Entry> entries) {
        uint32_t i;
        if (!free_.empty()) {
            i = free_.back();
            free_.pop_back();
        } else if (handles_.size() < kMaxHandles) {
            i = uint32_t(handles_.size());
            handles_.emplace_back();
        } else {
            return Status(id, kFxFailure, "too many open handles");
        }
        handles_[i] = Handle{std::move(node), std::move(entries), 0};
        const char h[] = {char(i >> 24), char(i >> 16), char(i >> 8), char(i)};
        out_.Begin(kHandle, id);
        out_.String(std::string_view(h, 4));
        out_.End();
    }

    void Status(uint32_t id, uint32_t code, std::string_view message) {
        out_.Begin(kStatus, id);
        out_.U32(code);
        out_.String(message);
        out_.String("");
        out_.End();
    }
    void Ok(uint32_t id) { Status(id, kFxOk, "Success"); }
    void NoSuchFile(uint32_t id) { Status(id, kFxNoSuchFile, "No such file"); }
    void BadHandle(uint32_t id) { Status(id, kFxFailure, "bad handle"); }

    void PutAttrs(bool dir, uint64_t size, uint32_t perm, uint32_t mtime) {
        out_.U32(kAttrSize | kAttrUidGid | kAttrPermissions | kAttrTimes);
        out_.U64(size);
        out_.U64(0);  // uid 0, gid 0
        out_.U32((dir ? S_IFDIR : S_IFREG) | perm);
        out_.U32(mtime);
        out_.U32(mtime);
    }
    void AttrsReply(uint32_t id, const Node& n) {
        out_.Begin(kAttrs, id);
        PutAttrs(n.dir, n.size, n.perm, n.mtime);
        out_.End();
    }
    static void Apply(Node& n, const Attrs& a) {
        if (a.size && !n.dir) n.size = *a.size;
        if (a.perm) n.perm = *a.perm;
        if (a.mtime) n.mtime = *a.mtime;
    }
    // ls -l style, as version 3 clients show it.
    std::string LongName(const Entry& e) {
        char mode[11] = "-rwxrwxrwx";
        mode[0] = e.dir ? 'd' : '-';
        for (int i = 0; i < 9; ++i)
            if (!(e.perm & (0400u >> i))) mode[i + 1] = '-';
        if (e.mtime != dateOf_) {
            const time_t t = e.mtime;
            tm parts{};
            gmtime_r(&t, &parts);
            std::strftime(date_, sizeof date_, "%b %e %H:%M", &parts);
            dateOf_ = e.mtime;
        }
        char line[512];
        const int n =
            std::snprintf(line, sizeof line, "%s %3u %-8s %-8s %8llu %s %.*s", mode,
                          e.dir ? 2u : 1u, "0", "0", static_cast<unsigned long long>(e.size), date_,
                          int(std::min<size_t>(e.name.size(), 400)), e.name.data());
        return std::string(line, size_t(std::max(n, 0)));
    }

    void Open(uint32_t id, Reader& in);
    void Read(uint32_t id, Reader& in);
    void Write(uint32_t id, Reader& in);
    void Opendir(uint32_t id, Reader& in);
    void Readdir(uint32_t id, Reader& in);
    void Remove(uint32_t id, Reader& in, bool dir);
    void Mkdir(uint32_t id, Reader& in);
    void Rename(uint32_t id, Reader& in);
    void Realpath(uint32_t id, Reader& in);
    void Extended(uint32_t id, Reader& in);

    std::shared_ptr<Node> root_;
    std::vector<Handle> handles_;
    std::vector<uint32_t> free_;
    Output out_;
    uint32_t dateOf_ = UINT32_MAX;
    char date_[32] = "";
    static uint8_t pattern_[kMaxData];
};

uint8_t Server::pattern_[kMaxData];

void Server::Dispatch(const uint8_t* p, size_t len) {
    Reader in(p, len);
    uint32_t id = 0;
    // Every field is read before the reply begins, so a short packet leaves
    // no half-built reply behind.
    try {
        const uint8_t type = in.U8();
        if (type == kInit) {
            in.U32();  // the client's version; the answer is 3 whatever it is
            out_.BeginNoId(kVersion);
            out_.U32(3);
            out_.String("limits@openssh.com");
            out_.String("1");
            out_.End();
            return;
        }
        id = in.U32();
        switch (type) {
            case kOpen:
                return Open(id, in);
            case kClose: {
                Handle* h = Lookup(in.String());
                if (!h) return BadHandle(id);
                const uint32_t i = uint32_t(h - handles_.data());
                *h = Handle{};
                free_.push_back(i);
                return Ok(id);
            }
            case kRead:
                return Read(id, in);
            case kWrite:
                return Write(id, in);
            case kLstat:
            case kStat: {
                const std::shared_ptr<Node> n = Find(in.String());
                return n ? AttrsReply(id, *n) : NoSuchFile(id);
            }
            case kFstat: {
                const Handle* h = Lookup(in.String());
                return h ? AttrsReply(id, *h->node) : BadHandle(id);
            }
            case kSetstat: {
                const std::shared_ptr<Node> n = Find(in.String());
                const Attrs a = ReadAttrs(in);
                if (!n) return NoSuchFile(id);
                Apply(*n, a);
                return Ok(id);
            }
            case kFsetstat: {
                const Handle* h = Lookup(in.String());
                const Attrs a = ReadAttrs(in);
                if (!h) return BadHandle(id);
                Apply(*h->node, a);
                return Ok(id);
            }
            case kOpendir:
                return Opendir(id, in);
            case kReaddir:
                return Readdir(id, in);
            case kRemove:
                return Remove(id, in, false);
            case kMkdir:
                return Mkdir(id, in);
            case kRmdir:
                return Remove(id, in, true);
            case kRealpath:
                return Realpath(id, in);
            case kRename:
                return Rename(id, in);
            case kExtended:
                return Extended(id, in);
            default:
                return Status(id, kFxOpUnsupported, "unsupported request");
        }
    } catch (const Failure&) {
        Status(id, kFxBadMessage, "bad message");
    }
}

void Server::Open(uint32_t id, Reader& in) {
    const std::vector<std::string_view> parts = Split(in.String());
    const uint32_t flags = in.U32();
    const Attrs a = ReadAttrs(in);
    Node* dir = Parent(parts);
    if (!dir) return parts.empty() ? Status(id, kFxFailure, "is a directory") : NoSuchFile(id);
    std::shared_ptr<Node>& slot = dir->children[std::string(parts.back())];
    if (!slot) {
        if (!(flags & kOpenCreat)) {
            dir->children.erase(std::string(parts.back()));
            return NoSuchFile(id);
        }
        slot = NewNode(false, a.perm.value_or(0644));
    } else if (slot->dir) {
        return Status(id, kFxFailure, "is a directory");
    } else if ((flags & kOpenCreat) && (flags & kOpenExcl)) {
        return Status(id, kFxFailure, "file exists");
    } else if (flags & kOpenTrunc) {
        slot->size = 0;
        slot->mtime = Now();
    }
    NewHandle(id, slot, {});
}

void Server::Read(uint32_t id, Reader& in) {
    const Handle* h = Lookup(in.String());
    const uint64_t offset = in.U64();
    const uint32_t want = in.U32();
    if (!h || h->node->dir) return BadHandle(id);
    const uint64_t size = h->node->size;
    if (offset >= size) return Status(id, kFxEof, "End of file");
    const size_t n = size_t(std::min<uint64_t>({want, kMaxData, size - offset}));
    out_.Begin(kData, id);
    out_.External(pattern_, n);
    out_.End();
}

void Server::Write(uint32_t id, Reader& in) {
    const Handle* h = Lookup(in.String());
    const uint64_t offset = in.U64();
    const uint64_t n = in.String().size();  // the bytes themselves are dropped
    if (!h || h->node->dir) return BadHandle(id);
    if (offset > UINT64_MAX - n) return Status(id, kFxFailure, "offset too large");
    h->node->size = std::max(h->node->size, offset + n);
    Ok(id);
}

void Server::Opendir(uint32_t id, Reader& in) {
    const std::shared_ptr<Node> n = Find(in.String());
    if (!n) return NoSuchFile(id);
    if (!n->dir) return Status(id, kFxFailure, "not a directory");
    std::vector<Entry> entries;
    entries.reserve(n->children.size() + 2);
    entries.push_back({".", true, 0, n->perm, n->mtime});
    entries.push_back({"..", true, 0, 0755, n->mtime});
    for (const auto& [name, child] : n->children)
        entries.push_back({name, child->dir, child->size, child->perm, child->mtime});
    NewHandle(id, n, std::move(entries));
}

void Server::Readdir(uint32_t id, Reader& in) {
    Handle* h = Lookup(in.String());
    if (!h || !h->node->dir) return BadHandle(id);
    if (h->next == h->entries.size()) return Status(id, kFxEof, "End of file");
    const size_t end = std::min(h->entries.size(), h->next + kNamesPerReply);
    out_.Begin(kName, id);
    out_.U32(uint32_t(end - h->next));
    for (; h->next < end; ++h->next) {
        const Entry& e = h->entries[h->next];
        out_.String(e.name);
        out_.String(LongName(e));
        PutAttrs(e.dir, e.size, e.perm, e.mtime);
    }
    out_.End();
}

void Server::Remove(uint32_t id, Reader& in, bool dir) {
    const std::vector<std::string_view> parts = Split(in.String());
    Node* parent = Parent(parts);
    if (!parent) return parts.empty() ? Status(id, kFxFailure, "the root") : NoSuchFile(id);
    const auto it = parent->children.find(std::string(parts.back()));
    if (it == parent->children.end()) return NoSuchFile(id);
    if (it->second->dir != dir)
        return Status(id, kFxFailure, dir ? "not a directory" : "is a directory");
    if (dir && !it->second->children.empty()) return Status(id, kFxFailure, "directory not empty");
    parent->children.erase(it);
    Ok(id);
}

void Server::Mkdir(uint32_t id, Reader& in) {
    const std::vector<std::string_view> parts = Split(in.String());
    const Attrs a = ReadAttrs(in);
    Node* parent = Parent(parts);
    if (!parent) return parts.empty() ? Status(id, kFxFailure, "file exists") : NoSuchFile(id);
    std::shared_ptr<Node>& slot = parent->children[std::string(parts.back())];
    if (slot) return Status(id, kFxFailure, "file exists");
    slot = NewNode(true, a.perm.value_or(0755));
    Ok(id);
}

void Server::Rename(uint32_t id, Reader& in) {
    const std::vector<std::string_view> from = Split(in.String());
    const std::vector<std::string_view> to = Split(in.String());
    Node* fromDir = Parent(from);
    Node* toDir = Parent(to);
    if (!fromDir || !toDir) return NoSuchFile(id);
    const auto it = fromDir->children.find(std::string(from.back()));
    if (it == fromDir->children.end()) return NoSuchFile(id);
    // A directory moved into itself would leave the tree.
    if (to.size() >= from.size() && std::equal(from.begin(), from.end(), to.begin()))
        return Status(id, kFxFailure, "cannot move a directory into itself");
    std::shared_ptr<Node>& slot = toDir->children[std::string(to.back())];
    if (slot) return Status(id, kFxFailure, "file exists");
    slot = std::move(it->second);
    fromDir->children.erase(it);
    Ok(id);
}

void Server::Realpath(uint32_t id, Reader& in) {
    std::string path;
    for (std::string_view part : Split(in.String())) path.append("/").append(part);
    if (path.empty()) path = "/";
    out_.Begin(kName, id);
    out_.U32(1);
    out_.String(path);
    out_.String(path);
    out_.U32(0);  // no attributes
    out_.End();
}

void Server::Extended(uint32_t id, Reader& in) {
    if (in.String() != "limits@openssh.com")
        return Status(id, kFxOpUnsupported, "unsupported extension");
    out_.Begin(kExtendedReply, id);
    out_.U64(kMaxPacket);
    out_.U64(kMaxData);  // read
    out_.U64(kMaxData);  // write
    out_.U64(kMaxHandles);
    out_.End();
}

const char kUsage[] =
    "usage: sftp_memory_server [--file PATH=SIZE]... [--dir PATH[=N]]...\n"
    "An SFTP version 3 server on standard input/output that touches no file system:\n"
    "names and sizes live in memory, WRITE keeps only the size, READ answers a fixed\n"
    "pattern up to it. Paths are relative to an empty root, set up before the session:\n"
    "  --file PATH=SIZE   a file of SIZE bytes (its directories are made too)\n"
    "  --dir PATH[=N]     a directory holding N empty files f0 .. f<N-1> (default 0)\n";

uint64_t Number(std::string_view text, const char* what) {
    uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size())
        throw Failure(std::string("bad ") + what + " \"" + std::string(text) + "\"", kUsageError);
    return v;
}

int Main(int argc, char** argv) {
    Server server;
    for (int i = 1; i < argc; ++i) {
        const std::string_view opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((opt != "--file" && opt != "--dir") || i + 1 >= argc)
            throw Failure("unknown option or missing value: " + std::string(opt), kUsageError);
        const std::string_view value = argv[++i];
        const size_t eq = value.rfind('=');
        const std::string_view path = value.substr(0, eq);
        if (opt == "--file") {
            if (eq == std::string_view::npos) throw Failure("--file needs PATH=SIZE", kUsageError);
            server.AddFile(path, Number(value.substr(eq + 1), "size"));
        } else {
            server.AddDir(path,
                          eq == std::string_view::npos ? 0 : Number(value.substr(eq + 1), "count"));
        }
    }
    // As our server does: a 1 MiB pipe moves a whole window of large packets
    // per wake-up. On anything but a pipe this fails harmlessly.
    (void)fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
    (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    signal(SIGPIPE, SIG_IGN);

    std::vector<uint8_t> in(kInputBuffer);
    size_t start = 0, end = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, in.data() + end, in.size() - end);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Failure(std::string("read: ") + std::strerror(errno));
        }
        if (got == 0) {
            if (end != start) throw Failure("the input ends inside a packet");
            return server.Out().Flush() ? 0 : 1;
        }
        end += size_t(got);
        while (end - start >= 4) {
            const uint8_t* p = in.data() + start;
            const uint32_t len =
                (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
            if (len == 0 || len > kMaxPacket)
                throw Failure("packet of " + std::to_string(len) + " bytes refused");
            if (end - start - 4 < len) break;
            server.Dispatch(p + 4, len);
            start += 4 + size_t(len);
        }
        if (!server.Out().Flush()) throw Failure(std::string("write: ") + std::strerror(errno));
        std::memmove(in.data(), in.data() + start, end - start);
        end -= start;
        start = 0;
    }
}

}  // namespace
}  // namespace sftp_memory

int main(int argc, char** argv) {
    try {
        return sftp_memory::Main(argc, argv);
    } catch (const sftp_bench::Failure& e) {
        std::fprintf(stderr, "sftp_memory_server: %s\n", e.what());
        if (e.status == sftp_bench::kUsageError) std::fputs(sftp_memory::kUsage, stderr);
        return e.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sftp_memory_server: %s\n", e.what());
        return 1;
    }
}
