// The quantum model: the generic message layout, dumps, error chains,
// vectors, primitives, the registry and memory estimates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "nocrtlib/exceptions.h"
#include "quantum/dump.h"
#include "quantum/registry.h"
#include "support/bytes.h"
#include "test_messages.h"

namespace kiln {
namespace {

using test::ErrorLines;
using test::Hex;
using test::ToHex;
using test::U8;

std::vector<uint8_t> Encode(const QuantumS& q) {
    datavect<uint8_t> out;
    OpCx errors;
    EXPECT_TRUE(EncodeToBytes(q, out, &errors));
    return std::vector<uint8_t>(out.begin(), out.end());
}

RefPtr<test::QtTestOuter> Sample() {
    auto o = MakeRef<test::QtTestOuter>();
    o->m_byte = 1;
    o->m_word16 = 0x0203;
    o->m_word64 = 4;
    o->m_flag = true;
    o->m_colour = test::Colour::Green;
    o->m_inner = MakeRef<test::QtTestInner>();
    o->m_inner->m_a = 5;
    o->m_inner->m_s = MakeStr(u"x");
    o->m_any = MakeStr(u"y");
    o->m_list = MakeRef<QtVectS<QtStr>>();
    o->m_list->Append(MakeStr(u"a"));
    const uint8_t aa = 0xAA;
    o->m_bytes = MakeRef<QtBytes>(&aa, 1);
    o->m_empty = MakeRef<test::QtTestEmpty>();
    o->m_port = MakeRef<test::QtTestPort>();
    return o;
}

const char kSampleHex[] =
    "00 00 00 3b"                              // frame length 59
    "01 02 03 00 00 00 00 00 00 00 04 01 00 02"  // byte, word16, word64, flag, colour
    "00 00 00 09 00 00 00 05 00 00 00 01 78"   // m_inner
    "00 00 00 05 51 74 53 74 72 00 00 00 01 79"  // m_any: "QtStr", 'y'
    "00 00 00 05 00 00 00 01 61"               // m_list
    "00 00 00 01 aa"                           // m_bytes
    "00 00 00 00";                             // m_empty; m_port is not encoded

TEST(Message, EncodesFieldsInOrderInOneFrame) {
    EXPECT_EQ(ToHex(Encode(*Sample())), ToHex(Hex(kSampleHex)));
}

TEST(Message, RoundTripAndInMemoryFieldsStayBehind) {
    auto bytes = Hex(kSampleHex);
    StaticDecodeContext cx(bytes.data(), bytes.size());
    test::QtTestOuter d;
    OpResult r = d.Decode(cx);
    ASSERT_TRUE(r.ok) << testing::PrintToString(ErrorLines(cx));
    EXPECT_EQ(r.count, bytes.size());
    EXPECT_FALSE(cx.HasMore());
    EXPECT_EQ(d.m_word16, 0x0203);
    EXPECT_EQ(d.m_colour, test::Colour::Green);
    ASSERT_TRUE(d.m_inner);
    EXPECT_EQ(d.m_inner->m_s->Str(), u"x");
    ASSERT_TRUE(QuantumCast<QtStr>(d.m_any));
    EXPECT_EQ(QuantumCast<QtStr>(d.m_any)->Str(), u"y");
    EXPECT_EQ(d.m_list->Count(), 1u);
    ASSERT_TRUE(d.m_empty);  // a field-less class decodes from an empty frame
    EXPECT_FALSE(d.m_port);
    EXPECT_EQ(Encode(d), bytes);
}

TEST(Message, NullReferences) {
    test::QtTestOuter o;  // every reference null
    auto bytes = Encode(o);
    EXPECT_EQ(ToHex(bytes), ToHex(Hex("00 00 00 22 00 00 00 00 00 00 00 00 00 00 00 00 00 01"
                                      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")));
    StaticDecodeContext cx(bytes.data(), bytes.size());
    test::QtTestOuter d;
    ASSERT_TRUE(d.Decode(cx).ok) << testing::PrintToString(ErrorLines(cx));
    // A message class written as null comes back null; so does a polymorphic
    // field. Primitives, vectors and field-less classes come back empty.
    EXPECT_FALSE(d.m_inner);
    EXPECT_FALSE(d.m_any);
    ASSERT_TRUE(d.m_list);
    EXPECT_EQ(d.m_list->Count(), 0u);
    ASSERT_TRUE(d.m_bytes);
    EXPECT_EQ(d.m_bytes->Size(), 0u);
    EXPECT_TRUE(d.m_empty);
}

TEST(Message, ExtraBytesInTheFrameAreSkipped) {
    auto bytes = Hex("00 00 00 0b 00 00 00 05 00 00 00 01 78 ee ff 01 02");
    StaticDecodeContext cx(bytes.data(), bytes.size());
    test::QtTestInner d;
    EXPECT_EQ(d.Decode(cx).count, 15u);
    EXPECT_EQ(cx.Remaining(), 2u);
    EXPECT_EQ(d.m_s->Str(), u"x");
}

TEST(Message, DecodeErrorChainsInnermostFirst) {
    struct Case {
        const char* name;
        const char* hex;
        std::vector<std::string> errors;
    } cases[] = {
        {"no frame length", "00 00", {"DecodeWord32(): premature end of input data",
                                      "Error decoding data size in QtTestInner::Decode()"}},
        {"short frame", "00 00 00 09 00 00 00 05 00 00 00 01",
         {"Insufficient input to decode 9 bytes in QtTestInner::Decode()"}},
        {"nested string cut", "00 00 00 06 00 00 00 05 00 00",
         {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()",
          "DecodeWStrAsUtf8(): error decoding UTF-8 string",
          "Error decoding string in QtStr::Decode()",
          "Error decoding m_s in QtTestInner::Decode()"}},
        {"integer cut", "00 00 00 02 00 00",
         {"DecodeWord32(): premature end of input data",
          "Error decoding m_a in QtTestInner::Decode()"}},
    };
    for (const auto& c : cases) {
        auto bytes = Hex(c.hex);
        StaticDecodeContext cx(bytes.data(), bytes.size());
        test::QtTestInner d;
        EXPECT_FALSE(d.Decode(cx).ok) << c.name;
        EXPECT_EQ(cx.Remaining(), bytes.size()) << c.name;
        EXPECT_EQ(ErrorLines(cx), c.errors) << c.name;
    }
}

TEST(Message, NestedFailureNamesEveryLevel) {
    // An outer whose m_inner frame (length 6) cuts m_s short.
    auto bytes = Hex("00 00 00 18 01 02 03 00 00 00 00 00 00 00 04 01 00 02"
                     "00 00 00 06 00 00 00 05 00 00");
    StaticDecodeContext cx(bytes.data(), bytes.size());
    test::QtTestOuter d;
    EXPECT_FALSE(d.Decode(cx).ok);
    auto lines = ErrorLines(cx);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Error decoding m_s in QtTestInner::Decode()");
    EXPECT_EQ(lines.back(), "Error decoding m_inner in QtTestOuter::Decode()");
}

TEST(Message, UnknownPolymorphicTypeId) {
    auto o = Sample();
    auto bytes = Encode(*o);
    // Replace "QtStr" by "QtStx" in m_any's type ID.
    auto pos = std::search(bytes.begin(), bytes.end(), std::begin("QtStr"), std::end("QtStr") - 1);
    ASSERT_NE(pos, bytes.end());
    pos[4] = 'x';
    StaticDecodeContext cx(bytes.data(), bytes.size());
    test::QtTestOuter d;
    EXPECT_FALSE(d.Decode(cx).ok);
    EXPECT_EQ(ErrorLines(cx).back(),
              "Unrecognized quantum type ID decoded for m_any in QtTestOuter::Decode()");
}

TEST(Message, Dump) {
    std::string expected =
        "QtTestOuter:\n"
        "m_byte: 1\n"
        "m_word16: 515\n"
        "m_word64: 4\n"
        "m_flag: true\n"
        "m_colour: Colour.Green\n"
        "m_inner: QtTestInner:\n"
        "  m_a: 5\n"
        "  m_s: QtStr, 'x'\n"
        "m_any: QtStr, 'y'\n"
        "m_list: QtVectS, 1 objects\n"
        "  [0] QtStr, 'a'\n"
        "m_bytes: QtBytes, 1 bytes\n"
        "  00000000   aa" + std::string(49, ' ') + "." + std::string(15, ' ') + "\n"
        "m_empty: QtTestEmpty:\n"
        "m_port: QtTestPort";
    EXPECT_EQ(U8(Sample()->Dump(DumpOptions{0, 2, true})), expected);
    test::QtTestInner empty;
    EXPECT_EQ(U8(empty.Dump(DumpOptions{4, 2, true})), "QtTestInner:\n    m_a: 0\n    m_s: null");
}

TEST(Vector, EmptyAndTruncated) {
    QtVectS<QtStr> v;
    EXPECT_EQ(ToHex(Encode(v)), "00 00 00 00");
    for (auto s : {u"a", u"b", u"c"}) v.Append(MakeStr(s));
    auto bytes = Encode(v);
    EXPECT_EQ(bytes.size(), 4u + 3 * 5);
    // Claim the full frame but cut the third element short.
    bytes[3] -= 1;
    bytes.pop_back();
    StaticDecodeContext cx(bytes.data(), bytes.size());
    QtVectS<QtStr> d;
    EXPECT_FALSE(d.Decode(cx).ok);
    EXPECT_EQ(ErrorLines(cx).back(), "Error decoding item 2 in QtVectS::Decode()");
    EXPECT_EQ(cx.Remaining(), bytes.size());
}

TEST(Vector, TypeIdsAndDump) {
    QtVectS<test::QtTestInner> v;
    EXPECT_STREQ(v.TypeId(), "QtVectS[QtTestInner]");
    QtVect<QtStr> mem;
    EXPECT_STREQ(mem.TypeId(), "QtVect[QtStr]");
    mem.Append(MakeStr(u"p"));
    mem.Append(MakeStr(u"q"));
    EXPECT_EQ(U8(mem.Dump(DumpOptions{2, 2, true})), "QtVect, 2 objects\n  [0] QtStr, 'p'\n  [1] QtStr, 'q'");
}

TEST(Primitives, StringDumpAbbreviation) {
    std::u16string s64(64, u'a'), s65(65, u'b');
    EXPECT_EQ(U8(QtStr(s64).Dump(DumpOptions{})), "QtStr, '" + std::string(64, 'a') + "'");
    EXPECT_EQ(U8(QtStr(s65).Dump(DumpOptions{})),
              "QtStr, 51 chars, '" + std::string(51, 'b') + "...'");
    EXPECT_EQ(U8(QtStr(s65).Dump(DumpOptions{0, 2, false})), "QtStr, '" + std::string(65, 'b') + "'");
}

TEST(Primitives, HexDumpOf17Bytes) {
    std::vector<uint8_t> bytes;
    for (uint8_t c = 'A'; c <= 'Q'; ++c) bytes.push_back(c);
    WString out;
    HexDump(out, bytes.data(), bytes.size(), 2);
    EXPECT_EQ(U8(out),
              "  00000000   41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n"
              "  00000010   51" + std::string(49, ' ') + "Q" + std::string(15, ' '));
    WString empty;
    HexDump(empty, nullptr, 0, 0);
    EXPECT_EQ(U8(empty), "00000000   " + std::string(16 * 3 + 1 + 2 + 16, ' '));
}

TEST(Primitives, BytesDumpAbbreviation) {
    std::vector<uint8_t> bytes(65, 0x30);
    QtBytes b(bytes.data(), bytes.size());
    std::string dump = U8(b.Dump(DumpOptions{2, 2, true}));
    EXPECT_THAT(dump, testing::StartsWith("QtBytes, 65 bytes\n  00000000   30 30"));
    EXPECT_THAT(dump, testing::EndsWith("\n  ..."));
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 5);  // 4 lines of 16, then "..."
}

TEST(Primitives, BorrowedBytesAreReadOnly) {
    auto owner = MakeRef<QtStr>(u"owner keeps the memory");
    QtBytes b;
    static const uint8_t kData[] = {1, 2, 3};
    b.Borrow(owner, kData, 3);
    EXPECT_EQ(b.Size(), 3u);
    EXPECT_EQ(b.MemSize(), 72 + owner->MemSize());
    EXPECT_EQ(owner->RefCount(), 2u);
    try {
        b.Storage();
        FAIL() << "borrowed bytes gave writable storage";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "QtBytes: inaccessible for writing");
    }
    EXPECT_EQ(ToHex(Encode(b)), "00 00 00 03 01 02 03");
    b.Assign(kData, 2);
    EXPECT_EQ(owner->RefCount(), 1u);  // the owner is let go
}

TEST(Primitives, CryptNeverShowsItsContents) {
    QtCrypt c;
    static const uint8_t kSecret[] = {'s', 'e', 'c'};
    c.Assign(kSecret, 3);
    EXPECT_EQ(U8(c.Dump(DumpOptions{})), "QtCrypt, size 3, cap 3");
    auto bytes = Encode(c);
    EXPECT_EQ(ToHex(bytes), "00 00 00 03 73 65 63");
    StaticDecodeContext cx(bytes.data(), bytes.size());
    QtCrypt d;
    ASSERT_TRUE(d.Decode(cx).ok);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Data()), d.Size()), "sec");
}

TEST(MemSize, FollowsTheOwnershipRule) {
    EXPECT_EQ(QtStr().MemSize(), 52u);
    EXPECT_EQ(QtStr(u"ab").MemSize(), 52u + 32 + 2 * 3);
    EXPECT_EQ(QtBytes().MemSize(), 72u);
    static const uint8_t kThree[] = {1, 2, 3};
    QtBytes three(kThree, 3);
    EXPECT_EQ(three.MemSize(), 72u + 32 + three.Storage().capacity());
    test::QtTestInner inner;
    uint64_t bare = inner.MemSize();
    inner.m_s = MakeStr(u"ab");
    EXPECT_EQ(inner.MemSize(), bare + inner.m_s->MemSize() + 32);
    QtVectS<QtStr> v;
    uint64_t empty = v.MemSize();
    v.Append(MakeStr(u"abc"));
    EXPECT_EQ(v.MemSize(), empty + QtStr(u"abc").MemSize());
}

TEST(Registry, SortedByteWiseAndCreates) {
    auto& r = QuantumRegistry::Instance();
    auto factory = [] { return RefPtr<QuantumS>(new QtStr); };
    for (const char* id : {"ZzTestb", "ZzTest\xc3", "ZzTesta2", "ZzTestB", "ZzTesta"})
        r.Register(id, factory);
    std::vector<std::string> ours;
    for (auto id : r.TypeIds())
        if (id.substr(0, 6) == "ZzTest") ours.emplace_back(id);
    EXPECT_EQ(ours, (std::vector<std::string>{"ZzTestB", "ZzTesta", "ZzTesta2", "ZzTestb",
                                              "ZzTest\xc3"}));
    auto ids = r.TypeIds();
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_TRUE(r.Create("QtTestInner"));
    EXPECT_TRUE(r.Create("QtVectS[QtTestInner]"));
    EXPECT_STREQ(r.Create("QtVectS[QtStr]")->TypeId(), "QtVectS[QtStr]");
    EXPECT_FALSE(r.Create("QtVect[QtStr]"));  // in-memory vectors are not registered
    EXPECT_FALSE(r.Create("qtstr"));
}

TEST(Registry, DuplicateAsserts) {
    try {
        QuantumRegistry::Instance().Register("QtStr", [] { return RefPtr<QuantumS>(new QtStr); });
        FAIL() << "duplicate accepted";
    } catch (const StrAssertionFailed& e) {
        EXPECT_THAT(U8(e.Description()),
                    testing::HasSubstr("source file 'KilnQuantumRegistry', line 14:\r\n"
                                       "!\"Quantum type already registered\""));
    }
}

// Decoding never throws and never reads outside its input: every truncation
// of a valid encoding, and random bytes (run under AddressSanitizer too).
TEST(Decode, HostileInput) {
    auto valid = Encode(*Sample());
    for (size_t cut = 0; cut < valid.size(); ++cut) {
        std::vector<uint8_t> part(valid.begin(), valid.begin() + static_cast<long>(cut));
        StaticDecodeContext cx(part.data(), part.size());
        test::QtTestOuter d;
        EXPECT_NO_THROW(EXPECT_FALSE(d.Decode(cx).ok) << cut);
        EXPECT_EQ(cx.Remaining(), part.size());
        EXPECT_FALSE(cx.Errors().empty());
    }
    std::mt19937 rng(12345);
    for (int i = 0; i < 4000; ++i) {
        std::vector<uint8_t> junk(rng() % 80);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        // Keep the frame length plausible half of the time so that fields
        // are reached.
        if (i % 2 && junk.size() >= 4) StoreWord32(junk.data(), static_cast<uint32_t>(junk.size() - 4));
        StaticDecodeContext cx(junk.data(), junk.size());
        test::QtTestOuter d;
        OpResult r{};
        EXPECT_NO_THROW(r = d.Decode(cx));
        if (!r.ok) {
            EXPECT_EQ(cx.Remaining(), junk.size());
        }
    }
}

}  // namespace
}  // namespace kiln

namespace kiln {
namespace {

// Hostile input can nest as deep as its bytes allow; the decoder must fail
// cleanly instead of exhausting the stack.
TEST(Decode, NestingDepthIsBounded) {
    auto nested = [](uint32_t levels) {
        RefPtr<test::QtTestOuter> top = MakeRef<test::QtTestOuter>();
        test::QtTestOuter* cur = top.get();
        for (uint32_t i = 1; i < levels; ++i) {
            auto next = MakeRef<test::QtTestOuter>();
            cur->m_any = next;
            cur = next.get();
        }
        return Encode(*top);
    };
    // Every composite level counts, the empty vector and field-less record
    // inside the innermost message included: 255 messages nest 256 levels.
    for (uint32_t levels : {kMaxDecodeDepth - 1, kMaxDecodeDepth, 1000u}) {
        auto bytes = nested(levels);
        StaticDecodeContext cx(bytes.data(), bytes.size());
        test::QtTestOuter d;
        OpResult r = d.Decode(cx);
        if (levels < kMaxDecodeDepth) {
            EXPECT_TRUE(r.ok) << levels;
        } else {
            EXPECT_FALSE(r.ok) << levels;
            EXPECT_THAT(ErrorLines(cx).front(),
                        testing::MatchesRegex("Nesting deeper than 256 levels in Qt\\w+::Decode\\(\\)"));
            EXPECT_EQ(ErrorLines(cx).back(), "Error decoding m_any in QtTestOuter::Decode()");
        }
    }
}

}  // namespace
}  // namespace kiln
