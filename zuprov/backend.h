// What a cryptographic backend of ZuProv supplies: random bytes, running
// digests (plain and keyed) and AES. The exports, their argument checks,
// names, sizes, status records and CRC-32 live once in zuprov.cpp; one
// backend is linked in per system (OpenSSL's libcrypto on Linux, CNG on
// Windows). Nothing here throws: a null state or a false answer is a failure
// that the caller reports.
#pragma once

#include <cstdint>
#include <memory>

namespace zuprov {

enum class DigestAlg { Sha256, Sha512, Sha384, Sha224, Sha1, Md5 };
enum class CipherMode { Ctr, Cbc };

constexpr uint32_t kAesBlock = 16;

constexpr uint32_t DigestSize(DigestAlg alg) {
    switch (alg) {
        case DigestAlg::Sha256:
            return 32;
        case DigestAlg::Sha512:
            return 64;
        case DigestAlg::Sha384:
            return 48;
        case DigestAlg::Sha224:
            return 28;
        case DigestAlg::Sha1:
            return 20;
        case DigestAlg::Md5:
            return 16;
    }
    return 0;
}

// A running digest. Finish writes the digest (out holds its full size) and
// starts the next one from scratch with the same key.
class HashState {
  public:
    virtual ~HashState() = default;
    virtual bool Update(const uint8_t* data, uint32_t len) = 0;
    virtual bool Finish(uint8_t* out) = 0;
};

// A running AES stream. CBC gets whole blocks only; CTR any length, resuming
// the key stream where the previous call stopped. in may equal out.
class CipherState {
  public:
    virtual ~CipherState() = default;
    virtual bool Process(const uint8_t* in, uint8_t* out, uint32_t len) = 0;
};

bool RandomBytes(uint8_t* buf, uint32_t len);

// keyed: HMAC with the given key (which may be empty); otherwise key is unused.
std::unique_ptr<HashState> NewHash(DigestAlg alg, bool keyed, const uint8_t* key, uint32_t keyLen);

// key is 16, 24 or 32 bytes, iv one block (the initial counter for CTR).
std::unique_ptr<CipherState> NewCipher(CipherMode mode, bool encrypt, const uint8_t* key,
                                       uint32_t keyLen, const uint8_t* iv);

}  // namespace zuprov
