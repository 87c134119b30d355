// Windows accounts are SIDs, not numbers: the provider gives owners by name
// and this side has no numeric ids to offer, so an id is shown as its number
// and only a number names one.
#include "platform/accounts.h"

#include <charconv>

namespace kiln::platform::security {

namespace {
std::optional<uint32_t> Number(const std::string& name) {
    uint32_t value = 0;
    const char* end = name.data() + name.size();
    auto [p, ec] = std::from_chars(name.data(), end, value);
    if (name.empty() || ec != std::errc() || p != end) return std::nullopt;
    return value;
}
}  // namespace

std::optional<std::string> UserNameOf(uint32_t uid) {
    return std::to_string(uid);
}
std::optional<std::string> GroupNameOf(uint32_t gid) {
    return std::to_string(gid);
}
std::optional<uint32_t> UidOfName(const std::string& name) {
    return Number(name);
}
std::optional<uint32_t> GidOfName(const std::string& name) {
    return Number(name);
}

}  // namespace kiln::platform::security
