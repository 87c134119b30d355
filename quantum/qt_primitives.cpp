#include <cstdlib>
#include <cstring>

#include "nocrtlib/wire.h"
#include "quantum/dump.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "quantum/registration.h"

namespace kiln {

namespace {
constexpr uint8_t kWipe = 0xFE;
constexpr size_t kAbbreviateAt = 64;
constexpr size_t kAbbreviatedChars = 51;
}  // namespace

// ---- QtBytes -------------------------------------------------------------

QtBytes::~QtBytes() { DropValue(); }

void QtBytes::DropValue() {
    if (m_owner) {
        m_owner.reset();
        m_borrowed = nullptr;
        m_borrowedSize = 0;
    } else {
        m_data.wipe_and_free(kWipe);
    }
}

datavect<uint8_t>& QtBytes::Storage() {
    if (m_owner) throw InaccessibleForWriting();
    return m_data;
}

bool QtBytes::Assign(const uint8_t* p, size_t n) {
    DropValue();
    return m_data.append(p, n);
}

void QtBytes::Borrow(RefPtr<const Quantum> owner, const uint8_t* p, size_t n) {
    DropValue();
    m_owner = std::move(owner);
    m_borrowed = p;
    m_borrowedSize = n;
}

uint64_t QtBytes::MemSize() const {
    if (m_owner) return 72 + m_owner->MemSize();
    return m_data.capacity() ? 72 + 32 + m_data.capacity() : 72;
}

WString QtBytes::Dump(const DumpOptions& o) const {
    size_t len = Size();
    bool cut = o.abbreviate && len > kAbbreviateAt;
    WString out(u"QtBytes, ");
    out += NumberToText(static_cast<uint64_t>(len));
    out += u" bytes\n";
    HexDump(out, Data(), cut ? kAbbreviateAt : len, o.indent);
    if (cut) {
        out.append(u'\n');
        AppendSpaces(out, o.indent);
        out += u"...";
    }
    return out;
}

OpResult QtBytes::Encode(EncodeContext& cx) const {
    OpResult r = EncodeString(cx, Data(), Size());
    if (!r) {
        cx.AddError(u"Error encoding data of size " + NumberToText(static_cast<uint64_t>(Size())) +
                    u" in QtBytes::Encode()");
    }
    return r;
}

OpResult QtBytes::Decode(DecodeContext& cx) {
    DropValue();
    OpResult r = DecodeString(cx, m_data);
    if (!r) cx.AddError(u"Error decoding data in QtBytes::Decode()");
    return r;
}

// ---- QtStr ---------------------------------------------------------------

uint64_t QtStr::MemSize() const { return empty() ? 52 : 52 + 32 + 2 * (size() + 1); }

WString QtStr::Dump(const DumpOptions& o) const {
    WString out;
    if (o.abbreviate && size() > kAbbreviateAt) {
        out = u"QtStr, ";
        out += NumberToText(static_cast<uint64_t>(kAbbreviatedChars));
        out += u" chars, '";
        out += sv().substr(0, kAbbreviatedChars);
        out += u"...'";
    } else {
        out = u"QtStr, '";
        out += sv();
        out += u"'";
    }
    return out;
}

OpResult QtStr::Encode(EncodeContext& cx) const {
    OpResult r = EncodeWStrAsUtf8(cx, sv());
    if (!r) {
        cx.AddError(u"Error encoding string of size " + NumberToText(static_cast<uint64_t>(size())) +
                    u" in QtStr::Encode()");
    }
    return r;
}

OpResult QtStr::Decode(DecodeContext& cx) {
    OpResult r = DecodeWStrAsUtf8(cx, *this);
    if (!r) cx.AddError(u"Error decoding string in QtStr::Decode()");
    return r;
}

// ---- CryptBlock and QtCrypt ----------------------------------------------

CryptBlock::~CryptBlock() noexcept(false) { Clear(); }

void CryptBlock::Clear() {
    if (m_p) {
        std::memset(m_p, kWipe, m_cap);
        std::free(m_p);
    }
    m_p = nullptr;
    m_size = m_cap = 0;
}

bool CryptBlock::Assign(const uint8_t* p, size_t n) {
    if (n > m_cap) {
        // Never realloc: the old buffer must be wiped, not left to the heap.
        auto* fresh = static_cast<uint8_t*>(std::malloc(n));
        if (!fresh) return false;
        Clear();
        m_p = fresh;
        m_cap = n;
    }
    if (n) std::memcpy(m_p, p, n);
    m_size = n;
    return true;
}

uint64_t QtCrypt::MemSize() const { return Capacity() ? 72 + 32 + Capacity() : 72; }

WString QtCrypt::Dump(const DumpOptions&) const {
    return u"QtCrypt, size " + NumberToText(static_cast<uint64_t>(Size())) + u", cap " +
           NumberToText(static_cast<uint64_t>(Capacity()));
}

OpResult QtCrypt::Encode(EncodeContext& cx) const {
    OpResult r = EncodeString(cx, Data(), Size());
    if (!r) {
        cx.AddError(u"Error encoding data of size " + NumberToText(static_cast<uint64_t>(Size())) +
                    u" in QtCrypt::Encode()");
    }
    return r;
}

OpResult QtCrypt::Decode(DecodeContext& cx) {
    Clear();
    datavect<uint8_t> tmp;
    OpResult r = DecodeString(cx, tmp);
    if (!r || !Assign(tmp.data(), tmp.size())) {
        tmp.wipe_and_free(kWipe);
        cx.AddError(u"Error decoding data in QtCrypt::Decode()");
        return OpResult::Failure();
    }
    tmp.wipe_and_free(kWipe);
    return r;
}

KILN_REGISTER_QUANTUM(QtBytes);
KILN_REGISTER_QUANTUM(QtStr);
KILN_REGISTER_QUANTUM(QtCrypt);

}  // namespace kiln
