#include "host/sftp_packet.h"

#include <cstring>
#include <utility>

#include "platform/caches.h"

namespace kiln::sftp {

bool SftpReader::U8(uint8_t& v) {
    if (m_failed || Remaining() < 1) return Fail();
    v = *m_p++;
    return true;
}

bool SftpReader::Bool(bool& v) {
    uint8_t b = 0;
    if (!U8(b)) return false;
    v = b != 0;
    return true;
}

bool SftpReader::U32(uint32_t& v) {
    if (m_failed || Remaining() < 4) return Fail();
    v = (uint32_t{m_p[0]} << 24) | (uint32_t{m_p[1]} << 16) | (uint32_t{m_p[2]} << 8) | m_p[3];
    m_p += 4;
    return true;
}

bool SftpReader::U64(uint64_t& v) {
    uint32_t hi = 0, lo = 0;
    if (!U32(hi) || !U32(lo)) return false;
    v = (uint64_t{hi} << 32) | lo;
    return true;
}

bool SftpReader::String(std::string_view& v) {
    uint32_t n = 0;
    if (!U32(n)) return false;
    return Raw(n, v);
}

bool SftpReader::Raw(size_t n, std::string_view& v) {
    if (m_failed || Remaining() < n) return Fail();
    v = std::string_view(reinterpret_cast<const char*>(m_p), n);
    m_p += n;
    return true;
}

SftpWriter::SftpWriter(uint8_t type) {
    m_bytes.reserve(64);
    m_bytes.resize(4);
    m_bytes.push_back(type);
}

void SftpWriter::U32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    m_bytes.insert(m_bytes.end(), b, b + 4);
}

void SftpWriter::U64(uint64_t v) {
    U32(static_cast<uint32_t>(v >> 32));
    U32(static_cast<uint32_t>(v));
}

void SftpWriter::String(std::string_view v) {
    U32(static_cast<uint32_t>(v.size()));
    Raw(v);
}

size_t SftpWriter::ReserveU32() {
    size_t at = m_bytes.size();
    m_bytes.resize(at + 4);
    return at;
}

void SftpWriter::PatchU32(size_t at, uint32_t v) {
    m_bytes[at] = uint8_t(v >> 24);
    m_bytes[at + 1] = uint8_t(v >> 16);
    m_bytes[at + 2] = uint8_t(v >> 8);
    m_bytes[at + 3] = uint8_t(v);
}

const std::vector<uint8_t>& SftpWriter::Finish(size_t trailing) {
    PatchU32(0, static_cast<uint32_t>(m_bytes.size() - 4 + trailing));
    return m_bytes;
}

namespace {
// A packet body at least this long, not yet complete in the buffer, is read
// directly into the packet instead of through the buffer.
constexpr size_t kDirectReadThreshold = 16 * 1024;
}  // namespace

RefPtr<SftpPacket> SftpPacket::Make(const uint8_t* p, size_t size) {
    RefPtr<SftpPacket> packet = Make(size);
    if (size) std::memcpy(packet->MutableData(), p, size);
    return packet;
}

WString SftpPacket::Dump(const DumpOptions&) const {
    WString text(u"SftpPacket: ");
    AppendAscii(text, std::to_string(m_size));
    text += u" bytes";
    return text;
}

PacketInput::Result PacketInput::Fill() {
    if (m_start == m_end && m_capacity > kInputBufferSize) {
        m_buffer.reset(new uint8_t[kInputBufferSize]);
        m_capacity = kInputBufferSize;
        m_start = m_end = 0;
    }
    // What is left is at most the start of one small packet.
    if (m_start > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
    }
    ByteSpan iov{m_buffer.get() + m_end, m_capacity - m_end};
    size_t got = 0;
    Result r = ReadSome(&iov, 1, got);
    if (r != Result::Packet) return r;
    if (got == 0) return m_end == m_start ? Result::End : Result::Truncated;
    kiln::platform::caches::NoteRequestsRead();
    m_end += got;
    return Result::Packet;
}

void PacketInput::Refill(std::string_view first, std::string_view second, size_t buffered) {
    // Only when a packet of another length followed a large one does this
    // exceed the usual buffer, and only until that much has been taken.
    const size_t need = first.size() + second.size() + buffered;
    if (need > m_capacity) {
        std::unique_ptr<uint8_t[]> larger(new uint8_t[need]);
        std::memcpy(larger.get() + first.size() + second.size(), m_buffer.get(), buffered);
        m_buffer = std::move(larger);
        m_capacity = need;
    } else if (!first.empty() || !second.empty()) {
        std::memmove(m_buffer.get() + first.size() + second.size(), m_buffer.get(), buffered);
    }
    if (!first.empty()) std::memcpy(m_buffer.get(), first.data(), first.size());
    if (!second.empty()) std::memcpy(m_buffer.get() + first.size(), second.data(), second.size());
    m_start = 0;
    m_end = need;
}

PacketInput::Result PacketInput::ReadBody(SftpPacket& big, size_t filled) {
    const size_t length = big.Size();
    RefPtr<SftpPacket> guess;
    while (filled < length) {
        // The buffer is empty whenever a body is incomplete: what it held
        // went into the packet.
        if (m_capacity > kInputBufferSize) {
            m_buffer.reset(new uint8_t[kInputBufferSize]);
            m_capacity = kInputBufferSize;
        }
        m_start = m_end = 0;
        if (!guess) guess = SftpPacket::Make(length);
        ByteSpan iov[4] = {{big.MutableData() + filled, length - filled},
                           {m_word, sizeof m_word},
                           {guess->MutableData(), length},
                           {m_buffer.get(), m_capacity}};
        size_t got = 0;
        Result r = ReadSome(iov, 4, got);
        if (r != Result::Packet) return r;
        if (got == 0) return Result::Truncated;
        kiln::platform::caches::NoteRequestsRead();
        const size_t rest = length - filled;
        filled += std::min(got, rest);
        if (got <= rest) continue;
        size_t beyond = got - rest;
        const auto word = std::string_view(reinterpret_cast<const char*>(m_word), sizeof m_word);
        if (beyond < sizeof m_word) {
            Refill(word.substr(0, beyond), {}, 0);
            break;
        }
        beyond -= sizeof m_word;
        const size_t inGuess = std::min(beyond, length);
        const size_t buffered = beyond - inGuess;
        const uint32_t next = (uint32_t{m_word[0]} << 24) | (uint32_t{m_word[1]} << 16) |
                              (uint32_t{m_word[2]} << 8) | m_word[3];
        if (next == length) {
            m_next = std::move(guess);
            m_nextFilled = inGuess;
            m_end = buffered;
        } else {
            Refill(word, guess->View().substr(0, inGuess), buffered);
        }
    }
    return Result::Packet;
}

PacketInput::Result PacketInput::Next(RefPtr<SftpPacket>& packet) {
    m_idleDone = false;
    if (m_next) {
        RefPtr<SftpPacket> big = std::move(m_next);
        Result r = ReadBody(*big, m_nextFilled);
        if (r != Result::Packet) return r;
        packet = std::move(big);
        return Result::Packet;
    }
    for (;;) {
        size_t have = m_end - m_start;
        if (have >= 4) {
            const uint8_t* p = m_buffer.get() + m_start;
            uint32_t length =
                (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
            if (length == 0 || length > m_maxPacket) {
                m_refusedLength = length;
                return Result::TooLong;
            }
            if (have >= size_t{length} + 4) {
                packet = SftpPacket::Make(p + 4, length);
                m_start += size_t{length} + 4;
                if (m_start == m_end) m_start = m_end = 0;
                return Result::Packet;
            }
            if (length >= kDirectReadThreshold) {
                // What the buffer holds is the start of the packet; the rest
                // comes straight from the descriptor.
                auto big = SftpPacket::Make(length);
                const size_t part = have - 4;
                std::memcpy(big->MutableData(), p + 4, part);
                m_start = m_end = 0;
                Result r = ReadBody(*big, part);
                if (r != Result::Packet) return r;
                packet = std::move(big);
                return Result::Packet;
            }
        }
        Result r = Fill();
        if (r != Result::Packet) return r;
    }
}

namespace {
// Packets up to this size may be held; the held packets are sent once they
// come to this much.
constexpr size_t kHeldPacketLimit = 4096;
constexpr size_t kHeldBufferLimit = 64 * 1024;
}  // namespace

bool PacketOutput::Write(std::string_view head, std::string_view payload, std::string_view tail) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_broken) return false;
    ++m_packets;
    return WriteAll(head, payload, tail);
}

bool PacketOutput::Hold(std::string_view head, std::string_view payload, std::string_view tail) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_broken) return false;
    ++m_packets;
    if (head.size() + payload.size() + tail.size() > kHeldPacketLimit)
        return WriteAll(head, payload, tail);
    if (m_held.empty()) {
        m_heldSince = std::chrono::steady_clock::now();
        m_holding.store(true, std::memory_order_release);
    }
    m_held.append(head).append(payload).append(tail);
    return m_held.size() < kHeldBufferLimit || WriteAll({}, {}, {});
}

bool PacketOutput::Flush() {
    // The writer thread holds the lock while it writes large data; a flush
    // with nothing held must not wait for that.
    if (!m_holding.load(std::memory_order_acquire)) return !Broken();
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_broken) return false;
    return m_held.empty() || WriteAll({}, {}, {});
}

PacketOutput::~PacketOutput() {
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_stopWriter = true;
    }
    m_queueChanged.notify_all();
    if (m_writer.joinable()) m_writer.join();
}

void PacketOutput::WriteLater(std::string head, RefPtr<const Quantum> owner,
                              std::string_view payload, std::string tail,
                              std::function<void()> done) {
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_queue.push_back(
            Queued{std::move(head), std::move(owner), payload, std::move(tail), std::move(done)});
        if (!m_writer.joinable()) m_writer = std::thread([this] { WriterThread(); });
    }
    m_queueChanged.notify_one();
}

void PacketOutput::WriterThread() {
    for (;;) {
        Queued next;
        {
            std::unique_lock<std::mutex> lock(m_queueLock);
            m_queueChanged.wait(lock, [&] { return m_stopWriter || !m_queue.empty(); });
            if (m_queue.empty()) return;
            next = std::move(m_queue.front());
            m_queue.pop_front();
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (!m_broken) {
                ++m_packets;
                WriteAll(next.head, next.payload, next.tail);
            }
        }
        next.owner.reset();
        if (next.done) next.done();
    }
}

std::chrono::steady_clock::duration PacketOutput::HeldFor() const {
    if (!m_holding.load(std::memory_order_acquire)) return {};
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_held.empty()) return {};
    return std::chrono::steady_clock::now() - m_heldSince;
}

bool PacketOutput::WriteAll(std::string_view head, std::string_view payload,
                            std::string_view tail) {
    ByteSpan spans[4] = {{m_held.data(), m_held.size()},
                         {const_cast<char*>(head.data()), head.size()},
                         {const_cast<char*>(payload.data()), payload.size()},
                         {const_cast<char*>(tail.data()), tail.size()}};
    if (!WriteSpans(spans, 4)) {
        m_broken = true;
        m_held.clear();
        m_holding.store(false, std::memory_order_release);
        if (m_onBroken) std::exchange(m_onBroken, nullptr)();
        return false;
    }
    m_held.clear();
    m_holding.store(false, std::memory_order_release);
    return true;
}

bool PacketOutput::Broken() const {
    return m_broken;
}

void PacketOutput::MarkBroken() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_broken) return;
        m_broken = true;
        m_held.clear();
        m_holding.store(false, std::memory_order_release);
        hook = std::exchange(m_onBroken, nullptr);
    }
    if (hook) hook();
}

uint64_t PacketOutput::PacketsWritten() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_packets;
}

}  // namespace kiln::sftp
