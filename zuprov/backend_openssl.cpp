// The ZuProv backend on OpenSSL's libcrypto.
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <new>

#include "zuprov/backend.h"

namespace zuprov {

namespace {

constexpr uint32_t kPart = 1u << 30;  // fits an int, a whole number of blocks

const EVP_MD* Md(DigestAlg alg) {
    switch (alg) {
        case DigestAlg::Sha256:
            return EVP_sha256();
        case DigestAlg::Sha512:
            return EVP_sha512();
        case DigestAlg::Sha384:
            return EVP_sha384();
        case DigestAlg::Sha224:
            return EVP_sha224();
        case DigestAlg::Sha1:
            return EVP_sha1();
        case DigestAlg::Md5:
            return EVP_md5();
    }
    return nullptr;
}

class Digest final : public HashState {
  public:
    explicit Digest(const EVP_MD* md) : md_(md) {}
    ~Digest() override { EVP_MD_CTX_free(ctx_); }
    bool Start() { return (ctx_ = EVP_MD_CTX_new()) && EVP_DigestInit_ex(ctx_, md_, nullptr) == 1; }
    bool Update(const uint8_t* data, uint32_t len) override {
        return EVP_DigestUpdate(ctx_, data, len) == 1;
    }
    bool Finish(uint8_t* out) override {
        unsigned int outLen = 0;
        return EVP_DigestFinal_ex(ctx_, out, &outLen) == 1 &&
               EVP_DigestInit_ex(ctx_, md_, nullptr) == 1;
    }

  private:
    const EVP_MD* md_;
    EVP_MD_CTX* ctx_ = nullptr;
};

class Hmac final : public HashState {
  public:
    ~Hmac() override { EVP_MAC_CTX_free(ctx_); }
    bool Start(const EVP_MD* md, const uint8_t* key, uint32_t keyLen) {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        ctx_ = mac ? EVP_MAC_CTX_new(mac) : nullptr;
        EVP_MAC_free(mac);
        size_ = static_cast<size_t>(EVP_MD_get_size(md));
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>(EVP_MD_get0_name(md)), 0),
            OSSL_PARAM_END};
        // A null key means "keep the key already set", so an empty key still
        // needs a pointer.
        static const uint8_t kEmpty = 0;
        return ctx_ && EVP_MAC_init(ctx_, key ? key : &kEmpty, keyLen, params) == 1;
    }
    bool Update(const uint8_t* data, uint32_t len) override {
        return EVP_MAC_update(ctx_, data, len) == 1;
    }
    bool Finish(uint8_t* out) override {
        size_t outLen = 0;
        // Initialising again without a key keeps the key already set.
        return EVP_MAC_final(ctx_, out, &outLen, size_) == 1 &&
               EVP_MAC_init(ctx_, nullptr, 0, nullptr) == 1;
    }

  private:
    EVP_MAC_CTX* ctx_ = nullptr;
    size_t size_ = 0;
};

class Aes final : public CipherState {
  public:
    ~Aes() override { EVP_CIPHER_CTX_free(ctx_); }
    bool Start(const EVP_CIPHER* cipher, bool encrypt, const uint8_t* key, const uint8_t* iv) {
        if (!(ctx_ = EVP_CIPHER_CTX_new()) ||
            EVP_CipherInit_ex(ctx_, cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1)
            return false;
        // The caller hands whole blocks for CBC; nothing may be held back.
        EVP_CIPHER_CTX_set_padding(ctx_, 0);
        return true;
    }
    bool Process(const uint8_t* in, uint8_t* out, uint32_t len) override {
        // EVP takes an int: hand over large requests in whole-block parts.
        while (len) {
            uint32_t part = len < kPart ? len : kPart;
            int outLen = 0;
            if (EVP_CipherUpdate(ctx_, out, &outLen, in, static_cast<int>(part)) != 1 ||
                outLen != static_cast<int>(part))
                return false;
            in += part;
            out += part;
            len -= part;
        }
        return true;
    }

  private:
    EVP_CIPHER_CTX* ctx_ = nullptr;
};

const EVP_CIPHER* AesCipher(CipherMode mode, uint32_t keyLen) {
    bool ctr = mode == CipherMode::Ctr;
    switch (keyLen) {
        case 16:
            return ctr ? EVP_aes_128_ctr() : EVP_aes_128_cbc();
        case 24:
            return ctr ? EVP_aes_192_ctr() : EVP_aes_192_cbc();
        case 32:
            return ctr ? EVP_aes_256_ctr() : EVP_aes_256_cbc();
    }
    return nullptr;
}

}  // namespace

bool RandomBytes(uint8_t* buf, uint32_t len) {
    // RAND_bytes takes an int as well.
    while (len) {
        uint32_t part = len < kPart ? len : kPart;
        if (RAND_bytes(buf, static_cast<int>(part)) != 1) return false;
        buf += part;
        len -= part;
    }
    return true;
}

std::unique_ptr<HashState> NewHash(DigestAlg alg, bool keyed, const uint8_t* key, uint32_t keyLen) {
    const EVP_MD* md = Md(alg);
    if (!md) return nullptr;
    if (keyed) {
        std::unique_ptr<Hmac> h(new (std::nothrow) Hmac);
        if (!h || !h->Start(md, key, keyLen)) return nullptr;
        return h;
    }
    std::unique_ptr<Digest> h(new (std::nothrow) Digest(md));
    if (!h || !h->Start()) return nullptr;
    return h;
}

std::unique_ptr<CipherState> NewCipher(CipherMode mode, bool encrypt, const uint8_t* key,
                                       uint32_t keyLen, const uint8_t* iv) {
    const EVP_CIPHER* cipher = AesCipher(mode, keyLen);
    if (!cipher) return nullptr;
    std::unique_ptr<Aes> c(new (std::nothrow) Aes);
    if (!c || !c->Start(cipher, encrypt, key, iv)) return nullptr;
    return c;
}

}  // namespace zuprov
