// The provider library through its exports alone, loaded by the system's
// loader as the module loads it: every backend (OpenSSL on Linux, CNG on
// Windows) must give these same answers. Published vectors, input split
// across calls and blocks, HMAC with long and empty keys, AES in both modes
// and all key sizes, random bytes that stay inside the buffer, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/zu_abi.h"

#ifdef _WIN32
#include <windows.h>
// (after windows.h, which it builds on)
#include <objbase.h>
#define ZU_LIBRARY_NAME L"ZuProv.dll"
#else
#include "platform/win32_system.h"
#define ZU_LIBRARY_NAME u"ZuProv.dll"
#endif

namespace {

struct Api {
#define ZU_MEMBER(name, params) name##Fn name = nullptr;
    ZU_EXPORTS(ZU_MEMBER)
#undef ZU_MEMBER
    std::vector<std::string> missing;
};

const Api& Provider() {
    static const Api api = [] {
        Api a;
        HMODULE module = LoadLibraryW(ZU_LIBRARY_NAME);
        if (!module) {
            a.missing.push_back("the library itself");
            return a;
        }
#define ZU_RESOLVE(name, params)                                                                 \
    a.name =                                                                                     \
        reinterpret_cast<name##Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, #name))); \
    if (!a.name) a.missing.push_back(#name);
        ZU_EXPORTS(ZU_RESOLVE)
#undef ZU_RESOLVE
        return a;
    }();
    return api;
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// "" for success, otherwise "<code> <message>"; the message is freed.
std::string Outcome(ZuStatus* st) {
    if (st->success) return "";
    std::string text = std::to_string(st->code);
    if (st->message) {
        text += ' ';
        for (const char16_t* c = st->message; *c; ++c) text += static_cast<char>(*c);
        CoTaskMemFree(st->message);
    }
    return text;
}

std::string List(ZuStatus* (*fn)(ZuStatus*, char16_t**)) {
    ZuStatus st{};
    char16_t* names = nullptr;
    std::string out = Outcome(fn(&st, &names));
    if (names) {
        for (const char16_t* c = names; *c; ++c) out += static_cast<char>(*c);
        CoTaskMemFree(names);
    }
    return out;
}

// Feeds data in pieces of `piece` bytes and returns the digest in hex, then
// checks that the handle starts afresh by hashing the data again in one go.
std::string DigestInPieces(ZuHandle h, const std::string& data, size_t piece) {
    const Api& zu = Provider();
    ZuStatus st{};
    for (size_t at = 0; at < data.size(); at += piece) {
        uint32_t n = static_cast<uint32_t>(std::min(piece, data.size() - at));
        if (std::string e = Outcome(zu.ZuHashUpdate(&st, h, data.data() + at, n)); !e.empty())
            return e;
    }
    uint32_t size = 0;
    zu.ZuHashDigestSize(&st, h, &size);
    std::vector<uint8_t> first(size), again(size);
    if (std::string e = Outcome(zu.ZuHashDigest(&st, h, first.data(), size)); !e.empty()) return e;
    zu.ZuHashUpdate(&st, h, data.data(), static_cast<uint32_t>(data.size()));
    zu.ZuHashDigest(&st, h, again.data(), size);
    if (first != again) return "no fresh start: " + Hex(again.data(), size);
    return Hex(first.data(), size);
}

TEST(ZuProv, EveryExportResolvesAndTheListsAreTheSame) {
    const Api& zu = Provider();
    EXPECT_EQ(zu.missing, std::vector<std::string>{});
    ASSERT_TRUE(zu.missing.empty());
    ZuStatus st{};
    EXPECT_EQ(Outcome(zu.ZuInit(&st, 0)), "");
    EXPECT_EQ(List(zu.ZuHashUnkeyedEnum), "sha256,sha512,sha384,sha224,sha1,md5,crc32");
    EXPECT_EQ(List(zu.ZuHashKeyedEnum), "hmac-sha256,hmac-sha512,hmac-sha1,hmac-md5");
    EXPECT_EQ(List(zu.ZuSymCipherEnum),
              "aes256-ctr,aes192-ctr,aes128-ctr,aes256-cbc,aes192-cbc,aes128-cbc");
    EXPECT_EQ(List(zu.ZuPkEnum), "");
}

TEST(ZuProv, DigestsOfInputSplitAcrossBlocks) {
    const Api& zu = Provider();
    ASSERT_TRUE(zu.missing.empty());
    const std::string msg = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    struct Case {
        const char* name;
        const char* digest;
    } cases[] = {
        {"md5", "8215ef0796a20bcaaae116d3876c664a"},
        {"sha1", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"sha224", "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
        {"sha256", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"sha384",
         "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe"
         "3c8452b"},
        {"sha512",
         "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea5"
         "7789ca0"
         "31ad85c7a71dd70354ec631238ca3445"},
        {"crc32", "171a3f5f"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, msg.size()}) {
            ZuStatus st{};
            ZuHandle h = nullptr;
            ASSERT_EQ(Outcome(zu.ZuHashUnkeyedInit(&st, &h, Wide(c.name).c_str())), "") << c.name;
            EXPECT_EQ(DigestInPieces(h, msg, piece), c.digest)
                << c.name << " in pieces of " << piece;
            zu.ZuHashFree(&st, h);
        }
    }
}

TEST(ZuProv, KeyedDigests) {
    const Api& zu = Provider();
    ASSERT_TRUE(zu.missing.empty());
    const std::string jefe = "Jefe", jefeData = "what do ya want for nothing?";
    // Longer than every block: the key is hashed first.
    const std::string longKey(131, '\xaa'),
        longData = "Test Using Larger Than Block-Size Key - Hash Key First";
    struct Case {
        const char* name;
        const std::string& key;
        const std::string& data;
        const char* mac;
    } cases[] = {
        {"hmac-md5", jefe, jefeData, "750c783e6ab0b503eaa86e310a5db738"},
        {"hmac-sha1", jefe, jefeData, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"hmac-sha224", jefe, jefeData, "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44"},
        {"hmac-sha256", jefe, jefeData,
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"hmac-sha384", jefe, jefeData,
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecf"
         "ab21649"},
        {"HMAC-SHA512", jefe, jefeData,
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f"
         "8f0e6fd"
         "caeab1a34d4a6b4b636e070a38bce737"},
        {"hmac-md5", longKey, longData, "bfecaf4efff90a3a668f3922fec3762d"},
        {"hmac-sha1", longKey, longData, "90d0dace1c1bdc957339307803160335bde6df2b"},
        {"hmac-sha224", longKey, longData,
         "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e"},
        {"hmac-sha256", longKey, longData,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"hmac-sha512", longKey, longData,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215"
         "d6a1e52"
         "95e64f73f63f0aec8b915a985d786598"},
        {"hmac-sha1", "", "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
        {"hmac-sha224", "", "", "5ce14f72894662213e2748d2a6ba234b74263910cedde2f5a9271524"},
        {"hmac-sha256", "", "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const auto& c : cases) {
        ZuStatus st{};
        ZuHandle h = nullptr;
        ASSERT_EQ(Outcome(zu.ZuHashKeyedInit(&st, &h, Wide(c.name).c_str(),
                                             c.key.empty()
                                                 ? nullptr  // no key at all
                                                 : reinterpret_cast<const uint8_t*>(c.key.data()),
                                             static_cast<uint32_t>(c.key.size()))),
                  "")
            << c.name;
        EXPECT_EQ(DigestInPieces(h, c.data, 5), c.mac) << c.name << " key of " << c.key.size();
        zu.ZuHashFree(&st, h);
    }
}

TEST(ZuProv, AesBothWaysInUnevenCalls) {
    const Api& zu = Provider();
    ASSERT_TRUE(zu.missing.empty());
    // The four blocks of the NIST SP 800-38A examples.
    const std::string plain =
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a"
        "0a52ef"
        "f69f2445df4f9b17ad2b417be66c3710";
    const std::string k128 = "2b7e151628aed2a6abf7158809cf4f3c",
                      k192 = "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
                      k256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
                      cbcIv = "000102030405060708090a0b0c0d0e0f",
                      ctrIv = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
    struct Case {
        const char* name;
        const std::string& key;
        const std::string& iv;
        std::string plain;
        std::vector<uint32_t> calls;  // lengths of the successive calls
        const char* cipher;
    } cases[] = {
        {"aes128-cbc",
         k128,
         cbcIv,
         plain,
         {16, 48},
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b273bed6b8e3c1743b7116e69e2"
         "2229516"
         "3ff1caa1681fac09120eca307586e1a7"},
        {"aes192-cbc",
         k192,
         cbcIv,
         plain,
         {32, 16, 16},
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a571b242012fb7ae07fa9baac3"
         "df102e0"
         "08b0e27988598881d920a9e64f5615cd"},
        {"aes256-cbc",
         k256,
         cbcIv,
         plain,
         {64},
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e2630"
         "4231461"
         "b2eb05e2c39be9fcda6c19078c6a9d1b"},
        {"aes128-ctr",
         k128,
         ctrIv,
         plain,
         {1, 15, 17, 31},
         "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff5ae4df3edbd5d35e5b4f09020"
         "db03eab"
         "1e031dda2fbe03d1792170a0f3009cee"},
        {"aes192-ctr",
         k192,
         ctrIv,
         plain,
         {64},
         "1abc932417521ca24f2b0459fe7e6e0b090339ec0aa6faefd5ccc2c6f4ce8e941e36b26bd1ebc670d1bd1d665"
         "620abf7"
         "4f78a7f6d29809585a97daec58c6b050"},
        {"AES256-CTR",
         k256,
         ctrIv,
         plain,
         {3, 0, 61},
         "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c52b0930daa23de94ce87017ba2"
         "d84988d"
         "dfc9c58db67aada613c2dd08457941a6"},
        // The counter is all 128 bits and wraps to zero.
        {"aes128-ctr",
         k128,
         std::string(32, 'f'),
         std::string(96, '0'),
         {20, 28},
         "8af2860142f786f409307c1a3f7eaaac7df76b0c1ab899b33e42f047b91b546f57127d4034b1bebfaef466b9c"
         "7726fc6"},
    };
    for (const auto& c : cases) {
        auto key = Bytes(c.key), iv = Bytes(c.iv);
        std::vector<uint8_t> data = Bytes(c.plain);
        for (uint8_t encrypt : {1, 0}) {
            ZuStatus st{};
            ZuHandle h = nullptr;
            ASSERT_EQ(Outcome(zu.ZuSymCipherInit(&st, &h, Wide(c.name).c_str(), key.data(),
                                                 static_cast<uint32_t>(key.size()), iv.data(),
                                                 static_cast<uint32_t>(iv.size()), encrypt)),
                      "")
                << c.name;
            // Encrypt into a second buffer, decrypt in place.
            std::vector<uint8_t> out(data.size());
            size_t at = 0;
            for (uint32_t n : c.calls) {
                ZuStatus* r =
                    encrypt ? zu.ZuSymCipherProcess(&st, h, data.data() + at, out.data() + at, n)
                            : zu.ZuSymCipherProcessInPlace(&st, h, data.data() + at, n);
                EXPECT_EQ(Outcome(r), "") << c.name;
                at += n;
            }
            if (encrypt) data = out;
            EXPECT_EQ(Hex(data.data(), data.size()), encrypt ? c.cipher : c.plain)
                << c.name << (encrypt ? " encrypting" : " decrypting");
            zu.ZuSymCipherFree(&st, h);
        }
    }

    // Counter mode over many blocks in calls that end inside blocks: the
    // SHA-256 of 5000 encrypted zero bytes.
    auto key = Bytes(k128), iv = Bytes(ctrIv);
    ZuStatus st{};
    ZuHandle aes = nullptr, sha = nullptr;
    ASSERT_EQ(
        Outcome(zu.ZuSymCipherInit(&st, &aes, u"aes128-ctr", key.data(), 16, iv.data(), 16, 1)),
        "");
    std::vector<uint8_t> zeros(5000);
    for (uint32_t at = 0, n = 1; at < zeros.size(); at += n, n = n * 3 + 1) {
        n = std::min<uint32_t>(n, static_cast<uint32_t>(zeros.size()) - at);
        EXPECT_EQ(Outcome(zu.ZuSymCipherProcessInPlace(&st, aes, zeros.data() + at, n)), "");
    }
    zu.ZuSymCipherFree(&st, aes);
    ASSERT_EQ(Outcome(zu.ZuHashUnkeyedInit(&st, &sha, u"sha256")), "");
    EXPECT_EQ(DigestInPieces(sha, std::string(zeros.begin(), zeros.end()), 4096),
              "0b67393156af09111881176efb0852996be8f25be6684383dd42f8870abf1b43");
    zu.ZuHashFree(&st, sha);
}

TEST(ZuProv, RandomBytesFillTheRequestAndNoMore) {
    const Api& zu = Provider();
    ASSERT_TRUE(zu.missing.empty());
    for (uint32_t len : {0u, 1u, 33u, 4096u}) {
        std::vector<uint8_t> a(len + 8, 0x5a), b(len + 8, 0x5a);
        ZuStatus st{};
        ASSERT_EQ(Outcome(zu.ZuGenRandomBytes(&st, a.data(), len)), "") << len;
        ASSERT_EQ(Outcome(zu.ZuGenRandomBytes(&st, b.data(), len)), "") << len;
        EXPECT_EQ(Hex(a.data() + len, 8), "5a5a5a5a5a5a5a5a") << "written past " << len;
        if (len >= 33) {
            EXPECT_NE(a, b) << len;
            EXPECT_NE(std::vector<uint8_t>(a.begin(), a.begin() + len),
                      std::vector<uint8_t>(len, 0x5a))
                << len;
        }
    }
}

TEST(ZuProv, RefusalsSayWhyWithTheirCode) {
    const Api& zu = Provider();
    ASSERT_TRUE(zu.missing.empty());
    const uint8_t key[32] = {}, iv[16] = {};
    ZuStatus st{};
    ZuHandle h = nullptr, cbc = nullptr, sha1 = nullptr;
    ASSERT_EQ(Outcome(zu.ZuSymCipherInit(&st, &cbc, u"aes128-cbc", key, 16, iv, 16, 1)), "");
    ASSERT_EQ(Outcome(zu.ZuHashUnkeyedInit(&st, &sha1, u"sha1")), "");
    uint8_t buf[19] = {};
    uint32_t size = 0;
    struct Case {
        const char* what;
        std::function<ZuStatus*(ZuStatus*)> call;
        const char* outcome;
    } cases[] = {
        {"unknown hash", [&](ZuStatus* s) { return zu.ZuHashUnkeyedInit(s, &h, u"whirlpool"); },
         "1 ZuProv: unknown hash algorithm 'whirlpool'"},
        {"keyed name without hmac-",
         [&](ZuStatus* s) { return zu.ZuHashKeyedInit(s, &h, u"sha256", key, 4); },
         "1 ZuProv: unknown keyed hash 'sha256'"},
        {"unknown cipher",
         [&](ZuStatus* s) { return zu.ZuSymCipherInit(s, &h, u"aes128-gcm", key, 16, iv, 16, 1); },
         "1 ZuProv: unknown cipher 'aes128-gcm'"},
        {"short key",
         [&](ZuStatus* s) { return zu.ZuSymCipherInit(s, &h, u"aes256-ctr", key, 16, iv, 16, 1); },
         "1 ZuProv: wrong key or IV length for aes256-ctr"},
        {"short IV",
         [&](ZuStatus* s) { return zu.ZuSymCipherInit(s, &h, u"aes128-cbc", key, 16, iv, 8, 0); },
         "1 ZuProv: wrong key or IV length for aes128-cbc"},
        {"null key",
         [&](ZuStatus* s) {
             return zu.ZuSymCipherInit(s, &h, u"aes128-cbc", nullptr, 16, iv, 16, 0);
         },
         "1 ZuProv: null argument"},
        {"CBC part block",
         [&](ZuStatus* s) { return zu.ZuSymCipherProcessInPlace(s, cbc, buf, 15); },
         "1 ZuProv: length is not a multiple of the block size"},
        {"CBC block size",
         [&](ZuStatus* s) { return zu.ZuSymCipherMandatoryBlockSize(s, cbc, &size); }, ""},
        {"digest buffer one short", [&](ZuStatus* s) { return zu.ZuHashDigest(s, sha1, buf, 19); },
         "3 ZuProv: digest buffer too small"},
        {"signatures", [&](ZuStatus* s) { return zu.ZuPkPrivGenerate(s, &h, u"ssh-rsa", 2048); },
         "4 ZuProv: private-key generation is not provided by this cryptographic provider"},
        {"key agreement", [&](ZuStatus* s) { return zu.ZuDhInit(s, &h, u"group14"); },
         "4 ZuProv: key agreement is not provided by this cryptographic provider"},
    };
    for (const auto& c : cases) {
        ZuStatus result{};
        EXPECT_EQ(Outcome(c.call(&result)), c.outcome) << c.what;
    }
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(h, nullptr);
    zu.ZuSymCipherFree(&st, cbc);
    zu.ZuHashFree(&st, sha1);
}

}  // namespace
