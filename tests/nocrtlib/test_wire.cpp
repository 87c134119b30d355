// Wire primitives and the encode/decode contexts: byte layouts, failure
// messages, the unchanged read position after a failure, chunk sizes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nocrtlib/exceptions.h"
#include "nocrtlib/wire.h"
#include "support/bytes.h"

namespace kiln {
namespace {

using test::ErrorLines;
using test::Hex;
using test::ToHex;

std::vector<uint8_t> Bytes(const QueueEncodeContext& cx) {
    std::vector<uint8_t> out;
    cx.ForEachChunk([&](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); });
    return out;
}

TEST(Wire, EncodedLayouts) {
    struct Case {
        const char* name;
        std::function<OpResult(EncodeContext&)> encode;
        const char* hex;
    } cases[] = {
        {"byte", [](EncodeContext& cx) { return EncodeByte(cx, 0xAB); }, "ab"},
        {"true", [](EncodeContext& cx) { return EncodeBoolean(cx, true); }, "01"},
        {"false", [](EncodeContext& cx) { return EncodeBoolean(cx, false); }, "00"},
        {"word16", [](EncodeContext& cx) { return EncodeWord16(cx, 0x0102); }, "01 02"},
        {"word32", [](EncodeContext& cx) { return EncodeWord32(cx, 0x01020304); }, "01 02 03 04"},
        {"word64", [](EncodeContext& cx) { return EncodeWord64(cx, 0x0102030405060708ull); },
         "01 02 03 04 05 06 07 08"},
        {"empty string", [](EncodeContext& cx) { return EncodeString(cx, "", 0); },
         "00 00 00 00"},
        {"string", [](EncodeContext& cx) { return EncodeString(cx, "AB", 2); },
         "00 00 00 02 41 42"},
        {"utf8", [](EncodeContext& cx) { return EncodeWStrAsUtf8(cx, u"\u00e9"); },
         "00 00 00 02 c3 a9"},
        // A character outside the basic plane: a surrogate pair becomes one
        // four-byte sequence.
        {"surrogates", [](EncodeContext& cx) { return EncodeWStrAsUtf8(cx, u"\U0001F600"); },
         "00 00 00 04 f0 9f 98 80"},
    };
    for (const auto& c : cases) {
        QueueEncodeContext cx;
        OpResult r = c.encode(cx);
        EXPECT_TRUE(r.ok) << c.name;
        EXPECT_EQ(ToHex(Bytes(cx)), c.hex) << c.name;
        EXPECT_EQ(r.count, Bytes(cx).size()) << c.name;
    }
}

TEST(Wire, DecodeFailuresKeepThePositionAndNameThePrimitive) {
    struct Case {
        const char* hex;
        std::function<OpResult(DecodeContext&)> decode;
        std::vector<std::string> errors;
    } cases[] = {
        {"", [](DecodeContext& cx) { uint8_t v; return DecodeByte(cx, v); },
         {"DecodeByte(): premature end of input data"}},
        {"", [](DecodeContext& cx) { bool v; return DecodeBoolean(cx, v); },
         {"DecodeByte(): premature end of input data", "DecodeBoolean(): failed at DecodeByte()"}},
        {"01", [](DecodeContext& cx) { uint16_t v; return DecodeWord16(cx, v); },
         {"DecodeWord16(): premature end of input data"}},
        {"01 02 03", [](DecodeContext& cx) { uint32_t v; return DecodeWord32(cx, v); },
         {"DecodeWord32(): premature end of input data"}},
        {"01 02 03 04 05 06 07", [](DecodeContext& cx) { uint64_t v; return DecodeWord64(cx, v); },
         {"DecodeWord64(): premature end of input data"}},
        {"00 00 00 05 41 42",
         [](DecodeContext& cx) { datavect<uint8_t> v; return DecodeString(cx, v); },
         {"DecodeString(): premature end of input data"}},
        {"00 00 00", [](DecodeContext& cx) { NString v; return DecodeString(cx, v); },
         {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()"}},
        {"00 00 00 05 41", [](DecodeContext& cx) { WString v; return DecodeWStrAsUtf8(cx, v); },
         {"DecodeString(): premature end of input data",
          "DecodeWStrAsUtf8(): error decoding UTF-8 string"}},
    };
    for (const auto& c : cases) {
        auto bytes = Hex(c.hex);
        StaticDecodeContext cx(bytes.data(), bytes.size());
        OpResult r = c.decode(cx);
        EXPECT_FALSE(r.ok) << c.hex;
        EXPECT_EQ(r.count, 0u);
        EXPECT_EQ(cx.Remaining(), bytes.size()) << c.hex;
        EXPECT_EQ(ErrorLines(cx), c.errors) << c.hex;
    }
}

TEST(Wire, DecodesValues) {
    auto bytes = Hex("02 00 00 00 03 61 62 63 00 00 00 02 c3 a9 ff");
    StaticDecodeContext cx(bytes.data(), bytes.size());
    bool b = false;
    EXPECT_EQ(DecodeBoolean(cx, b).count, 1u);
    EXPECT_TRUE(b);  // any non-zero byte is true
    NString narrow;
    EXPECT_EQ(DecodeString(cx, narrow).count, 7u);
    EXPECT_EQ(narrow, "abc");
    EXPECT_EQ(narrow.c_str()[3], '\0');
    WString wide;
    EXPECT_EQ(DecodeWStrAsUtf8(cx, wide).count, 6u);
    EXPECT_EQ(wide, u"\u00e9");
    // Malformed UTF-8 becomes U+FFFD, as the Windows conversion does.
    auto bad = Hex("00 00 00 02 41 ff");
    StaticDecodeContext cx2(bad.data(), bad.size());
    ASSERT_TRUE(DecodeWStrAsUtf8(cx2, wide).ok);
    EXPECT_EQ(wide, u"A\uFFFD");
}

TEST(QueueEncodeContext, ChunkCapacities) {
    struct Case {
        uint32_t request;
        uint32_t capacity;
    } cases[] = {{1, 4004}, {3499, 4004}, {3500, 4004}, {3501, 4004}, {3504, 4008},
                 {4000, 4504}, {32768, 33272}};
    for (const auto& c : cases) {
        QueueEncodeContext cx;
        ASSERT_NE(cx.GetWritePtr(c.request), nullptr);
        EXPECT_EQ(cx.TailCapacity(), c.capacity) << c.request;
    }
}

TEST(QueueEncodeContext, AppendToMovesEverythingOnce) {
    QueueEncodeContext inner;
    std::vector<uint8_t> big(10000, 0x5A);
    EncodeWord32(inner, 7);
    EncodeString(inner, big.data(), big.size());  // does not fit the first chunk
    EXPECT_EQ(inner.Size(), 4u + 4 + 10000);
    QueueEncodeContext outer;
    EncodeByte(outer, 1);
    EXPECT_EQ(inner.AppendTo(outer), 10008u);
    EXPECT_EQ(inner.Size(), 0u);
    auto bytes = Bytes(outer);
    ASSERT_EQ(bytes.size(), 10009u);
    EXPECT_EQ(ToHex({bytes.begin(), bytes.begin() + 9}), "01 00 00 00 07 00 00 27 10");
    EXPECT_EQ(bytes.back(), 0x5A);
}

TEST(QueueEncodeContext, CommitWithoutSpaceAsserts) {
    QueueEncodeContext cx;
    try {
        cx.Commit(1);
        FAIL() << "no assertion";
    } catch (const StrAssertionFailed& e) {
        EXPECT_THAT(test::U8(e.Description()),
                    testing::HasSubstr("'EncodeDecodeContext', line 280:\r\nm_tail && len <= m_pending"));
    }
}

TEST(UndoableDecodeContext, ReadsProvisionally) {
    auto bytes = Hex("01 02 03 04 05 06");
    StaticDecodeContext base(bytes.data(), bytes.size());
    {
        UndoableDecodeContext u(base);
        uint16_t v;
        ASSERT_TRUE(DecodeWord16(u, v).ok);
        EXPECT_EQ(v, 0x0102);
        EXPECT_EQ(u.Remaining(), 4u);
        EXPECT_EQ(base.Remaining(), 6u);
        u.Undo(1);
        ASSERT_TRUE(DecodeWord16(u, v).ok);
        EXPECT_EQ(v, 0x0203);
        EXPECT_THROW(u.Undo(4), StrAssertionFailed);
    }
    EXPECT_EQ(base.Remaining(), 3u);  // committed in one step on destruction
    EXPECT_THROW(base.Consume(4), StrAssertionFailed);
    base.Skip(100);
    EXPECT_FALSE(base.HasMore());
}

}  // namespace
}  // namespace kiln
