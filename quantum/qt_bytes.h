// QtBytes: a byte string, either owned or borrowed from a buffer that another
// quantum owns (so that a slice of a large buffer travels without a copy).
#pragma once

#include <exception>

#include "quantum/quantum.h"

namespace kiln {

class QtBytes : public virtual QuantumS {
public:
    static constexpr char kTypeId[] = "QtBytes";

    // Thrown when a borrowed value is asked for writable storage.
    class InaccessibleForWriting : public std::exception {
    public:
        const char* what() const noexcept override { return "QtBytes: inaccessible for writing"; }
    };

    QtBytes() = default;
    QtBytes(const uint8_t* p, size_t n) { Assign(p, n); }
    ~QtBytes() override;

    const uint8_t* Data() const { return m_owner ? m_borrowed : m_data.data(); }
    size_t Size() const { return m_owner ? m_borrowedSize : m_data.size(); }
    std::string_view View() const {
        return std::string_view(reinterpret_cast<const char*>(Data()), Size());
    }
    bool IsBorrowed() const { return static_cast<bool>(m_owner); }

    // Writable storage of an owned value; throws InaccessibleForWriting for a
    // borrowed one.
    datavect<uint8_t>& Storage();
    // Replaces the value with a copy of the bytes; false when memory ran out.
    bool Assign(const uint8_t* p, size_t n);
    // Replaces the value with a view into memory that owner keeps alive.
    void Borrow(RefPtr<const Quantum> owner, const uint8_t* p, size_t n);

    const char* TypeId() const override { return kTypeId; }
    uint64_t MemSize() const override;
    WString Dump(const DumpOptions& options) const override;
    OpResult Encode(EncodeContext& cx) const override;
    OpResult Decode(DecodeContext& cx) override;

private:
    void DropValue();

    datavect<uint8_t> m_data;
    RefPtr<const Quantum> m_owner;
    const uint8_t* m_borrowed = nullptr;
    size_t m_borrowedSize = 0;
};

}  // namespace kiln
