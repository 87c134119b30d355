// basic_ncstring<C>: the system's string, built on datavect<C>. Its stored
// length counts a terminating zero, so an empty string has length 0 (no
// storage) or 1. The system's wide string is basic_ncstring<char16_t>
// (UTF-16 on every platform), named WString.
#pragma once

#include <string>
#include <string_view>

#include "nocrtlib/datavect.h"

namespace kiln {

template <class C>
class basic_ncstring {
public:
    using view = std::basic_string_view<C>;

    basic_ncstring() = default;
    basic_ncstring(const C* s) { assign(view(s ? s : EmptyLiteral())); }  // NOLINT: implicit by design
    basic_ncstring(const C* s, size_t n) { assign(view(s, n)); }
    explicit basic_ncstring(view v) { assign(v); }

    // Number of characters, without the terminating zero.
    size_t size() const { return v_.size() ? v_.size() - 1 : 0; }
    size_t length() const { return size(); }
    bool empty() const { return size() == 0; }
    // Stored length, terminating zero included (0 for a string never filled).
    size_t stored_length() const { return v_.size(); }
    bool alloc_failed() const { return v_.AllocFailed(); }

    const C* c_str() const { return v_.size() ? v_.data() : EmptyLiteral(); }
    const C* data() const { return c_str(); }
    C* mutable_data() { return v_.size() ? v_.data() : nullptr; }
    view sv() const { return view(c_str(), size()); }
    operator view() const { return sv(); }  // NOLINT: strings convert to views freely

    C operator[](size_t i) const {
        KILN_ASSERT_TEXT_AT(i < size(), "pos <= len", "NoCrtString", __LINE__);
        return v_[i];
    }
    C& at(size_t i) {
        KILN_ASSERT_TEXT_AT(i < size(), "pos <= len", "NoCrtString", __LINE__);
        return v_[i];
    }

    bool assign(view v) {
        v_.clear();
        if (v.empty()) return true;
        if (!v_.reserve(v.size() + 1)) return false;
        v_.append(v.data(), v.size());
        C zero{};
        return v_.push_back(zero);
    }
    bool append(view v) {
        if (v.empty()) return true;
        if (v_.size()) v_.erase(v_.size() - 1, 1);
        if (!v_.reserve(v_.size() + v.size() + 1)) return false;
        v_.append(v.data(), v.size());
        C zero{};
        return v_.push_back(zero);
    }
    bool append(C c) { return append(view(&c, 1)); }
    // Makes room for n characters without changing the contents' meaning
    // beyond the current size (a later resize fills them).
    bool reserve(size_t n) { return v_.reserve(n + 1); }
    // Sets the size to n characters; new characters are zero.
    bool resize(size_t n) {
        if (n == 0) {
            v_.clear();
            return true;
        }
        if (!v_.resize(n + 1)) return false;
        v_[n] = C{};
        return true;
    }
    void clear() { v_.clear(); }

    basic_ncstring substr(size_t pos, size_t count = view::npos) const {
        KILN_ASSERT_TEXT_AT(pos <= size(), "pos <= len", "NoCrtString", __LINE__);
        return basic_ncstring(sv().substr(pos, count));
    }

    basic_ncstring& operator+=(view v) {
        append(v);
        return *this;
    }
    basic_ncstring& operator+=(const basic_ncstring& s) {
        append(s.sv());
        return *this;
    }
    basic_ncstring& operator+=(const C* s) {
        append(view(s));
        return *this;
    }
    basic_ncstring& operator+=(C c) {
        append(c);
        return *this;
    }

    friend basic_ncstring operator+(const basic_ncstring& a, view b) {
        basic_ncstring r;
        r.reserve(a.size() + b.size());
        r.append(a.sv());
        r.append(b);
        return r;
    }
    friend basic_ncstring operator+(const basic_ncstring& a, const basic_ncstring& b) {
        return a + b.sv();
    }
    friend basic_ncstring operator+(const basic_ncstring& a, const C* b) { return a + view(b); }
    friend basic_ncstring operator+(const C* a, const basic_ncstring& b) {
        return basic_ncstring(a) + b.sv();
    }
    friend basic_ncstring operator+(const basic_ncstring& a, C b) { return a + view(&b, 1); }
    friend bool operator==(const basic_ncstring& a, const basic_ncstring& b) {
        return a.sv() == b.sv();
    }
    friend bool operator==(const basic_ncstring& a, view b) { return a.sv() == b; }
    friend bool operator==(const basic_ncstring& a, const C* b) { return a.sv() == view(b); }
    friend auto operator<=>(const basic_ncstring& a, const basic_ncstring& b) {
        return a.sv() <=> b.sv();
    }

private:
    static const C* EmptyLiteral() {
        static const C zero{};
        return &zero;
    }

    datavect<C> v_;
};

using WString = basic_ncstring<char16_t>;
using NString = basic_ncstring<char>;

// Conversions between the system's UTF-16 strings and UTF-8, with Windows'
// code-page-65001 behaviour (malformed input becomes U+FFFD). Both return
// false only when memory runs out.
bool Utf8ToWide(std::string_view in, WString& out);
bool WideToUtf8(std::u16string_view in, datavect<char>& out);
WString Widen(std::string_view utf8);
std::string Narrow(std::u16string_view wide);

// Integer to text in any radix from 2 to 36, digits "0-9A-Z".
WString NumberToText(uint64_t value, unsigned radix = 10);
WString NumberToText(int64_t value, unsigned radix = 10);
inline WString NumberToText(uint32_t value, unsigned radix = 10) {
    return NumberToText(static_cast<uint64_t>(value), radix);
}
inline WString NumberToText(int32_t value, unsigned radix = 10) {
    return NumberToText(static_cast<int64_t>(value), radix);
}

}  // namespace kiln
