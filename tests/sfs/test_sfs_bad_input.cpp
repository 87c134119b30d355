// Bad input never crashes a decoder: every truncation and corruption of a
// valid encoding, and random bytes, give a clean failure or a clean success,
// never an exception and never a read outside the input (the sanitizer build
// checks the latter; inputs sit in heap blocks of exactly their size).
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string_view>

#include "sfs_fill.h"
#include "sfs_test_util.h"

namespace kiln {
namespace {

using namespace sfstest;

class SfsBadInput : public ::testing::TestWithParam<SfsClass> {};
INSTANTIATE_TEST_SUITE_P(Classes, SfsBadInput, ::testing::ValuesIn(AllSfsClasses()), ClassName);

// Decodes and checks the outcome's consistency; returns whether it decoded.
bool DecodeChecked(const char* typeId, const Bytes& input) {
    RefPtr<QuantumS> q = QuantumRegistry::Instance().Create(typeId);
    Decoded d;
    EXPECT_NO_THROW(d = DecodeInto(*q, input));
    if (d.ok) {
        EXPECT_TRUE(d.errors.empty());
        EXPECT_EQ(d.count + d.remaining, input.size());
    } else {
        EXPECT_FALSE(d.errors.empty());
        EXPECT_EQ(d.remaining, input.size());
        EXPECT_EQ(d.count, 0u);
    }
    return d.ok;
}

TEST_P(SfsBadInput, EveryTruncationFailsCleanly) {
    unsigned seed = 3;
    Bytes full = Encode(*GetParam().makeFilled(seed, {})).bytes;
    ASSERT_TRUE(DecodeChecked(GetParam().typeId, full));
    for (size_t len = 0; len < full.size(); ++len) {
        Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        EXPECT_FALSE(DecodeChecked(GetParam().typeId, cut)) << "length " << len;
    }
}

TEST_P(SfsBadInput, CorruptedBytesNeverCrash) {
    unsigned seed = 5;
    Bytes full = Encode(*GetParam().makeFilled(seed, {})).bytes;
    for (size_t i = 0; i < full.size(); ++i) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(full[i] ^ 0x80),
                              static_cast<uint8_t>(full[i] + 1)}) {
            Bytes bad = full;
            bad[i] = value;
            DecodeChecked(GetParam().typeId, bad);
        }
    }
}

TEST_P(SfsBadInput, RandomBytesNeverCrash) {
    std::mt19937 rng(0x5F5 + static_cast<unsigned>(std::hash<std::string_view>{}(GetParam().typeId)));
    for (int round = 0; round < 100; ++round) {
        size_t len = rng() % 160;
        Bytes b(len);
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        // Half of them with a plausible frame length, so that the fields are
        // reached and not only the frame check.
        if (round % 2 && len >= 4) {
            uint32_t n = static_cast<uint32_t>(len - 4);
            b[0] = 0;
            b[1] = 0;
            b[2] = static_cast<uint8_t>(n >> 8);
            b[3] = static_cast<uint8_t>(n);
        }
        DecodeChecked(GetParam().typeId, b);
    }
}

// Requests with every registered content class and random content bytes.
TEST(SfsBadInput, RandomContentsOfEveryRegisteredClass) {
    std::mt19937 rng(42);
    auto ids = QuantumRegistry::Instance().TypeIds();
    for (int round = 0; round < 2000; ++round) {
        std::string_view id = ids[rng() % ids.size()];
        Bytes body = {0, 0, 0, 1, 0, 0, 0, 4};
        uint32_t idLen = static_cast<uint32_t>(id.size());
        body.insert(body.end(),
                    {0, 0, static_cast<uint8_t>(idLen >> 8), static_cast<uint8_t>(idLen)});
        body.insert(body.end(), id.begin(), id.end());
        size_t contentLen = rng() % 64;
        Bytes content(contentLen);
        for (auto& x : content) x = static_cast<uint8_t>(rng() % 4 ? rng() % 3 : rng());
        if (contentLen >= 4 && round % 2) content[3] = static_cast<uint8_t>(contentLen - 4);
        body.insert(body.end(), content.begin(), content.end());
        uint32_t n = static_cast<uint32_t>(body.size());
        Bytes request = {0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        request.insert(request.end(), body.begin(), body.end());
        DecodeChecked("QtSfsRequest", request);
    }
}

}  // namespace
}  // namespace kiln
