#include <cstdlib>
#include <cstring>

#include "nocrtlib/assertion.h"
#include "nocrtlib/decode_context.h"
#include "nocrtlib/encode_context.h"

namespace kiln {

namespace {
constexpr const char* kSourceFile = "EncodeDecodeContext";
}

uint32_t QueueEncodeContext::ChunkCapacityFor(uint32_t n) {
    uint64_t want = n < 3500 ? 4000 : uint64_t{n} + 500;
    want = (want & ~uint64_t{3}) + 4;  // the next multiple of 4 above
    return want > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(want);
}

QueueEncodeContext::Chunk* QueueEncodeContext::NewChunk(uint32_t cap) {
    auto* c = static_cast<Chunk*>(std::malloc(offsetof(Chunk, bytes) + cap));
    if (!c) return nullptr;
    c->next = nullptr;
    c->cap = cap;
    c->rd = c->wr = 0;
    return c;
}

void QueueEncodeContext::FreeChunk(Chunk* c) { std::free(c); }

QueueEncodeContext::~QueueEncodeContext() {
    while (m_head) {
        Chunk* next = m_head->next;
        FreeChunk(m_head);
        m_head = next;
    }
}

uint8_t* QueueEncodeContext::GetWritePtr(uint32_t n) {
    if (!m_tail || m_tail->cap - m_tail->wr < n) {
        uint32_t cap = ChunkCapacityFor(n);
        Chunk* c = cap ? NewChunk(cap) : nullptr;
        if (!c) return nullptr;
        if (m_tail)
            m_tail->next = c;
        else
            m_head = c;
        m_tail = c;
    }
    m_pending = n;
    return m_tail->bytes + m_tail->wr;
}

void QueueEncodeContext::Commit(uint32_t len) {
    KILN_ASSERT_TEXT_AT(m_tail && len <= m_pending, "m_tail && len <= m_pending", kSourceFile, 280);
    m_tail->wr += len;
    m_total += len;
    m_pending = 0;
}

uint64_t QueueEncodeContext::AppendTo(EncodeContext& target) {
    if (m_total > 0xFFFFFFFFu) return 0;
    uint32_t total = static_cast<uint32_t>(m_total);
    uint8_t* dst = target.GetWritePtr(total);
    if (!dst) return 0;
    uint8_t* p = dst;
    while (m_head) {
        Chunk* c = m_head;
        std::memcpy(p, c->bytes + c->rd, c->wr - c->rd);
        p += c->wr - c->rd;
        m_head = c->next;
        FreeChunk(c);
    }
    m_tail = nullptr;
    m_total = 0;
    m_pending = 0;
    target.Commit(total);
    return total;
}

bool QueueEncodeContext::CopyTo(datavect<uint8_t>& out) const {
    if (!out.reserve(out.size() + m_total)) return false;
    ForEachChunk([&](const uint8_t* p, size_t n) { out.append(p, n); });
    return true;
}

void StaticDecodeContext::Consume(uint64_t len) {
    KILN_ASSERT_TEXT_AT(len <= m_s - m_r, "m_r + len <= m_s", kSourceFile, 593);
    m_r += len;
}

UndoableDecodeContext::~UndoableDecodeContext() {
    if (m_read) m_under.Consume(m_read);
}

void UndoableDecodeContext::Consume(uint64_t len) {
    KILN_ASSERT_TEXT_AT(len <= Remaining(), "m_r + len <= m_s", kSourceFile, 593);
    m_read += len;
}

void UndoableDecodeContext::Undo(uint64_t len) {
    KILN_ASSERT_TEXT_AT(len <= m_read, "len >= m_read", kSourceFile, 226);
    m_read -= len;
}

}  // namespace kiln
