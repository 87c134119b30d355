// Decode contexts: where quanta read their wire form from.
#pragma once

#include <cstdint>

#include "nocrtlib/datavect.h"
#include "nocrtlib/opcx.h"

namespace kiln {

class DecodeContext : public OpCx, public NoCopy {
public:
    virtual ~DecodeContext() = default;
    virtual bool HasMore() const = 0;
    virtual uint64_t Remaining() const = 0;
    // Advances by n, or by what remains if that is less.
    virtual void Skip(uint64_t n) = 0;
    // The next n bytes without consuming them, or null when fewer remain.
    virtual const uint8_t* Peek(uint64_t n) const = 0;
    // Advances by exactly n; more than remains is a programming error.
    virtual void Consume(uint64_t n) = 0;
};

// Reads a buffer that it does not own.
class StaticDecodeContext : public DecodeContext {
public:
    StaticDecodeContext(const uint8_t* p, uint64_t len) : m_p(p), m_s(len) {}
    bool HasMore() const override { return m_r < m_s; }
    uint64_t Remaining() const override { return m_s - m_r; }
    void Skip(uint64_t n) override { m_r += n < m_s - m_r ? n : m_s - m_r; }
    const uint8_t* Peek(uint64_t n) const override { return n <= m_s - m_r ? m_p + m_r : nullptr; }
    void Consume(uint64_t n) override;
    uint64_t Position() const { return m_r; }

private:
    const uint8_t* m_p;
    uint64_t m_s;
    uint64_t m_r = 0;
};

// Reads provisionally from another context: reads only raise a count, which
// can be taken back with Undo, and the underlying context is advanced by the
// count in one step when this reader goes away. A failed sequence of reads can
// thus leave the underlying position untouched.
class UndoableDecodeContext : public DecodeContext {
public:
    explicit UndoableDecodeContext(DecodeContext& under) : m_under(under) {}
    ~UndoableDecodeContext() override;
    bool HasMore() const override { return Remaining() > 0; }
    uint64_t Remaining() const override { return m_under.Remaining() - m_read; }
    void Skip(uint64_t n) override { m_read += n < Remaining() ? n : Remaining(); }
    const uint8_t* Peek(uint64_t n) const override {
        const uint8_t* p = m_under.Peek(m_read + n);
        return p ? p + m_read : nullptr;
    }
    void Consume(uint64_t n) override;
    void Undo(uint64_t n);
    uint64_t Read() const { return m_read; }

private:
    DecodeContext& m_under;
    uint64_t m_read = 0;
};

}  // namespace kiln
