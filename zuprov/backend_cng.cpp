// The ZuProv backend on Windows CNG (bcrypt). CNG has no SHA-224, which comes
// from sha224.cpp, and no counter mode, which is built here on single-block
// (ECB) encryptions of the counter.
#include <windows.h>
// (after windows.h, which it builds on)
#include <bcrypt.h>

#include <cstring>
#include <new>

#include "zuprov/backend.h"
#include "zuprov/sha224.h"

namespace zuprov {

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// CNG's buffers are not const even where it only reads them.
PUCHAR In(const uint8_t* p) {
    return const_cast<PUCHAR>(p);
}

constexpr int kDigests = 6;

int Index(DigestAlg alg) {
    return static_cast<int>(alg);
}

// Opening an algorithm provider is costly, and an open one serves every
// thread, so each is opened once, on first use, and kept for the life of the
// process: the client keeps this library loaded for good, and closing handles
// while the process shuts down would race with bcrypt's own unloading. A
// provider that fails to open stays null and fails the objects that need it.
struct Providers {
    BCRYPT_ALG_HANDLE hash[kDigests] = {};
    BCRYPT_ALG_HANDLE hmac[kDigests] = {};
    BCRYPT_ALG_HANDLE aesEcb = nullptr;
    BCRYPT_ALG_HANDLE aesCbc = nullptr;

    Providers() {
        static const struct {
            DigestAlg alg;
            LPCWSTR name;
        } kNames[] = {{DigestAlg::Sha256, BCRYPT_SHA256_ALGORITHM},
                      {DigestAlg::Sha512, BCRYPT_SHA512_ALGORITHM},
                      {DigestAlg::Sha384, BCRYPT_SHA384_ALGORITHM},
                      {DigestAlg::Sha1, BCRYPT_SHA1_ALGORITHM},
                      {DigestAlg::Md5, BCRYPT_MD5_ALGORITHM}};
        for (const auto& n : kNames) {
            Open(&hash[Index(n.alg)], n.name, 0);
            Open(&hmac[Index(n.alg)], n.name, BCRYPT_ALG_HANDLE_HMAC_FLAG);
        }
        OpenAes(&aesEcb, BCRYPT_CHAIN_MODE_ECB, sizeof BCRYPT_CHAIN_MODE_ECB);
        OpenAes(&aesCbc, BCRYPT_CHAIN_MODE_CBC, sizeof BCRYPT_CHAIN_MODE_CBC);
    }

    static void Open(BCRYPT_ALG_HANDLE* out, LPCWSTR name, ULONG flags) {
        if (!Succeeded(BCryptOpenAlgorithmProvider(out, name, nullptr, flags))) *out = nullptr;
    }

    static void OpenAes(BCRYPT_ALG_HANDLE* out, LPCWSTR mode, ULONG modeSize) {
        Open(out, BCRYPT_AES_ALGORITHM, 0);
        if (*out && !Succeeded(BCryptSetProperty(*out, BCRYPT_CHAINING_MODE,
                                                 reinterpret_cast<PUCHAR>(const_cast<LPWSTR>(mode)),
                                                 modeSize, 0))) {
            BCryptCloseAlgorithmProvider(*out, 0);
            *out = nullptr;
        }
    }
};

const Providers& Algorithms() {
    static const Providers providers;
    return providers;
}

// CNG finishes a hash object for good, so the object that was set up at the
// start (with its key, for HMAC) is kept untouched and each digest runs on a
// copy of it.
class CngHash final : public HashState {
  public:
    explicit CngHash(uint32_t size) : size_(size) {}
    ~CngHash() override {
        if (current_) BCryptDestroyHash(current_);
        if (start_) BCryptDestroyHash(start_);
    }
    bool Start(BCRYPT_ALG_HANDLE alg, const uint8_t* key, uint32_t keyLen) {
        return alg && Succeeded(BCryptCreateHash(alg, &start_, nullptr, 0, In(key), keyLen, 0)) &&
               Restart();
    }
    bool Update(const uint8_t* data, uint32_t len) override {
        return current_ && Succeeded(BCryptHashData(current_, In(data), len, 0));
    }
    bool Finish(uint8_t* out) override {
        bool ok = current_ && Succeeded(BCryptFinishHash(current_, out, size_, 0));
        return Restart() && ok;
    }

  private:
    bool Restart() {
        if (current_) BCryptDestroyHash(current_);
        current_ = nullptr;
        if (Succeeded(BCryptDuplicateHash(start_, &current_, nullptr, 0, 0))) return true;
        current_ = nullptr;
        return false;
    }

    uint32_t size_;
    BCRYPT_HASH_HANDLE start_ = nullptr;
    BCRYPT_HASH_HANDLE current_ = nullptr;
};

class CngAes final : public CipherState {
  public:
    CngAes(CipherMode mode, bool encrypt, const uint8_t* iv) : mode_(mode), encrypt_(encrypt) {
        std::memcpy(chain_, iv, kAesBlock);
    }
    ~CngAes() override {
        if (key_) BCryptDestroyKey(key_);
        SecureZeroMemory(stream_, sizeof stream_);
    }
    bool Start(const uint8_t* key, uint32_t keyLen) {
        const Providers& p = Algorithms();
        BCRYPT_ALG_HANDLE alg = mode_ == CipherMode::Cbc ? p.aesCbc : p.aesEcb;
        return alg &&
               Succeeded(BCryptGenerateSymmetricKey(alg, &key_, nullptr, 0, In(key), keyLen, 0));
    }
    bool Process(const uint8_t* in, uint8_t* out, uint32_t len) override {
        return mode_ == CipherMode::Cbc ? Cbc(in, out, len) : Ctr(in, out, len);
    }

  private:
    // The chaining value is carried here rather than left to CNG, which hands
    // a fresh copy to each call: CNG writes back into the IV buffer, but
    // whether that buffer is the next call's chaining value is its own affair.
    bool Cbc(const uint8_t* in, uint8_t* out, uint32_t len) {
        uint8_t lastIn[kAesBlock];
        std::memcpy(lastIn, in + len - kAesBlock, kAesBlock);  // in may be out
        uint8_t iv[kAesBlock];
        std::memcpy(iv, chain_, kAesBlock);
        ULONG done = 0;
        NTSTATUS status =
            encrypt_ ? BCryptEncrypt(key_, In(in), len, nullptr, iv, kAesBlock, out, len, &done, 0)
                     : BCryptDecrypt(key_, In(in), len, nullptr, iv, kAesBlock, out, len, &done, 0);
        if (!Succeeded(status) || done != len) return false;
        std::memcpy(chain_, encrypt_ ? out + len - kAesBlock : lastIn, kAesBlock);
        return true;
    }

    // The counter is the whole block, big-endian, wrapping at 2^128.
    void Increment() {
        for (int i = kAesBlock - 1; i >= 0 && ++chain_[i] == 0; --i) {
        }
    }

    bool Ctr(const uint8_t* in, uint8_t* out, uint32_t len) {
        // First the key stream left over from a call that ended inside a block.
        for (; len && used_ < kAesBlock; --len) *out++ = *in++ ^ stream_[used_++];
        constexpr uint32_t kChunk = 64 * kAesBlock;
        uint8_t ks[kChunk];
        while (len) {
            uint32_t blocks = (len + kAesBlock - 1) / kAesBlock;
            uint32_t n = (blocks < kChunk / kAesBlock ? blocks : kChunk / kAesBlock) * kAesBlock;
            for (uint32_t b = 0; b < n; b += kAesBlock) {
                std::memcpy(ks + b, chain_, kAesBlock);
                Increment();
            }
            ULONG done = 0;
            if (!Succeeded(BCryptEncrypt(key_, ks, n, nullptr, nullptr, 0, ks, n, &done, 0)) ||
                done != n) {
                SecureZeroMemory(ks, sizeof ks);
                return false;
            }
            uint32_t take = len < n ? len : n;
            for (uint32_t i = 0; i < take; ++i) out[i] = in[i] ^ ks[i];
            if (take < n) {  // ended inside the last block: keep the rest of it
                std::memcpy(stream_, ks + n - kAesBlock, kAesBlock);
                used_ = kAesBlock - (n - take);
            }
            in += take;
            out += take;
            len -= take;
        }
        SecureZeroMemory(ks, sizeof ks);
        return true;
    }

    CipherMode mode_;
    bool encrypt_;
    BCRYPT_KEY_HANDLE key_ = nullptr;
    uint8_t chain_[kAesBlock];        // CBC: the previous cipher block; CTR: the next counter
    uint8_t stream_[kAesBlock] = {};  // CTR: the current block's key stream
    uint32_t used_ = kAesBlock;       // CTR: bytes of stream_ already used
};

}  // namespace

bool RandomBytes(uint8_t* buf, uint32_t len) {
    return Succeeded(BCryptGenRandom(nullptr, buf, len, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

std::unique_ptr<HashState> NewHash(DigestAlg alg, bool keyed, const uint8_t* key, uint32_t keyLen) {
    if (alg == DigestAlg::Sha224) return NewSha224(keyed, key, keyLen);
    const Providers& p = Algorithms();
    BCRYPT_ALG_HANDLE handle = keyed ? p.hmac[Index(alg)] : p.hash[Index(alg)];
    // HMAC pads its key with zeros to a block, so an empty key is the same as
    // a single zero byte, which spares CNG a secret of no length.
    static const uint8_t kZero = 0;
    if (keyed && !keyLen) {
        key = &kZero;
        keyLen = 1;
    }
    std::unique_ptr<CngHash> h(new (std::nothrow) CngHash(DigestSize(alg)));
    if (!h || !h->Start(handle, keyed ? key : nullptr, keyed ? keyLen : 0)) return nullptr;
    return h;
}

std::unique_ptr<CipherState> NewCipher(CipherMode mode, bool encrypt, const uint8_t* key,
                                       uint32_t keyLen, const uint8_t* iv) {
    std::unique_ptr<CngAes> c(new (std::nothrow) CngAes(mode, encrypt, iv));
    if (!c || !c->Start(key, keyLen)) return nullptr;
    return c;
}

}  // namespace zuprov
