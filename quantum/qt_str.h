// QtStr: a UTF-16 string quantum; on the wire a UTF-8 String.
#pragma once

#include "quantum/quantum.h"

namespace kiln {

class QtStr : public virtual QuantumS, public virtual WString {
public:
    static constexpr char kTypeId[] = "QtStr";

    QtStr() = default;
    QtStr(const char16_t* s) : WString(s) {}  // NOLINT: strings convert freely
    explicit QtStr(std::u16string_view s) : WString(s) {}
    QtStr(const WString& s) : WString(s) {}  // NOLINT

    const WString& Str() const { return *this; }

    const char* TypeId() const override { return kTypeId; }
    uint64_t MemSize() const override;
    WString Dump(const DumpOptions& options) const override;
    OpResult Encode(EncodeContext& cx) const override;
    OpResult Decode(DecodeContext& cx) override;
};

inline RefPtr<QtStr> MakeStr(std::u16string_view s) { return RefPtr<QtStr>(new QtStr(s)); }

// CryptBlock: a buffer for sensitive bytes. Every buffer it lets go of (on
// growth and on destruction) is first overwritten with 0xFE.
class CryptBlock {
public:
    CryptBlock() = default;
    CryptBlock(const CryptBlock&) = delete;
    CryptBlock& operator=(const CryptBlock&) = delete;
    virtual ~CryptBlock() noexcept(false);

    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_cap; }
    const uint8_t* Data() const { return m_p; }
    uint8_t* Data() { return m_p; }
    bool Assign(const uint8_t* p, size_t n);
    void Clear();

private:
    uint8_t* m_p = nullptr;
    size_t m_size = 0;
    size_t m_cap = 0;
};

class QtCrypt : public virtual QuantumS, public virtual CryptBlock {
public:
    static constexpr char kTypeId[] = "QtCrypt";

    const char* TypeId() const override { return kTypeId; }
    uint64_t MemSize() const override;
    WString Dump(const DumpOptions& options) const override;
    OpResult Encode(EncodeContext& cx) const override;
    OpResult Decode(DecodeContext& cx) override;
};

}  // namespace kiln
