// Results and error lists shared by the encode and decode contexts.
#pragma once

#include <cstdint>
#include <vector>

#include "nocrtlib/ncstring.h"

namespace kiln {

// Success and the number of bytes written or consumed (0 on failure).
struct OpResult {
    bool ok = false;
    uint32_t count = 0;

    static OpResult Success(uint32_t n) { return {true, n}; }
    static OpResult Failure() { return {false, 0}; }
    explicit operator bool() const { return ok; }
};

// Holds the error list: every failing operation appends one message, the
// innermost first. The list only grows while the context lives.
class OpCx {
public:
    void AddError(WString message) { errors_.push_back(std::move(message)); }
    void AddError(const char16_t* message) { errors_.push_back(WString(message)); }
    const std::vector<WString>& Errors() const { return errors_; }
    // Moves another context's messages to the end of this one's list.
    void TakeErrors(OpCx& other) {
        for (auto& e : other.errors_) errors_.push_back(std::move(e));
        other.errors_.clear();
    }

private:
    std::vector<WString> errors_;
};

}  // namespace kiln
