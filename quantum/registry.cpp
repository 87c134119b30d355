#include "quantum/registry.h"

#include "nocrtlib/assertion.h"

namespace kiln {

QuantumRegistry& QuantumRegistry::Instance() {
    static QuantumRegistry* registry = new QuantumRegistry;  // lives as long as the process
    return *registry;
}

size_t QuantumRegistry::LowerBound(std::string_view typeId) const {
    // std::string_view compares char_traits<char>, which compares as unsigned
    // char: byte by byte, shorter prefix first, case-sensitive.
    size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (entries_[mid].typeId.sv() < typeId)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void QuantumRegistry::Register(std::string_view typeId, Factory factory) {
    size_t pos = LowerBound(typeId);
    if (pos < entries_.size() && entries_[pos].typeId.sv() == typeId)
        AssertionFailure("KilnQuantumRegistry", 14, "!\"Quantum type already registered\"");
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(pos),
                    Entry{NString(typeId), factory});
}

RefPtr<QuantumS> QuantumRegistry::Create(std::string_view typeId) const {
    size_t pos = LowerBound(typeId);
    if (pos < entries_.size() && entries_[pos].typeId.sv() == typeId) return entries_[pos].factory();
    return nullptr;
}

bool QuantumRegistry::Contains(std::string_view typeId) const {
    size_t pos = LowerBound(typeId);
    return pos < entries_.size() && entries_[pos].typeId.sv() == typeId;
}

std::vector<std::string_view> QuantumRegistry::TypeIds() const {
    std::vector<std::string_view> ids;
    ids.reserve(entries_.size());
    for (const auto& e : entries_) ids.push_back(e.typeId.sv());
    return ids;
}

}  // namespace kiln
