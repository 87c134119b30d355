// SHA-224 and its HMAC in plain C++, for a backend whose system library has
// SHA-256 but not its truncation (CNG): the system cannot start SHA-256 from
// SHA-224's initial values, so the compression runs here.
#pragma once

#include "zuprov/backend.h"

namespace zuprov {

std::unique_ptr<HashState> NewSha224(bool keyed, const uint8_t* key, uint32_t keyLen);

}  // namespace zuprov
