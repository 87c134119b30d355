// ZuProv: the cryptographic provider behind the Zu client. Hashes (plain and
// keyed), random bytes and symmetric ciphers are real and come from OpenSSL's
// libcrypto (CRC-32 from zlib); public-key signatures and key agreement are
// not provided here and say so in their status.
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "crypto/zu_abi.h"
#include "platform/win32_system.h"

#define ZU_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Preferred first: the client's list only filters, so the provider's order
// picks the algorithm. SHA-256 leads (secure and hardware-accelerated on
// current CPUs); SHA-512 and its truncations follow; the legacy SHA-1, MD5 and
// CRC-32 come last and are only chosen when a client offers nothing better.
constexpr char16_t kUnkeyedHashes[] = u"sha256,sha512,sha384,sha224,sha1,md5,crc32";
constexpr char16_t kKeyedHashes[] = u"hmac-sha256,hmac-sha512,hmac-sha1,hmac-md5";
constexpr char16_t kCiphers[] = u"aes256-ctr,aes192-ctr,aes128-ctr,aes256-cbc,aes192-cbc,aes128-cbc";

char16_t* TaskString(std::u16string_view s) {
    auto* p = static_cast<char16_t*>(CoTaskMemAlloc((s.size() + 1) * sizeof(char16_t)));
    if (!p) return nullptr;
    std::memcpy(p, s.data(), s.size() * sizeof(char16_t));
    p[s.size()] = 0;
    return p;
}

ZuStatus* Ok(ZuStatus* st) {
    st->success = 1;
    st->code = 0;
    st->message = nullptr;
    return st;
}

ZuStatus* Fail(ZuStatus* st, uint32_t code, std::string_view text) {
    st->success = 0;
    st->code = code;
    std::u16string wide(text.begin(), text.end());  // our texts are ASCII
    st->message = TaskString(wide);
    return st;
}

ZuStatus* NotProvided(ZuStatus* st, const char* what) {
    return Fail(st, ZuErrNotProvided,
                std::string("ZuProv: ") + what + " is not provided by this cryptographic provider");
}

std::string Ascii(const char16_t* s) {
    std::string out;
    if (s)
        for (; *s; ++s) out += (*s < 128) ? static_cast<char>(*s) : '?';
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// ---- hashes ----------------------------------------------------------------

struct Hash {
    const EVP_MD* md = nullptr;      // digest hashes
    EVP_MD_CTX* ctx = nullptr;
    EVP_MAC_CTX* mac = nullptr;      // keyed hashes
    bool crc = false;                // CRC-32
    uLong crcValue = 0;
    std::string macDigest;

    ~Hash() {
        EVP_MD_CTX_free(ctx);
        EVP_MAC_CTX_free(mac);
    }
};

const EVP_MD* DigestByName(std::string_view name) {
    struct {
        const char* name;
        const EVP_MD* (*md)();
    } static const kDigests[] = {{"sha256", EVP_sha256}, {"sha512", EVP_sha512},
                                 {"sha384", EVP_sha384}, {"sha224", EVP_sha224},
                                 {"sha1", EVP_sha1},     {"md5", EVP_md5}};
    for (const auto& d : kDigests)
        if (EqualNoCase(name, d.name)) return d.md();
    return nullptr;
}

// ---- symmetric ciphers -----------------------------------------------------

struct Cipher {
    EVP_CIPHER_CTX* ctx = nullptr;
    uint32_t blockSize = 1;
    ~Cipher() { EVP_CIPHER_CTX_free(ctx); }
};

const EVP_CIPHER* CipherByName(std::string_view name) {
    struct {
        const char* name;
        const EVP_CIPHER* (*cipher)();
    } static const kTable[] = {{"aes256-ctr", EVP_aes_256_ctr}, {"aes192-ctr", EVP_aes_192_ctr},
                               {"aes128-ctr", EVP_aes_128_ctr}, {"aes256-cbc", EVP_aes_256_cbc},
                               {"aes192-cbc", EVP_aes_192_cbc}, {"aes128-cbc", EVP_aes_128_cbc}};
    for (const auto& c : kTable)
        if (EqualNoCase(name, c.name)) return c.cipher();
    return nullptr;
}

ZuStatus* List(ZuStatus* st, char16_t** out, std::u16string_view list) {
    if (!out) return Fail(st, ZuErrInvalidArgument, "ZuProv: null output pointer");
    *out = TaskString(list);
    return *out ? Ok(st) : Fail(st, ZuErrGeneral, "ZuProv: out of memory");
}

}  // namespace

ZU_EXPORT ZuStatus* ZuInit(ZuStatus* st, uint32_t) {
    // libcrypto initialises itself; make sure its random generator is usable.
    unsigned char probe;
    if (RAND_bytes(&probe, 1) != 1)
        return Fail(st, ZuErrGeneral, "ZuProv: the random number generator is not available");
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuFree(ZuStatus* st, void* p) {
    CoTaskMemFree(p);
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuGenRandomBytes(ZuStatus* st, void* buf, uint32_t len) {
    if (!buf && len) return Fail(st, ZuErrInvalidArgument, "ZuProv: null buffer");
    if (len && RAND_bytes(static_cast<unsigned char*>(buf), static_cast<int>(len)) != 1)
        return Fail(st, ZuErrGeneral, "ZuProv: generating random bytes failed");
    return Ok(st);
}

// ---- public keys and key agreement: not provided ---------------------------

ZU_EXPORT ZuStatus* ZuPkEnum(ZuStatus* st, char16_t** names) { return List(st, names, u""); }
#define ZU_NOT_PROVIDED(name, params, what) \
    ZU_EXPORT ZuStatus* name params { return NotProvided(st, what); }
ZU_NOT_PROVIDED(ZuPkPrivGenerate, (ZuStatus* st, ZuHandle*, const char16_t*, uint32_t),
                "private-key generation")
ZU_NOT_PROVIDED(ZuPkPrivInit, (ZuStatus* st, ZuHandle*, const uint8_t*, uint32_t), "private keys")
ZU_NOT_PROVIDED(ZuPkPrivFree, (ZuStatus* st, ZuHandle), "private keys")
ZU_NOT_PROVIDED(ZuPkPrivAlg, (ZuStatus* st, ZuHandle, char16_t**), "private keys")
ZU_NOT_PROVIDED(ZuPkPrivBitCount, (ZuStatus* st, ZuHandle, uint32_t*), "private keys")
ZU_NOT_PROVIDED(ZuPkPrivStoredSize, (ZuStatus* st, ZuHandle, uint32_t*), "private keys")
ZU_NOT_PROVIDED(ZuPkPrivStore, (ZuStatus* st, ZuHandle, uint8_t*, uint32_t), "private keys")
ZU_NOT_PROVIDED(ZuPkPrivSigSize, (ZuStatus* st, ZuHandle, uint32_t*), "signatures")
ZU_NOT_PROVIDED(ZuPkPrivSign,
                (ZuStatus* st, ZuHandle, const uint8_t*, uint32_t, uint8_t*, uint32_t),
                "signatures")
ZU_NOT_PROVIDED(ZuPkPubInit, (ZuStatus* st, ZuHandle*, const uint8_t*, uint32_t), "public keys")
ZU_NOT_PROVIDED(ZuPkPubFromPriv, (ZuStatus* st, ZuHandle*, ZuHandle), "public keys")
ZU_NOT_PROVIDED(ZuPkPubFree, (ZuStatus* st, ZuHandle), "public keys")
ZU_NOT_PROVIDED(ZuPkPubAlg, (ZuStatus* st, ZuHandle, char16_t**), "public keys")
ZU_NOT_PROVIDED(ZuPkPubBitCount, (ZuStatus* st, ZuHandle, uint32_t*), "public keys")
ZU_NOT_PROVIDED(ZuPkPubStoredSize, (ZuStatus* st, ZuHandle, uint32_t*), "public keys")
ZU_NOT_PROVIDED(ZuPkPubStore, (ZuStatus* st, ZuHandle, uint8_t*, uint32_t), "public keys")
ZU_NOT_PROVIDED(ZuPkPubVerify,
                (ZuStatus* st, ZuHandle, const uint8_t*, uint32_t, const uint8_t*, uint32_t,
                 uint8_t*),
                "signature verification")
ZU_NOT_PROVIDED(ZuDhInit, (ZuStatus* st, ZuHandle*, const char16_t*), "key agreement")
ZU_NOT_PROVIDED(ZuDhFree, (ZuStatus* st, ZuHandle), "key agreement")
ZU_NOT_PROVIDED(ZuDhValidate, (ZuStatus* st, ZuHandle, const uint8_t*, uint32_t), "key agreement")
ZU_NOT_PROVIDED(ZuDhPrivKeySize, (ZuStatus* st, ZuHandle, uint32_t*), "key agreement")
ZU_NOT_PROVIDED(ZuDhPubKeySize, (ZuStatus* st, ZuHandle, uint32_t*), "key agreement")
ZU_NOT_PROVIDED(ZuDhGenKeys, (ZuStatus* st, ZuHandle, uint8_t*, uint32_t), "key agreement")
ZU_NOT_PROVIDED(ZuDhAgreedSize, (ZuStatus* st, ZuHandle, uint32_t*), "key agreement")
ZU_NOT_PROVIDED(ZuDhAgree,
                (ZuStatus* st, ZuHandle, const uint8_t*, uint32_t, uint8_t*, uint32_t),
                "key agreement")

// ---- symmetric ciphers -----------------------------------------------------

ZU_EXPORT ZuStatus* ZuSymCipherEnum(ZuStatus* st, char16_t** names) {
    return List(st, names, kCiphers);
}

ZU_EXPORT ZuStatus* ZuSymCipherInit(ZuStatus* st, ZuHandle* out, const char16_t* alg,
                                    const uint8_t* key, uint32_t keyLen, const uint8_t* iv,
                                    uint32_t ivLen, uint8_t encrypt) {
    if (!out) return Fail(st, ZuErrInvalidArgument, "ZuProv: null output handle");
    const EVP_CIPHER* cipher = CipherByName(Ascii(alg));
    if (!cipher) return Fail(st, ZuErrInvalidArgument, "ZuProv: unknown cipher '" + Ascii(alg) + "'");
    if (keyLen != static_cast<uint32_t>(EVP_CIPHER_get_key_length(cipher)) ||
        ivLen != static_cast<uint32_t>(EVP_CIPHER_get_iv_length(cipher)))
        return Fail(st, ZuErrInvalidArgument, "ZuProv: wrong key or IV length for " + Ascii(alg));
    auto* c = new (std::nothrow) Cipher;
    if (!c || !(c->ctx = EVP_CIPHER_CTX_new()) ||
        EVP_CipherInit_ex(c->ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1) {
        delete c;
        return Fail(st, ZuErrGeneral, "ZuProv: cipher initialisation failed");
    }
    EVP_CIPHER_CTX_set_padding(c->ctx, 0);
    c->blockSize = static_cast<uint32_t>(EVP_CIPHER_get_block_size(cipher));
    *out = c;
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuSymCipherFree(ZuStatus* st, ZuHandle h) {
    delete static_cast<Cipher*>(h);
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuSymCipherMandatoryBlockSize(ZuStatus* st, ZuHandle h, uint32_t* size) {
    if (!h || !size) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    *size = static_cast<Cipher*>(h)->blockSize;
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuSymCipherOptimalBlockSize(ZuStatus* st, ZuHandle h, uint32_t* size) {
    if (!h || !size) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    *size = 16 * 1024;
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuSymCipherProcess(ZuStatus* st, ZuHandle h, const uint8_t* in, uint8_t* out,
                                       uint32_t len) {
    auto* c = static_cast<Cipher*>(h);
    if (!c || (len && (!in || !out))) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    if (len % c->blockSize)
        return Fail(st, ZuErrInvalidArgument, "ZuProv: length is not a multiple of the block size");
    int outLen = 0;
    if (len && EVP_CipherUpdate(c->ctx, out, &outLen, in, static_cast<int>(len)) != 1)
        return Fail(st, ZuErrGeneral, "ZuProv: cipher operation failed");
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuSymCipherProcessInPlace(ZuStatus* st, ZuHandle h, uint8_t* buf,
                                              uint32_t len) {
    return ZuSymCipherProcess(st, h, buf, buf, len);
}

// ---- hashes ----------------------------------------------------------------

ZU_EXPORT ZuStatus* ZuHashUnkeyedEnum(ZuStatus* st, char16_t** names) {
    return List(st, names, kUnkeyedHashes);
}

ZU_EXPORT ZuStatus* ZuHashKeyedEnum(ZuStatus* st, char16_t** names) {
    return List(st, names, kKeyedHashes);
}

ZU_EXPORT ZuStatus* ZuHashUnkeyedInit(ZuStatus* st, ZuHandle* out, const char16_t* name) {
    if (!out || !name) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    std::string n = Ascii(name);
    auto* h = new (std::nothrow) Hash;
    if (!h) return Fail(st, ZuErrGeneral, "ZuProv: out of memory");
    if (EqualNoCase(n, "crc32")) {
        h->crc = true;
        h->crcValue = crc32(0L, Z_NULL, 0);
    } else if ((h->md = DigestByName(n))) {
        if (!(h->ctx = EVP_MD_CTX_new()) || EVP_DigestInit_ex(h->ctx, h->md, nullptr) != 1) {
            delete h;
            return Fail(st, ZuErrGeneral, "ZuProv: hash initialisation failed");
        }
    } else {
        delete h;
        return Fail(st, ZuErrInvalidArgument, "ZuProv: unknown hash algorithm '" + n + "'");
    }
    *out = h;
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuHashKeyedInit(ZuStatus* st, ZuHandle* out, const char16_t* name,
                                    const uint8_t* key, uint32_t keyLen) {
    if (!out || !name || (keyLen && !key))
        return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    std::string n = Ascii(name);
    if (n.size() < 5 || !EqualNoCase(n.substr(0, 5), "hmac-") || !DigestByName(n.substr(5)))
        return Fail(st, ZuErrInvalidArgument, "ZuProv: unknown keyed hash '" + n + "'");
    auto* h = new (std::nothrow) Hash;
    if (!h) return Fail(st, ZuErrGeneral, "ZuProv: out of memory");
    h->macDigest = EVP_MD_get0_name(DigestByName(n.substr(5)));
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    h->mac = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("digest", h->macDigest.data(), 0), OSSL_PARAM_END};
    if (!h->mac || EVP_MAC_init(h->mac, key, keyLen, params) != 1) {
        delete h;
        return Fail(st, ZuErrGeneral, "ZuProv: keyed hash initialisation failed");
    }
    *out = h;
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuHashFree(ZuStatus* st, ZuHandle h) {
    delete static_cast<Hash*>(h);
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuHashUpdate(ZuStatus* st, ZuHandle handle, const void* data, uint32_t len) {
    auto* h = static_cast<Hash*>(handle);
    if (!h || (len && !data)) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    bool ok = true;
    if (h->crc)
        h->crcValue = crc32(h->crcValue, static_cast<const Bytef*>(data), len);
    else if (h->mac)
        ok = EVP_MAC_update(h->mac, static_cast<const unsigned char*>(data), len) == 1;
    else
        ok = EVP_DigestUpdate(h->ctx, data, len) == 1;
    return ok ? Ok(st) : Fail(st, ZuErrGeneral, "ZuProv: hashing failed");
}

ZU_EXPORT ZuStatus* ZuHashDigestSize(ZuStatus* st, ZuHandle handle, uint32_t* size) {
    auto* h = static_cast<Hash*>(handle);
    if (!h || !size) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    if (h->crc)
        *size = 4;
    else if (h->mac)
        *size = static_cast<uint32_t>(EVP_MAC_CTX_get_mac_size(h->mac));
    else
        *size = static_cast<uint32_t>(EVP_MD_get_size(h->md));
    return Ok(st);
}

// Finishes the digest and starts the next one from scratch.
ZU_EXPORT ZuStatus* ZuHashDigest(ZuStatus* st, ZuHandle handle, uint8_t* buf, uint32_t size) {
    auto* h = static_cast<Hash*>(handle);
    if (!h || !buf) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    uint32_t need = 0;
    ZuHashDigestSize(st, handle, &need);
    if (size < need) return Fail(st, ZuErrBufferTooSmall, "ZuProv: digest buffer too small");
    if (h->crc) {
        uLong v = h->crcValue;
        buf[0] = static_cast<uint8_t>(v >> 24);
        buf[1] = static_cast<uint8_t>(v >> 16);
        buf[2] = static_cast<uint8_t>(v >> 8);
        buf[3] = static_cast<uint8_t>(v);
        h->crcValue = crc32(0L, Z_NULL, 0);
        return Ok(st);
    }
    if (h->mac) {
        size_t outLen = 0;
        // Initialising again without a key keeps the key already set.
        bool ok = EVP_MAC_final(h->mac, buf, &outLen, size) == 1 &&
                  EVP_MAC_init(h->mac, nullptr, 0, nullptr) == 1;
        return ok ? Ok(st) : Fail(st, ZuErrGeneral, "ZuProv: finishing the keyed hash failed");
    }
    unsigned int outLen = 0;
    if (EVP_DigestFinal_ex(h->ctx, buf, &outLen) != 1 ||
        EVP_DigestInit_ex(h->ctx, h->md, nullptr) != 1)
        return Fail(st, ZuErrGeneral, "ZuProv: finishing the hash failed");
    return Ok(st);
}
