// Encode contexts: where quanta write their wire form.
#pragma once

#include <cstdint>

#include "nocrtlib/datavect.h"
#include "nocrtlib/opcx.h"

namespace kiln {

class EncodeContext : public OpCx, public NoCopy {
public:
    virtual ~EncodeContext() = default;
    // n writable bytes at the end of the output, or null when they cannot be
    // provided.
    virtual uint8_t* GetWritePtr(uint32_t n) = 0;
    // Declares that n of the bytes from the last GetWritePtr were written.
    virtual void Commit(uint32_t n) = 0;
};

// The output is a singly linked list of chunks; bytes once written are never
// moved, so a finished sub-encoding is copied into its parent exactly once.
class QueueEncodeContext : public EncodeContext {
public:
    QueueEncodeContext() = default;
    ~QueueEncodeContext() override;

    uint8_t* GetWritePtr(uint32_t n) override;
    void Commit(uint32_t n) override;

    // Total committed bytes.
    uint64_t Size() const { return m_total; }
    // Moves the whole content into target: one request for space, one copy
    // per chunk. Returns the bytes moved, or 0 (and moves nothing) when the
    // target cannot provide the space.
    uint64_t AppendTo(EncodeContext& target);
    // Copies the content out (for callers that need contiguous bytes).
    bool CopyTo(datavect<uint8_t>& out) const;
    // Calls f(pointer, length) for every chunk's bytes, in order.
    template <class F>
    void ForEachChunk(F&& f) const {
        for (const Chunk* c = m_head; c; c = c->next)
            if (c->wr > c->rd) f(c->bytes + c->rd, c->wr - c->rd);
    }
    // Capacity that a new chunk gets for a request of n bytes.
    static uint32_t ChunkCapacityFor(uint32_t n);
    // Capacity of the last chunk (0 without chunks); for tests.
    uint32_t TailCapacity() const { return m_tail ? m_tail->cap : 0; }

private:
    struct Chunk {
        Chunk* next;
        uint32_t cap;
        uint32_t rd;
        uint32_t wr;
        uint8_t bytes[1];
    };
    static Chunk* NewChunk(uint32_t cap);
    static void FreeChunk(Chunk* c);

    Chunk* m_head = nullptr;
    Chunk* m_tail = nullptr;
    uint32_t m_pending = 0;
    uint64_t m_total = 0;
};

}  // namespace kiln
