// FILETIME counts 100-nanosecond ticks since 1601-01-01; Unix time counts
// seconds since 1970-01-01. Every conversion between the two goes by these.
#pragma once

#include <cstdint>

namespace kiln::platform {

inline constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;
inline constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000ull;
inline constexpr uint64_t kUnixEpochInFileTime = kSecondsFrom1601To1970 * kFileTimeTicksPerSecond;

}  // namespace kiln::platform
