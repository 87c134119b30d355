// SFTP packet framing: the bounded reader that every request parser goes
// through, the writer that builds replies, the framed input that cuts the
// byte stream of standard input into packets, and the output that writes
// replies with scatter-gather so that read data is never copied again.
//
// Every packet is a uint32 length followed by that many bytes, the first of
// which is the packet type. Lengths come from the client, so nothing here
// trusts one: a reader never reads past its packet, and the input refuses a
// length above its bound before it allocates anything.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quantum/qt_bytes.h"

namespace kiln::sftp {

// Packet types of all versions (3 to 6).
namespace Fxp {
inline constexpr uint8_t Init = 1;
inline constexpr uint8_t Version = 2;
inline constexpr uint8_t Open = 3;
inline constexpr uint8_t Close = 4;
inline constexpr uint8_t Read = 5;
inline constexpr uint8_t Write = 6;
inline constexpr uint8_t Lstat = 7;
inline constexpr uint8_t Fstat = 8;
inline constexpr uint8_t Setstat = 9;
inline constexpr uint8_t Fsetstat = 10;
inline constexpr uint8_t Opendir = 11;
inline constexpr uint8_t Readdir = 12;
inline constexpr uint8_t Remove = 13;
inline constexpr uint8_t Mkdir = 14;
inline constexpr uint8_t Rmdir = 15;
inline constexpr uint8_t Realpath = 16;
inline constexpr uint8_t Stat = 17;
inline constexpr uint8_t Rename = 18;
inline constexpr uint8_t Readlink = 19;
inline constexpr uint8_t Symlink = 20;  // versions 3 to 5
inline constexpr uint8_t Link = 21;     // version 6
inline constexpr uint8_t Block = 22;    // version 6
inline constexpr uint8_t Unblock = 23;  // version 6
inline constexpr uint8_t Status = 101;
inline constexpr uint8_t Handle = 102;
inline constexpr uint8_t Data = 103;
inline constexpr uint8_t Name = 104;
inline constexpr uint8_t Attrs = 105;
inline constexpr uint8_t Extended = 200;
inline constexpr uint8_t ExtendedReply = 201;
}  // namespace Fxp

// The largest data a WRITE may carry, and the largest packet we accept: the
// data plus room for the header fields around it. Anything longer is refused
// before a byte of it is buffered.
// The session's streams as the operating system names them: descriptors on
// Linux, handles on Windows.
#ifdef _WIN32
using NativeStream = void*;
inline const NativeStream kNoStream = nullptr;
#else
using NativeStream = int;
inline constexpr NativeStream kNoStream = -1;
#endif

// Part of a scattered read or a gathered write.
struct ByteSpan {
    void* data;
    size_t size;
};

inline constexpr uint32_t kMaxWriteLength = 256 * 1024;
inline constexpr uint32_t kMaxPacketLength = kMaxWriteLength + 1024;

// Reads the fields of one packet. Every read checks the bounds; the first
// failure makes this and every later read fail, so a parser may read all its
// fields and test Ok() once.
class SftpReader {
  public:
    SftpReader(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}
    explicit SftpReader(std::string_view bytes)
        : SftpReader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) {}

    bool U8(uint8_t& v);
    bool Bool(bool& v);
    bool U32(uint32_t& v);
    bool U64(uint64_t& v);
    // A string: uint32 length and that many bytes, viewed in place.
    bool String(std::string_view& v);
    // Exactly n raw bytes, viewed in place.
    bool Raw(size_t n, std::string_view& v);

    bool Ok() const { return !m_failed; }
    size_t Remaining() const { return static_cast<size_t>(m_end - m_p); }
    bool AtEnd() const { return m_p == m_end; }
    const uint8_t* Position() const { return m_p; }

  private:
    bool Fail() {
        m_failed = true;
        m_p = m_end;
        return false;
    }

    const uint8_t* m_p;
    const uint8_t* m_end;
    bool m_failed = false;
};

// Builds one packet: the length word is filled in by Finish.
class SftpWriter {
  public:
    explicit SftpWriter(uint8_t type);

    void U8(uint8_t v) { m_bytes.push_back(v); }
    void Bool(bool v) { m_bytes.push_back(v ? 1 : 0); }
    void U32(uint32_t v);
    void U64(uint64_t v);
    void String(std::string_view v);
    void Raw(std::string_view v) { m_bytes.insert(m_bytes.end(), v.begin(), v.end()); }
    // A uint32 whose value is known later (the count of a NAME reply).
    size_t ReserveU32();
    void PatchU32(size_t at, uint32_t v);
    // A nested string built separately (an ACL inside ATTRS).
    size_t BeginString() { return ReserveU32(); }
    void EndString(size_t at) { PatchU32(at, static_cast<uint32_t>(m_bytes.size() - at - 4)); }

    // Sets the length word, counting `trailing` bytes that the caller sends
    // after these (the data of a DATA reply). Returns the bytes to send.
    const std::vector<uint8_t>& Finish(size_t trailing = 0);
    size_t Size() const { return m_bytes.size(); }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

  private:
    std::vector<uint8_t> m_bytes;
};

// One packet as it came in (type and payload, without the length word). A
// WRITE's data borrows it, so it is a quantum. Unlike QtBytes it does not
// overwrite its storage when freed: it holds what the client sent on its way
// to disk, and wiping every upload buffer once more cost a tenth of the
// server's time on large uploads.
class SftpPacket final : public Quantum {
  public:
    static constexpr char kTypeId[] = "SftpPacket";
    // Storage for `size` bytes, not initialised: the input fills all of it.
    // The bytes follow the object in one allocation: one malloc per request
    // instead of two.
    static RefPtr<SftpPacket> Make(size_t size) {
        return RefPtr<SftpPacket>(new (Extra{size}) SftpPacket(size));
    }
    static RefPtr<SftpPacket> Make(const uint8_t* p, size_t size);

    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    uint8_t* MutableData() { return reinterpret_cast<uint8_t*>(this + 1); }
    size_t Size() const { return m_size; }
    std::string_view View() const {
        return std::string_view(reinterpret_cast<const char*>(Data()), m_size);
    }

    const char* TypeId() const override { return kTypeId; }
    uint64_t MemSize() const override { return sizeof(*this) + m_size; }
    WString Dump(const DumpOptions& options) const override;

    static void operator delete(void* p) { ::operator delete(p); }

  private:
    struct Extra {
        size_t bytes;
    };
    explicit SftpPacket(size_t size) : m_size(size) {}
    static void* operator new(size_t self, Extra extra) {
        return ::operator new(self + extra.bytes);
    }
    static void operator delete(void* p, Extra) { ::operator delete(p); }

    size_t m_size;
};

// Cuts the byte stream of a descriptor into packets. Small packets are read
// in large chunks and copied out once; the body of a large one (a WRITE) is
// read straight into its own buffer, so upload data is never copied in user
// space. The read that finishes a large body also takes what follows it: the
// length word and body of a next packet of the same length (an upload's next
// WRITE) land in a buffer of their own, anything else in the chunk buffer,
// so a stream of uploads costs about one read per packet and no copy.
// Reads do not wait when input is there; only when none is does the input
// run the sleep hook and wait.
// Small packets are read in chunks of this size. Every packet that is not
// read directly fits whole with room to spare; a larger buffer would only
// stay resident in every session once a burst of requests has filled it.
inline constexpr size_t kInputBufferSize = 64 * 1024;

class PacketInput {
  public:
    enum class Result {
        Packet,     // `packet` holds type and payload (without the length word)
        End,        // end of input between packets
        Truncated,  // end of input inside a packet
        TooLong,    // a length above the bound (or zero): the stream cannot go on
        Error,      // a read error
        Stopped,    // the wake descriptor became readable
    };

    // `wakeFd`, when not -1, interrupts a wait for input when it becomes
    // readable; so does `watchFd` (the client's output) when it reports an
    // error or a hang-up: a client that stopped reading while it still
    // keeps its input open must not leave the session waiting for it.
    PacketInput(NativeStream fd, NativeStream wakeFd, uint32_t maxPacket = kMaxPacketLength,
                NativeStream watchFd = kNoStream);
    ~PacketInput();
    PacketInput(const PacketInput&) = delete;
    PacketInput& operator=(const PacketInput&) = delete;

    Result Next(RefPtr<SftpPacket>& packet);
    // Called before the input waits for the client, which may be waiting
    // for replies held back meanwhile.
    void SetBeforeSleep(std::function<void()> hook) { m_beforeSleep = std::move(hook); }
    // Called once when the input has waited `after` for the client, and
    // again after each later packet has been followed by such a pause.
    void SetWhenIdle(std::chrono::milliseconds after, std::function<void()> hook) {
        m_idleAfter = after;
        m_whenIdle = std::move(hook);
    }
    // The length word that made Next answer TooLong.
    uint32_t RefusedLength() const { return m_refusedLength; }
    int LastErrno() const { return m_errno; }

  private:
    // Reads what is there into the pieces, waiting only when nothing is;
    // Packet with `got` bytes (0 at the end of input).
    // These two and the pump are the operating system's part
    // (host/posix/packet_io.cpp, host/windows/packet_io.cpp).
    Result ReadSome(ByteSpan* spans, int count, size_t& got);
    // Waits until the descriptor is readable; Packet when it is.
    // `empty`: a read has just found nothing, so the sleep hook runs at once.
    Result WaitReadable(bool empty);
    // Reads more bytes into the buffer; Packet on progress.
    Result Fill();
    // Completes the body of `big`, of which `filled` bytes are there, and
    // keeps what the last read brought beyond it.
    Result ReadBody(SftpPacket& big, size_t filled);
    // Puts bytes that belong to the stream after a packet into the empty
    // buffer, in the order they came.
    void Refill(std::string_view first, std::string_view second, size_t buffered);

    NativeStream m_fd;
    NativeStream m_wakeFd;
    NativeStream m_watchFd;
    struct Pump;
    std::unique_ptr<Pump> m_pump;  // Windows: the reader thread's side
    uint32_t m_maxPacket;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_capacity;
    size_t m_start = 0;
    size_t m_end = 0;
    // A large packet whose start came with the read of the one before.
    RefPtr<SftpPacket> m_next;
    size_t m_nextFilled = 0;
    uint8_t m_word[4] = {};  // the length word that such a read brought
    bool m_noWait = true;    // the descriptor takes reads that do not wait
    uint32_t m_refusedLength = 0;
    int m_errno = 0;
    std::function<void()> m_beforeSleep;
    std::chrono::milliseconds m_idleAfter{0};
    std::function<void()> m_whenIdle;
    bool m_idleDone = true;  // the idle hook ran since the last packet
};

// Writes whole packets to a descriptor, one writer at a time. After a write
// error every later write fails at once, so that a client that went away
// does not stall the server.
//
// Small packets may also be held back and sent together later: a client
// that pipelines many small requests then gets their replies in a few writes
// instead of one system call (and one wake-up of the client) per reply.
class PacketOutput {
  public:
    explicit PacketOutput(NativeStream fd) : m_fd(fd) {}
    // Finishes the packets queued by WriteLater.
    ~PacketOutput();
    PacketOutput(const PacketOutput&) = delete;
    PacketOutput& operator=(const PacketOutput&) = delete;

    // Writes the pieces in order as one packet, after any held packets;
    // false when the descriptor failed.
    bool Write(std::string_view head, std::string_view payload = {}, std::string_view tail = {});
    bool Write(const std::vector<uint8_t>& packet) {
        return Write(std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()));
    }
    // Like Write, but a small packet may wait for a later Write or Flush.
    bool Hold(std::string_view head, std::string_view payload = {}, std::string_view tail = {});
    // Sends the held packets.
    bool Flush();
    // Writes a packet on the output's own thread, after those queued before
    // it, then calls `done` whether or not the write succeeded; `owner`
    // keeps the payload alive until then. Large read data goes out this way,
    // so that the provider reads the next block while this one is written.
    void WriteLater(std::string head, RefPtr<const Quantum> owner, std::string_view payload,
                    std::string tail, std::function<void()> done);
    // How long the oldest held packet has waited (zero when none waits).
    std::chrono::steady_clock::duration HeldFor() const;
    bool Broken() const;
    // Makes the output broken without a write: the descriptor has told that
    // nobody reads it any more. Runs the broken hook like a failed write.
    void MarkBroken();
    // Runs once, on the writing thread, when a write fails: the session stops
    // reading and ends the work in flight, since no answer can reach the
    // client any more. Set before the first write.
    void SetOnBroken(std::function<void()> hook) { m_onBroken = std::move(hook); }
    uint64_t PacketsWritten() const;

  private:
    // Writes the held packets followed by the pieces; with the lock held.
    bool WriteAll(std::string_view head, std::string_view payload, std::string_view tail);
    // Writes every byte of the spans (operating system's part); false when
    // the output is broken.
    bool WriteSpans(ByteSpan* spans, int count);

    NativeStream m_fd;
    mutable std::mutex m_lock;
    std::atomic<bool> m_broken{false};   // set under the lock, read without it
    std::string m_held;                  // whole packets waiting to be sent
    std::atomic<bool> m_holding{false};  // m_held is not empty
    std::chrono::steady_clock::time_point m_heldSince;
    uint64_t m_packets = 0;
    std::function<void()> m_onBroken;

    struct Queued {
        std::string head;
        RefPtr<const Quantum> owner;
        std::string_view payload;
        std::string tail;
        std::function<void()> done;
    };
    void WriterThread();
    std::mutex m_queueLock;
    std::condition_variable m_queueChanged;
    std::deque<Queued> m_queue;
    bool m_stopWriter = false;
    std::thread m_writer;  // started by the first WriteLater
};

inline std::string_view AsView(const std::vector<uint8_t>& v) {
    return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
}

}  // namespace kiln::sftp
