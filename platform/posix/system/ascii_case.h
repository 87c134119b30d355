// Letter case of A to Z, the only case that the Linux mapping folds: drive
// letters, share and account names, and the wildcard match of a listing
// compare as Windows compares them there, whatever the locale.
#pragma once

#include <string_view>

namespace kiln::platform {

constexpr char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

constexpr bool SameIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

}  // namespace kiln::platform
