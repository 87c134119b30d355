// The process-wide map from quantum type IDs to factories, so that a field
// declared as any encodable quantum can be decoded. Filled during start-up
// (static registration in every quantum source file) and read-only after.
#pragma once

#include <string_view>
#include <vector>

#include "quantum/quantum.h"

namespace kiln {

class QuantumRegistry {
public:
    using Factory = RefPtr<QuantumS> (*)();

    static QuantumRegistry& Instance();

    // Adds an entry at its sorted position; a type ID already present is a
    // programming error.
    void Register(std::string_view typeId, Factory factory);
    // A new default instance, or null for an unknown type ID.
    RefPtr<QuantumS> Create(std::string_view typeId) const;
    bool Contains(std::string_view typeId) const;
    size_t Size() const { return entries_.size(); }
    // The type IDs in registry order (byte-wise unsigned comparison).
    std::vector<std::string_view> TypeIds() const;

private:
    struct Entry {
        NString typeId;
        Factory factory;
    };
    // Index of the first entry not less than typeId.
    size_t LowerBound(std::string_view typeId) const;

    std::vector<Entry> entries_;
};

// Registers T under its type ID and QtVectS<T> under "QtVectS[" + ID + "]".
template <class T>
struct QuantumRegistration;

}  // namespace kiln
