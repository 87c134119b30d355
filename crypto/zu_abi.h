// The calling convention between the cryptographic provider client and the
// provider library (ZuProv.dll, libZuProv.so on Linux). Every export fills
// the caller's status record and returns it. Messages and name lists are
// UTF-16 strings allocated with CoTaskMemAlloc; the caller frees them with
// CoTaskMemFree.
#pragma once

#include <cstdint>

extern "C" {

struct ZuStatus {
    uint8_t success;     // 1 on success
    uint32_t code;       // ZuErr* on failure
    char16_t* message;   // CoTaskMemAlloc'ed text, or null
};

typedef void* ZuHandle;

enum : uint32_t {
    ZuErrGeneral = 0,
    ZuErrInvalidArgument = 1,
    ZuErrInvalidDataFormat = 2,
    ZuErrBufferTooSmall = 3,
    ZuErrNotProvided = 4,
};

// The 44 exports, in the order the client resolves them.
#define ZU_EXPORTS(X)                                                                         \
    X(ZuInit, (ZuStatus * st, uint32_t flags))                                                \
    X(ZuFree, (ZuStatus * st, void* p))                                                       \
    X(ZuGenRandomBytes, (ZuStatus * st, void* buf, uint32_t len))                             \
    X(ZuPkEnum, (ZuStatus * st, char16_t** names))                                            \
    X(ZuPkPrivGenerate, (ZuStatus * st, ZuHandle * out, const char16_t* alg, uint32_t bits))  \
    X(ZuPkPrivInit, (ZuStatus * st, ZuHandle * out, const uint8_t* data, uint32_t len))       \
    X(ZuPkPrivFree, (ZuStatus * st, ZuHandle h))                                              \
    X(ZuPkPrivAlg, (ZuStatus * st, ZuHandle h, char16_t** alg))                               \
    X(ZuPkPrivBitCount, (ZuStatus * st, ZuHandle h, uint32_t * bits))                         \
    X(ZuPkPrivStoredSize, (ZuStatus * st, ZuHandle h, uint32_t * size))                       \
    X(ZuPkPrivStore, (ZuStatus * st, ZuHandle h, uint8_t * buf, uint32_t size))               \
    X(ZuPkPrivSigSize, (ZuStatus * st, ZuHandle h, uint32_t * size))                          \
    X(ZuPkPrivSign, (ZuStatus * st, ZuHandle h, const uint8_t* data, uint32_t len,            \
                     uint8_t* sig, uint32_t sigSize))                                         \
    X(ZuPkPubInit, (ZuStatus * st, ZuHandle * out, const uint8_t* data, uint32_t len))        \
    X(ZuPkPubFromPriv, (ZuStatus * st, ZuHandle * out, ZuHandle priv))                        \
    X(ZuPkPubFree, (ZuStatus * st, ZuHandle h))                                               \
    X(ZuPkPubAlg, (ZuStatus * st, ZuHandle h, char16_t** alg))                                \
    X(ZuPkPubBitCount, (ZuStatus * st, ZuHandle h, uint32_t * bits))                          \
    X(ZuPkPubStoredSize, (ZuStatus * st, ZuHandle h, uint32_t * size))                        \
    X(ZuPkPubStore, (ZuStatus * st, ZuHandle h, uint8_t * buf, uint32_t size))                \
    X(ZuPkPubVerify, (ZuStatus * st, ZuHandle h, const uint8_t* data, uint32_t len,           \
                      const uint8_t* sig, uint32_t sigLen, uint8_t* valid))                   \
    X(ZuDhInit, (ZuStatus * st, ZuHandle * out, const char16_t* group))                       \
    X(ZuDhFree, (ZuStatus * st, ZuHandle h))                                                  \
    X(ZuDhValidate, (ZuStatus * st, ZuHandle h, const uint8_t* pub, uint32_t len))            \
    X(ZuDhPrivKeySize, (ZuStatus * st, ZuHandle h, uint32_t * size))                          \
    X(ZuDhPubKeySize, (ZuStatus * st, ZuHandle h, uint32_t * size))                           \
    X(ZuDhGenKeys, (ZuStatus * st, ZuHandle h, uint8_t * pub, uint32_t size))                 \
    X(ZuDhAgreedSize, (ZuStatus * st, ZuHandle h, uint32_t * size))                           \
    X(ZuDhAgree, (ZuStatus * st, ZuHandle h, const uint8_t* peer, uint32_t len, uint8_t* out, \
                  uint32_t size))                                                             \
    X(ZuSymCipherEnum, (ZuStatus * st, char16_t** names))                                     \
    X(ZuSymCipherInit, (ZuStatus * st, ZuHandle * out, const char16_t* alg, const uint8_t* key, \
                        uint32_t keyLen, const uint8_t* iv, uint32_t ivLen, uint8_t encrypt))   \
    X(ZuSymCipherFree, (ZuStatus * st, ZuHandle h))                                           \
    X(ZuSymCipherMandatoryBlockSize, (ZuStatus * st, ZuHandle h, uint32_t * size))            \
    X(ZuSymCipherOptimalBlockSize, (ZuStatus * st, ZuHandle h, uint32_t * size))              \
    X(ZuSymCipherProcess, (ZuStatus * st, ZuHandle h, const uint8_t* in, uint8_t* out,        \
                           uint32_t len))                                                     \
    X(ZuSymCipherProcessInPlace, (ZuStatus * st, ZuHandle h, uint8_t * buf, uint32_t len))    \
    X(ZuHashUnkeyedEnum, (ZuStatus * st, char16_t** names))                                   \
    X(ZuHashKeyedEnum, (ZuStatus * st, char16_t** names))                                     \
    X(ZuHashUnkeyedInit, (ZuStatus * st, ZuHandle * out, const char16_t* name))               \
    X(ZuHashKeyedInit, (ZuStatus * st, ZuHandle * out, const char16_t* name,                  \
                        const uint8_t* key, uint32_t keyLen))                                 \
    X(ZuHashFree, (ZuStatus * st, ZuHandle h))                                                \
    X(ZuHashUpdate, (ZuStatus * st, ZuHandle h, const void* data, uint32_t len))              \
    X(ZuHashDigestSize, (ZuStatus * st, ZuHandle h, uint32_t * size))                         \
    X(ZuHashDigest, (ZuStatus * st, ZuHandle h, uint8_t * buf, uint32_t size))

#define ZU_DECLARE_TYPE(name, params) typedef ZuStatus*(*name##Fn) params;
ZU_EXPORTS(ZU_DECLARE_TYPE)
#undef ZU_DECLARE_TYPE

}  // extern "C"
