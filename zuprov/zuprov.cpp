// ZuProv: the cryptographic provider behind the Zu client. Hashes (plain and
// keyed), random bytes and AES are real and come from the system's backend
// (backend.h); CRC-32 comes from zlib on every system. Public-key signatures
// and key agreement are not provided here and say so in their status.
//
// This file is the one exports layer: names, sizes, argument checks and the
// status records are decided here, so that every backend gives the same
// answers to the same calls.
#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "crypto/zu_abi.h"
#include "zuprov/backend.h"

#ifdef _WIN32
// The status messages are freed by the client with the system's task allocator.
#include <windows.h>
// (after windows.h, which it builds on)
#include <objbase.h>
#define ZU_EXPORT extern "C" __declspec(dllexport)
#else
#include "platform/win32_system.h"
#define ZU_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using zuprov::CipherMode;
using zuprov::DigestAlg;

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

ZuStatus* List(ZuStatus* st, char16_t** out, std::u16string_view list) {
    if (!out) return Fail(st, ZuErrInvalidArgument, "ZuProv: null output pointer");
    *out = TaskString(list);
    return *out ? Ok(st) : Fail(st, ZuErrGeneral, "ZuProv: out of memory");
}

// ---- hashes ----------------------------------------------------------------

struct DigestInfo {
    const char* name;
    DigestAlg alg;
};

const DigestInfo* DigestByName(std::string_view name) {
    static const DigestInfo kDigests[] = {
        {"sha256", DigestAlg::Sha256}, {"sha512", DigestAlg::Sha512}, {"sha384", DigestAlg::Sha384},
        {"sha224", DigestAlg::Sha224}, {"sha1", DigestAlg::Sha1},     {"md5", DigestAlg::Md5}};
    for (const auto& d : kDigests)
        if (EqualNoCase(name, d.name)) return &d;
    return nullptr;
}

struct Hash {
    uint32_t size = 0;
    bool crc = false;  // CRC-32, the one algorithm that is not the backend's
    uLong crcValue = 0;
    std::unique_ptr<zuprov::HashState> state;
};

// ---- symmetric ciphers -----------------------------------------------------

struct CipherInfo {
    const char* name;
    CipherMode mode;
    uint32_t keyLen;
};

const CipherInfo* CipherByName(std::string_view name) {
    static const CipherInfo kTable[] = {
        {"aes256-ctr", CipherMode::Ctr, 32}, {"aes192-ctr", CipherMode::Ctr, 24},
        {"aes128-ctr", CipherMode::Ctr, 16}, {"aes256-cbc", CipherMode::Cbc, 32},
        {"aes192-cbc", CipherMode::Cbc, 24}, {"aes128-cbc", CipherMode::Cbc, 16}};
    for (const auto& c : kTable)
        if (EqualNoCase(name, c.name)) return &c;
    return nullptr;
}

struct Cipher {
    uint32_t blockSize = 1;
    std::unique_ptr<zuprov::CipherState> state;
};

}  // namespace

ZU_EXPORT ZuStatus* ZuInit(ZuStatus* st, uint32_t) {
    // The backends initialise themselves; make sure the random generator is usable.
    uint8_t probe;
    if (!zuprov::RandomBytes(&probe, 1))
        return Fail(st, ZuErrGeneral, "ZuProv: the random number generator is not available");
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuFree(ZuStatus* st, void* p) {
    CoTaskMemFree(p);
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuGenRandomBytes(ZuStatus* st, void* buf, uint32_t len) {
    if (!buf && len) return Fail(st, ZuErrInvalidArgument, "ZuProv: null buffer");
    if (len && !zuprov::RandomBytes(static_cast<uint8_t*>(buf), len))
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
    const CipherInfo* info = CipherByName(Ascii(alg));
    if (!info) return Fail(st, ZuErrInvalidArgument, "ZuProv: unknown cipher '" + Ascii(alg) + "'");
    if (keyLen != info->keyLen || ivLen != zuprov::kAesBlock)
        return Fail(st, ZuErrInvalidArgument, "ZuProv: wrong key or IV length for " + Ascii(alg));
    // A null key would otherwise leave the cipher keyed with whatever was there.
    if (!key || !iv) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    auto* c = new (std::nothrow) Cipher;
    if (!c || !(c->state = zuprov::NewCipher(info->mode, encrypt != 0, key, keyLen, iv))) {
        delete c;
        return Fail(st, ZuErrGeneral, "ZuProv: cipher initialisation failed");
    }
    c->blockSize = info->mode == CipherMode::Cbc ? zuprov::kAesBlock : 1;
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
    if (!c || (len && (!in || !out)))
        return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    if (len % c->blockSize)
        return Fail(st, ZuErrInvalidArgument, "ZuProv: length is not a multiple of the block size");
    if (len && !c->state->Process(in, out, len))
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
    const DigestInfo* info = DigestByName(n);
    bool crc = EqualNoCase(n, "crc32");
    if (!info && !crc)
        return Fail(st, ZuErrInvalidArgument, "ZuProv: unknown hash algorithm '" + n + "'");
    auto* h = new (std::nothrow) Hash;
    if (!h) return Fail(st, ZuErrGeneral, "ZuProv: out of memory");
    if (crc) {
        h->crc = true;
        h->size = 4;
        h->crcValue = crc32(0L, Z_NULL, 0);
    } else {
        h->size = zuprov::DigestSize(info->alg);
        h->state = zuprov::NewHash(info->alg, false, nullptr, 0);
        if (!h->state) {
            delete h;
            return Fail(st, ZuErrGeneral, "ZuProv: hash initialisation failed");
        }
    }
    *out = h;
    return Ok(st);
}

ZU_EXPORT ZuStatus* ZuHashKeyedInit(ZuStatus* st, ZuHandle* out, const char16_t* name,
                                    const uint8_t* key, uint32_t keyLen) {
    if (!out || !name || (keyLen && !key))
        return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    std::string n = Ascii(name);
    const DigestInfo* info =
        n.size() >= 5 && EqualNoCase(n.substr(0, 5), "hmac-") ? DigestByName(n.substr(5)) : nullptr;
    if (!info) return Fail(st, ZuErrInvalidArgument, "ZuProv: unknown keyed hash '" + n + "'");
    auto* h = new (std::nothrow) Hash;
    if (h) {
        h->size = zuprov::DigestSize(info->alg);
        h->state = zuprov::NewHash(info->alg, true, key, keyLen);
    }
    if (!h || !h->state) {
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
    auto* bytes = static_cast<const uint8_t*>(data);
    bool ok = true;
    if (h->crc)
        h->crcValue = crc32(h->crcValue, bytes, len);
    else if (len)
        ok = h->state->Update(bytes, len);
    return ok ? Ok(st) : Fail(st, ZuErrGeneral, "ZuProv: hashing failed");
}

ZU_EXPORT ZuStatus* ZuHashDigestSize(ZuStatus* st, ZuHandle handle, uint32_t* size) {
    auto* h = static_cast<Hash*>(handle);
    if (!h || !size) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    *size = h->size;
    return Ok(st);
}

// Finishes the digest and starts the next one from scratch.
ZU_EXPORT ZuStatus* ZuHashDigest(ZuStatus* st, ZuHandle handle, uint8_t* buf, uint32_t size) {
    auto* h = static_cast<Hash*>(handle);
    if (!h || !buf) return Fail(st, ZuErrInvalidArgument, "ZuProv: null argument");
    if (size < h->size) return Fail(st, ZuErrBufferTooSmall, "ZuProv: digest buffer too small");
    if (h->crc) {
        uLong v = h->crcValue;
        buf[0] = static_cast<uint8_t>(v >> 24);
        buf[1] = static_cast<uint8_t>(v >> 16);
        buf[2] = static_cast<uint8_t>(v >> 8);
        buf[3] = static_cast<uint8_t>(v);
        h->crcValue = crc32(0L, Z_NULL, 0);
        return Ok(st);
    }
    return h->state->Finish(buf) ? Ok(st)
                                 : Fail(st, ZuErrGeneral, "ZuProv: finishing the hash failed");
}
