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

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
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

// Cuts the byte stream of a descriptor into packets. Reads in large chunks;
// each packet is copied once into a buffer of its own, which a WRITE's data
// then borrows without a further copy.
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
    // readable.
    PacketInput(int fd, int wakeFd, uint32_t maxPacket = kMaxPacketLength);

    Result Next(RefPtr<QtBytes>& packet);
    // The length word that made Next answer TooLong.
    uint32_t RefusedLength() const { return m_refusedLength; }
    int LastErrno() const { return m_errno; }

  private:
    // Reads more bytes into the buffer; Packet on progress.
    Result Fill();

    int m_fd;
    int m_wakeFd;
    uint32_t m_maxPacket;
    std::vector<uint8_t> m_buffer;
    size_t m_start = 0;
    size_t m_end = 0;
    uint32_t m_refusedLength = 0;
    int m_errno = 0;
};

// Writes whole packets to a descriptor, one writer at a time. After a write
// error every later write fails at once, so that a client that went away
// does not stall the server.
class PacketOutput {
  public:
    explicit PacketOutput(int fd) : m_fd(fd) {}

    // Writes the pieces in order as one packet; false when the descriptor
    // failed.
    bool Write(std::string_view head, std::string_view payload = {}, std::string_view tail = {});
    bool Write(const std::vector<uint8_t>& packet) {
        return Write(std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()));
    }
    bool Broken() const;
    uint64_t PacketsWritten() const;

  private:
    int m_fd;
    mutable std::mutex m_lock;
    bool m_broken = false;
    uint64_t m_packets = 0;
};

inline std::string_view AsView(const std::vector<uint8_t>& v) {
    return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
}

}  // namespace kiln::sftp
