// The error chains of failed encodes and decodes, innermost message first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sfs/sfs_attrs.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_requests.h"
#include "sfs/sfs_responses.h"
#include "sfs_test_util.h"

namespace kiln {
namespace {

using namespace sfstest;
using Chain = std::vector<std::string>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Word32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Framed(const Bytes& body) {
    return Concat({Word32(static_cast<uint32_t>(body.size())), body});
}

Bytes Str(std::string_view s) {
    return Concat({Word32(static_cast<uint32_t>(s.size())), Bytes(s.begin(), s.end())});
}

// A request envelope around raw content bytes.
Bytes Request(SfsRequest type, std::string_view typeId, const Bytes& content) {
    return Framed(Concat({Word32(7), Word32(static_cast<uint32_t>(type)), Str(typeId), content}));
}

struct DecodeCase {
    const char* what;
    const char* typeId;  // class to decode
    Bytes input;
    Chain expected;
};

std::vector<DecodeCase> DecodeCases() {
    const Bytes close = Framed(Str("\x01\x02"));
    Bytes attrs = Encode(QtSfsAttrs()).bytes;
    // Cut the record's frame two bytes into m_modifyTimeNs (offset 68).
    Bytes attrsCut = Framed(Bytes(attrs.begin() + 4, attrs.begin() + 4 + 70));
    // An attribute record whose ACL holds one ACE that ends before m_mask.
    Bytes ace = Framed(Concat({Word32(0), Word32(0)}));
    Bytes aclWithBadAce = Framed(Concat({Word32(0), Framed(ace)}));
    Bytes attrsBadAcl = Framed(Concat({Bytes(attrs.begin() + 4, attrs.begin() + 4 + 84),
                                       aclWithBadAce, Bytes(attrs.begin() + 4 + 88, attrs.end())}));
    // Three names of which the third is cut off inside the vector's frame.
    Bytes name = Encode(QtSfsName()).bytes;
    Bytes threeNames = Concat({name, name, Bytes(name.begin(), name.begin() + 10)});

    return {
        {"empty input",
         "QtSfsRequest",
         {},
         {"DecodeWord32(): premature end of input data",
          "Error decoding data size in QtSfsRequest::Decode()"}},
        {"envelope cut short",
         "QtSfsRequest",
         Bytes(Hex("00 00 00 20 00 00 00 07 00 00 00 04 00 00 00 0a 51 74 53 66 73 43 6c 6f 73 65 "
                   "00 00 00 06 00 00 00 02 01")),
         {"Insufficient input to decode 32 bytes in QtSfsRequest::Decode()"}},
        {"unknown content class",
         "QtSfsRequest",
         Request(SfsRequest::Close, "QtSfsNoSuch", close),
         {"Unrecognized quantum type ID decoded for m_content in QtSfsRequest::Decode()"}},
        {"vector type IDs are content classes too, but unregistered plain vectors are not",
         "QtSfsRequest",
         Request(SfsRequest::Close, "QtVect[QtSfsClose]", Framed({})),
         {"Unrecognized quantum type ID decoded for m_content in QtSfsRequest::Decode()"}},
        {"type ID cut short",
         "QtSfsRequest",
         Framed(Concat({Word32(7), Word32(4), Word32(10), Bytes{0x51, 0x74}})),
         {"DecodeString(): premature end of input data",
          "Error decoding m_content in QtSfsRequest::Decode()"}},
        {"type ID length missing",
         "QtSfsRequest",
         Framed(Concat({Word32(7), Word32(4), Bytes{0}})),
         {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()",
          "Error decoding m_content in QtSfsRequest::Decode()"}},
        {"content frame longer than the envelope",
         "QtSfsRequest",
         Request(SfsRequest::Close, "QtSfsClose", Concat({Word32(7), Str("\x01\x02")})),
         {"Insufficient input to decode 7 bytes in QtSfsClose::Decode()",
          "Error decoding m_content in QtSfsRequest::Decode()"}},
        {"read without its length",
         "QtSfsRequest",
         Request(SfsRequest::Read, "QtSfsRead",
                 Framed(Concat({Str("h"), Bytes(8, 0), Bytes{0, 0}}))),
         {"DecodeWord32(): premature end of input data",
          "Error decoding m_length in QtSfsRead::Decode()",
          "Error decoding m_content in QtSfsRequest::Decode()"}},
        {"read with a cut offset",
         "QtSfsRead",
         Framed(Concat({Str("h"), Bytes(7, 0)})),
         {"DecodeWord64(): premature end of input data",
          "Error decoding m_offset in QtSfsRead::Decode()"}},
        {"handle cut short",
         "QtSfsClose",
         Framed(Concat({Word32(5), Bytes{1, 2}})),
         {"DecodeString(): premature end of input data", "Error decoding data in QtBytes::Decode()",
          "Error decoding m_handle in QtSfsClose::Decode()"}},
        {"path cut short",
         "QtSfsStat",
         Framed(Concat({Word32(3), Bytes{'/', 'a'}})),
         {"DecodeString(): premature end of input data",
          "DecodeWStrAsUtf8(): error decoding UTF-8 string",
          "Error decoding string in QtStr::Decode()",
          "Error decoding m_path in QtSfsStat::Decode()"}},
        {"attributes cut inside m_modifyTimeNs",
         "QtSfsAttrs",
         attrsCut,
         {"DecodeWord32(): premature end of input data",
          "Error decoding m_modifyTimeNs in QtSfsAttrs::Decode()"}},
        {"ACE cut inside its ACL",
         "QtSfsAttrs",
         attrsBadAcl,
         {"DecodeWord32(): premature end of input data",
          "Error decoding m_mask in QtSfsAce::Decode()",
          "Error decoding item 0 in QtVectS::Decode()",
          "Error decoding m_aces in QtSfsAcl::Decode()",
          "Error decoding m_acl in QtSfsAttrs::Decode()"}},
        {"third name cut off",
         "QtSfsNames",
         Framed(Concat({Framed(threeNames), Bytes{1}})),
         {"Insufficient input to decode 8 bytes in QtSfsName::Decode()",
          "Error decoding item 2 in QtVectS::Decode()",
          "Error decoding m_names in QtSfsNames::Decode()"}},
        {"names without the end-of-list flag",
         "QtSfsNames",
         Framed(Word32(0)),
         {"DecodeByte(): premature end of input data", "DecodeBoolean(): failed at DecodeByte()",
          "Error decoding m_endOfList in QtSfsNames::Decode()"}},
        {"log with a cut code",
         "QtSfsLog",
         Framed(Bytes{0, 2, 0}),
         {"DecodeWord16(): premature end of input data",
          "Error decoding m_code in QtSfsLog::Decode()"}},
        {"real path without its control byte",
         "QtSfsRealPath",
         Framed(Str("/")),
         {"DecodeByte(): premature end of input data",
          "Error decoding m_controlByte in QtSfsRealPath::Decode()"}},
        {"init with a cut tree",
         "QtSfsInit",
         Framed(Framed(Bytes{0, 0})),
         {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()",
          "DecodeWStrAsUtf8(): error decoding UTF-8 string",
          "Error decoding string in QtStr::Decode()",
          "Error decoding m_name in QtNameValueTree::Decode()",
          "Error decoding m_root in QtSfsInit::Decode()"}},
    };
}

TEST(SfsDecodeErrors, ChainsNameEveryLevelInnermostFirst) {
    for (const DecodeCase& c : DecodeCases()) {
        SCOPED_TRACE(c.what);
        RefPtr<QuantumS> q = QuantumRegistry::Instance().Create(c.typeId);
        ASSERT_TRUE(q);
        Decoded d = DecodeInto(*q, c.input);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.count, 0u);
        EXPECT_EQ(d.errors, c.expected);
        // A failed decode leaves the caller's position where it was.
        EXPECT_EQ(d.remaining, c.input.size());
    }
}

// An encode context that runs out of space after a fixed number of bytes.
class LimitedEncodeContext : public EncodeContext {
  public:
    explicit LimitedEncodeContext(uint32_t limit) : m_limit(limit) {}
    uint8_t* GetWritePtr(uint32_t n) override {
        if (m_used + n > m_limit) return nullptr;
        return m_inner.GetWritePtr(n);
    }
    void Commit(uint32_t n) override {
        m_used += n;
        m_inner.Commit(n);
    }

  private:
    uint32_t m_limit;
    uint32_t m_used = 0;
    QueueEncodeContext m_inner;
};

TEST(SfsEncodeErrors, OutOfSpaceNamesTheFrame) {
    QtSfsLog log;
    log.m_type = SfsLogType::Info;
    struct Case {
        uint32_t limit;
        Chain expected;
    } cases[] = {
        {0,
         {"EncodeWord32(): out of space", "Error encoding total size (8) in QtSfsLog::Encode()"}},
        {4, {"Error encoding data of size 8 in QtSfsLog::Encode()"}},
        {11, {"Error encoding data of size 8 in QtSfsLog::Encode()"}},
    };
    for (const auto& c : cases) {
        LimitedEncodeContext cx(c.limit);
        OpResult r = log.Encode(cx);
        EXPECT_FALSE(r.ok) << c.limit;
        EXPECT_EQ(ErrorLines(cx), c.expected) << c.limit;
    }
    LimitedEncodeContext enough(12);
    EXPECT_EQ(log.Encode(enough).count, 12u);
}

}  // namespace
}  // namespace kiln
