// The cryptographic provider client against the real provider library:
// published test vectors, block restarts, the supported list and failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/zu.h"
#include "support/bytes.h"

namespace kiln {
namespace {

std::string Digest(Zu::Hash& h) {
    std::vector<uint8_t> out(h.DigestSize());
    h.Digest(out.data(), static_cast<uint32_t>(out.size()));
    std::string hex = test::ToHex(out);
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return hex;
}

TEST(Zu, SupportedListInPreferenceOrder) {
    auto provider = Zu::Provider::Get();
    EXPECT_EQ(test::U8(provider->UnkeyedHashList()), "sha256,sha512,sha384,sha224,sha1,md5,crc32");
    EXPECT_EQ(Zu::Provider::Get().get(), provider.get());  // loaded once
}

TEST(Zu, PublishedVectorsAndRestartAfterDigest) {
    struct Case {
        const char16_t* name;
        const char* abc;
    } cases[] = {
        {u"md5", "900150983cd24fb0d6963f7d28e17f72"},
        {u"sha1", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {u"sha224", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {u"sha256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {u"sha384",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {u"sha512",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
         "454d4423643ce80e2a9ac94fa54ca49f"},
        {u"crc32", "352441c2"},
        {u"SHA256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    auto provider = Zu::Provider::Get();
    for (const auto& c : cases) {
        Zu::Hash h(provider, c.name);
        h.Update("a", 1);
        h.Update("bc", 2);
        EXPECT_EQ(Digest(h), c.abc) << test::U8(c.name);
        // The next block starts from scratch.
        h.Update("abc", 3);
        EXPECT_EQ(Digest(h), c.abc) << test::U8(c.name);
    }
}

TEST(Zu, FailuresBecomeExceptionsWithTheProvidersText) {
    auto provider = Zu::Provider::Get();
    try {
        Zu::Hash h(provider, u"whirlpool");
        FAIL() << "unknown algorithm accepted";
    } catch (const ZuException& e) {
        EXPECT_EQ(e.GetKind(), ZuException::Kind::InvalidArgument);
        EXPECT_EQ(test::U8(e.Description()), "ZuProv: unknown hash algorithm 'whirlpool'");
    }
    Zu::Hash h(provider, u"sha1");
    uint8_t small[4];
    try {
        h.Digest(small, sizeof small);
        FAIL() << "short buffer accepted";
    } catch (const ZuException& e) {
        EXPECT_EQ(e.GetKind(), ZuException::Kind::BufferTooSmall);
    }
    // What the provider does not implement says so instead of pretending.
    ZuStatus status{};
    ZuHandle key = nullptr;
    provider->ZuPkPrivGenerate(&status, &key, u"ssh-rsa", 2048);
    EXPECT_FALSE(status.success);
    EXPECT_THROW(Zu::Provider::Check(status), ZuException);
    ZuStatus unnamed{0, 7, nullptr};
    try {
        Zu::Provider::Check(unnamed);
    } catch (const ZuException& e) {
        EXPECT_EQ(e.GetKind(), ZuException::Kind::General);
        EXPECT_EQ(test::U8(e.Description()),
                  "Zu: the cryptographic provider failed without being able to provide an error "
                  "message");
    }
}

TEST(Zu, RandomBytesAndCipherAreReal) {
    auto provider = Zu::Provider::Get();
    uint8_t a[32] = {}, b[32] = {};
    ZuStatus status{};
    Zu::Provider::Check(*provider->ZuGenRandomBytes(&status, a, sizeof a));
    Zu::Provider::Check(*provider->ZuGenRandomBytes(&status, b, sizeof b));
    EXPECT_NE(std::vector<uint8_t>(a, a + 32), std::vector<uint8_t>(b, b + 32));

    // AES-128-CTR, the first block of the NIST SP 800-38A example.
    auto key = test::Hex("2b7e151628aed2a6abf7158809cf4f3c");
    auto iv = test::Hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    auto plain = test::Hex("6bc1bee22e409f96e93d7e117393172a");
    ZuHandle cipher = nullptr;
    Zu::Provider::Check(*provider->ZuSymCipherInit(&status, &cipher, u"aes128-ctr", key.data(), 16,
                                                   iv.data(), 16, 1));
    std::vector<uint8_t> out(16);
    Zu::Provider::Check(*provider->ZuSymCipherProcess(&status, cipher, plain.data(), out.data(), 16));
    EXPECT_EQ(test::ToHex(out), test::ToHex(test::Hex("874d6191b620e3261bef6864990db6ce")));
    provider->ZuSymCipherFree(&status, cipher);
}

}  // namespace
}  // namespace kiln
