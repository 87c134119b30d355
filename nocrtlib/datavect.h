// datavect<T>: a growable array of plain elements that records allocation
// failure in its flag instead of throwing. Every operation that may allocate
// returns false when memory ran out; using a vector whose flag is set is a
// programming error.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "nocrtlib/assertion.h"

namespace kiln {

class NoCrtAllocFail {
public:
    bool AllocFailed() const { return af_; }

protected:
    bool af_ = false;
};

class NoCopy {
public:
    NoCopy() = default;
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

template <class T>
class datavect : public NoCrtAllocFail {
    static_assert(std::is_trivially_copyable_v<T>, "datavect holds plain elements");

public:
    datavect() = default;
    datavect(const datavect& other) { CopyFrom(other); }
    datavect(datavect&& other) noexcept { Steal(other); }
    datavect& operator=(const datavect& other) {
        if (this != &other) {
            Free();
            CopyFrom(other);
        }
        return *this;
    }
    datavect& operator=(datavect&& other) noexcept {
        if (this != &other) {
            Free();
            Steal(other);
        }
        return *this;
    }
    ~datavect() { Free(); }

    size_t size() const { return s_; }
    size_t capacity() const { return c_; }
    bool empty() const { return s_ == 0; }
    T* data() { return p_; }
    const T* data() const { return p_; }
    T* begin() { return p_; }
    T* end() { return p_ + s_; }
    const T* begin() const { return p_; }
    const T* end() const { return p_ + s_; }

    T& operator[](size_t i) {
        KILN_ASSERT_TEXT_AT(!af_ && i < s_, "!af_ && i<s_", "nocrtlib/datavect", __LINE__);
        return p_[i];
    }
    const T& operator[](size_t i) const {
        KILN_ASSERT_TEXT_AT(!af_ && i < s_, "!af_ && i<s_", "nocrtlib/datavect", __LINE__);
        return p_[i];
    }

    // Ensures room for n elements in all.
    bool reserve(size_t n) {
        KILN_ASSERT_AT(!af_, "nocrtlib/datavect", __LINE__);
        if (n <= c_) return true;
        if (n > PTRDIFF_MAX / sizeof(T)) {
            af_ = true;
            return false;
        }
        T* p = static_cast<T*>(std::realloc(static_cast<void*>(p_), n * sizeof(T)));
        if (!p) {
            af_ = true;
            return false;
        }
        p_ = p;
        c_ = n;
        return true;
    }
    bool resize(size_t n) {
        if (!reserve(n)) return false;
        if (n > s_) std::memset(static_cast<void*>(p_ + s_), 0, (n - s_) * sizeof(T));
        s_ = n;
        return true;
    }
    // Sets the size to n without clearing new elements: for buffers that the
    // caller fills at once (a read), where zeroing first would touch every
    // byte twice.
    bool resize_for_overwrite(size_t n) {
        if (!reserve(n)) return false;
        s_ = n;
        return true;
    }
    // Appending to a full vector doubles the capacity and adds two.
    bool push_back(const T& v) {
        if (s_ == c_ && !reserve(c_ * 2 + 2)) return false;
        p_[s_++] = v;
        return true;
    }
    bool append(const T* items, size_t count) {
        if (s_ + count > c_ && !reserve(s_ + count > c_ * 2 + 2 ? s_ + count : c_ * 2 + 2))
            return false;
        if (count) std::memcpy(static_cast<void*>(p_ + s_), items, count * sizeof(T));
        s_ += count;
        return true;
    }
    bool insert(size_t pos, const T* items, size_t count) {
        KILN_ASSERT_AT(pos <= s_, "nocrtlib/datavect", __LINE__);
        if (!reserve(s_ + count > c_ * 2 + 2 ? s_ + count : (s_ + count > c_ ? c_ * 2 + 2 : c_)))
            return false;
        std::memmove(static_cast<void*>(p_ + pos + count), p_ + pos, (s_ - pos) * sizeof(T));
        if (count) std::memcpy(static_cast<void*>(p_ + pos), items, count * sizeof(T));
        s_ += count;
        return true;
    }
    void erase(size_t pos, size_t count) {
        KILN_ASSERT_AT(pos + count <= s_, "nocrtlib/datavect", __LINE__);
        std::memmove(static_cast<void*>(p_ + pos), p_ + pos + count,
                     (s_ - pos - count) * sizeof(T));
        s_ -= count;
    }
    void erase(const T* p1, const T* p2) {
        KILN_ASSERT_TEXT_AT((p1 >= p_) && (p1 <= p_ + s_), "(p1 >= p_) && (p1 <= p_ + s_)",
                            "nocrtlib/datavect", __LINE__);
        KILN_ASSERT_TEXT_AT((p2 >= p1) && (p2 <= p_ + s_), "(p2 >= p1) && (p2 <= p_ + s_)",
                            "nocrtlib/datavect", __LINE__);
        erase(static_cast<size_t>(p1 - p_), static_cast<size_t>(p2 - p1));
    }
    void clear() { s_ = 0; }
    // Overwrites the whole capacity before releasing it (for buffers that
    // held sensitive or protocol data).
    void wipe_and_free(unsigned char fill) {
        if (p_) std::memset(static_cast<void*>(p_), fill, c_ * sizeof(T));
        Free();
    }

private:
    void Free() {
        std::free(static_cast<void*>(p_));
        p_ = nullptr;
        s_ = c_ = 0;
        af_ = false;
    }
    void CopyFrom(const datavect& other) {
        KILN_ASSERT_AT(!other.af_, "nocrtlib/datavect", __LINE__);
        if (other.s_ && reserve(other.s_)) {
            std::memcpy(static_cast<void*>(p_), other.p_, other.s_ * sizeof(T));
            s_ = other.s_;
        }
    }
    void Steal(datavect& other) {
        p_ = other.p_;
        s_ = other.s_;
        c_ = other.c_;
        af_ = other.af_;
        other.p_ = nullptr;
        other.s_ = other.c_ = 0;
        other.af_ = false;
    }

    T* p_ = nullptr;
    size_t s_ = 0;
    size_t c_ = 0;
};

}  // namespace kiln
