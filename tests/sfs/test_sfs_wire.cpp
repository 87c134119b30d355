// Wire forms and dumps of SFS messages, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "sfs/sfs_attrs.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_requests.h"
#include "sfs/sfs_responses.h"
#include "sfs/status_texts.h"
#include "sfs_test_util.h"

namespace kiln {
namespace {

using namespace sfstest;

RefPtr<QtBytes> MakeBytes(std::initializer_list<uint8_t> b) {
    return MakeRef<QtBytes>(std::data(b), b.size());
}

QtSfsRequest CloseRequest() {
    QtSfsRequest r;
    r.m_id = 7;
    r.m_type = SfsRequest::Close;
    auto close = MakeRef<QtSfsClose>();
    close->m_handle = MakeBytes({0x01, 0x02});
    r.m_content = close;
    return r;
}

const char* const kCloseHex =
    "00 00 00 20 00 00 00 07 00 00 00 04 00 00 00 0a 51 74 53 66 73 43 6c 6f 73 65 00 00 00 06 "
    "00 00 00 02 01 02";

TEST(SfsWire, CloseRequestEncodesTo36Bytes) {
    Encoded e = Encode(CloseRequest());
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.count, 36u);
    EXPECT_EQ(ToHex(e.bytes), kCloseHex);

    Decoded d;
    auto back = DecodeAs<QtSfsRequest>(Hex(kCloseHex), &d);
    ASSERT_TRUE(back) << ::testing::PrintToString(d.errors);
    EXPECT_EQ(d.count, 36u);
    EXPECT_EQ(back->m_id, 7u);
    EXPECT_EQ(back->m_type, SfsRequest::Close);
    auto close = QuantumCast<QtSfsClose>(back->m_content);
    ASSERT_TRUE(close && close->m_handle);
    EXPECT_EQ(close->m_handle->View(), std::string_view("\x01\x02", 2));
}

TEST(SfsWire, CloseRequestDump) {
    // The hex line of two bytes, at the bytes' own nesting level (4): two
    // byte columns, fourteen blank ones, the extra gap after the eighth, two
    // spaces and the character column.
    std::string hexLine =
        "    00000000   01 02 " + std::string(14 * 3 + 1, ' ') + "  .." + std::string(14, ' ');
    std::string expected =
        "QtSfsRequest:\n"
        "m_id: 7\n"
        "m_type: SfsRequest.Close\n"
        "m_content: QtSfsClose:\n"
        "  m_handle: QtBytes, 2 bytes\n" +
        hexLine +
        "\n"
        "m_outResponse: null\n"
        "m_outLog: null";
    EXPECT_EQ(DumpOf(CloseRequest()), expected);
}

TEST(SfsWire, StatDump) {
    QtSfsStat stat;
    stat.m_path = MakeStr(u"/a");
    stat.m_flags = 5;
    stat.m_followSymlink = true;
    EXPECT_EQ(DumpOf(stat), "QtSfsStat:\nm_path: QtStr, '/a'\nm_flags: 5\nm_followSymlink: true");
}

TEST(SfsWire, LogRecordUsesWord16Fields) {
    QtSfsLog log;
    log.m_type = SfsLogType::Info;
    log.m_code = SfsLogCode::Open;
    EXPECT_EQ(ToHex(Encode(log).bytes), "00 00 00 08 00 02 00 02 00 00 00 00");
    log.m_message = MakeStr(u"");
    EXPECT_EQ(ToHex(Encode(log).bytes), "00 00 00 08 00 02 00 02 00 00 00 00");
    log.m_type = SfsLogType::Warning;
    log.m_code = SfsLogCode::ProcessEof;
    log.m_message = MakeStr(u"x");
    EXPECT_EQ(ToHex(Encode(log).bytes), "00 00 00 09 00 01 00 64 00 00 00 01 78");
    EXPECT_EQ(DumpOf(log),
              "QtSfsLog:\nm_type: SfsLogType.Warning\nm_code: SfsLogCode.ProcessEof\n"
              "m_message: QtStr, 'x'");
}

TEST(SfsWire, AttributeRecordFrameSizes) {
    QtSfsAttrs attrs;
    Encoded plain = Encode(attrs);
    ASSERT_EQ(plain.bytes.size(), 109u);
    EXPECT_EQ(ToHex(Bytes(plain.bytes.begin(), plain.bytes.begin() + 12)),
              "00 00 00 69 00 00 00 00 00 00 00 05");  // frame 105, no flags, type Unknown

    attrs.m_acl = MakeRef<QtSfsAcl>();
    EXPECT_EQ(Encode(attrs).bytes.size(), 117u);
    attrs.m_acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    Encoded emptyAcl = Encode(attrs);
    ASSERT_EQ(emptyAcl.bytes.size(), 117u);
    EXPECT_EQ(emptyAcl.bytes[3], 113);

    // Each string adds its UTF-8 length; each ACE its own frame.
    attrs.m_owner = MakeStr(u"ab");
    attrs.m_mimeType = MakeStr(u"\u00e9");  // two bytes in UTF-8
    auto ace = MakeRef<QtSfsAce>();
    ace->m_who = MakeStr(u"OWNER@");
    attrs.m_acl->m_aces->Append(ace);
    EXPECT_EQ(Encode(attrs).bytes.size(), 117u + 2 + 2 + (4 + 12 + 4 + 6));
}

TEST(SfsWire, AttributeRecordDumpListsAllFields) {
    QtSfsAttrs attrs;
    attrs.m_type = SfsType::Directory;
    attrs.m_textHint = SfsTextHint::KnownBinary;
    attrs.m_owner = MakeStr(u"alice");
    std::string expected =
        "QtSfsAttrs:\nm_validAttrFlags: 0\nm_type: SfsType.Directory\nm_size: 0\n"
        "m_allocSize: 0\nm_owner: QtStr, 'alice'\nm_group: null\nm_permissions: 0\n"
        "m_accessTime: 0\nm_accessTimeNs: 0\nm_createTime: 0\nm_createTimeNs: 0\n"
        "m_modifyTime: 0\nm_modifyTimeNs: 0\nm_cTime: 0\nm_cTimeNs: 0\nm_acl: null\n"
        "m_attrBits: 0\nm_attrBitsValid: 0\nm_textHint: 2\nm_mimeType: null\nm_linkCount: 0";
    EXPECT_EQ(DumpOf(attrs), expected);
}

TEST(SfsWire, AceAndAclDump) {
    auto ace = MakeRef<QtSfsAce>();
    ace->m_type = SfsAceType::AccessDenied;
    ace->m_mask = SfsAccessMask::WriteData;
    ace->m_who = MakeStr(u"EVERYONE@");
    QtSfsAcl acl;
    acl.m_aces = MakeRef<QtVectS<QtSfsAce>>();
    acl.m_aces->Append(ace);
    EXPECT_EQ(DumpOf(acl),
              "QtSfsAcl:\nm_flags: 0\nm_aces: QtVectS, 1 objects\n  [0] QtSfsAce:\n"
              "    m_type: SfsAceType.AccessDenied\n    m_flags: 0\n    m_mask: 2\n"
              "    m_who: QtStr, 'EVERYONE@'");
}

TEST(SfsWire, StatusMadeFromACode) {
    RefPtr<QtSfsStatus> ok = QtSfsStatus::Make(SfsStatusCode::Ok);
    Encoded e = Encode(*ok);
    const std::string text = "The operation completed successfully.";
    ASSERT_EQ(e.bytes.size(), 4 + 4 + (4 + text.size()) + (4 + 2));
    EXPECT_EQ(e.bytes[3], 4 + (4 + text.size()) + (4 + 2));
    EXPECT_EQ(ToHex(Bytes(e.bytes.end() - 6, e.bytes.end())), "00 00 00 02 65 6e");
    EXPECT_EQ(Narrow(ok->m_errorMessage->sv()), text);

    RefPtr<QtSfsStatus> missing = QtSfsStatus::Make(SfsStatusCode::NoSuchFile);
    EXPECT_EQ(DumpOf(*missing),
              "QtSfsStatus:\nm_statusCode: SfsStatusCode.NoSuchFile\n"
              "m_errorMessage: QtStr, 'The file does not exist.'\nm_languageTag: QtStr, 'en'");
    // One tag object for every status.
    EXPECT_EQ(ok->m_languageTag.get(), missing->m_languageTag.get());
    EXPECT_EQ(ok->m_languageTag.get(), SfsEnglishTag().get());

    RefPtr<QtSfsStatus> own = QtSfsStatus::Make(SfsStatusCode::Failure, u"Disk on fire.");
    EXPECT_EQ(own->m_errorMessage->sv(), u"Disk on fire.");
    EXPECT_EQ(own->m_languageTag.get(), ok->m_languageTag.get());
    RefPtr<QtSfsStatus> odd = QtSfsStatus::Make(static_cast<SfsStatusCode>(77));
    EXPECT_EQ(odd->m_errorMessage->sv(), u"The requested operation failed.");
}

TEST(SfsWire, EmptyNamesFrameIsFiveBytes) {
    QtSfsNames names;
    names.m_names = MakeRef<QtVectS<QtSfsName>>();
    names.m_endOfList = true;
    EXPECT_EQ(ToHex(Encode(names).bytes), "00 00 00 05 00 00 00 00 01");
}

TEST(SfsWire, SpaceAvailReplyHasAFixedFrame) {
    QtSfsSpaceAvailReply reply;
    reply.m_bytesOnDevice = 0x0102030405060708;
    reply.m_unusedBytesOnDevice = 1;
    reply.m_bytesAvailableToUser = 2;
    reply.m_unusedBytesAvailableToUser = 3;
    reply.m_bytesPerAllocationUnit = 4096;
    EXPECT_EQ(ToHex(Encode(reply).bytes),
              "00 00 00 24 01 02 03 04 05 06 07 08 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 "
              "02 00 00 00 00 00 00 00 03 00 00 10 00");
}

TEST(SfsWire, ResponseEnvelopeCarriesItsContent) {
    QtSfsResponse response;
    response.m_id = 0x01020304;
    response.m_type = SfsResponse::Handle;
    auto handle = MakeRef<QtSfsHandle>();
    handle->m_handle = MakeBytes({0xAB});
    response.m_content = handle;
    EXPECT_EQ(ToHex(Encode(response).bytes),
              "00 00 00 20 01 02 03 04 00 00 00 66 00 00 00 0b 51 74 53 66 73 48 61 6e 64 6c 65 "
              "00 00 00 05 00 00 00 01 ab");
}

TEST(SfsWire, RealPathControlByteIsOneByte) {
    QtSfsRealPath rp;
    rp.m_originalPath = MakeStr(u"/");
    rp.m_controlByte = SfsRealPath::StatAlways;
    rp.m_composePaths = MakeRef<QtVectS<QtStr>>();
    rp.m_composePaths->Append(MakeStr(u"a"));
    rp.m_composePaths->Append(MakeStr(u"b"));
    EXPECT_EQ(ToHex(Encode(rp).bytes),
              "00 00 00 14 00 00 00 01 2f 03 00 00 00 0a 00 00 00 01 61 00 00 00 01 62");
}

TEST(SfsWire, NullContentTravelsAsEmptyTypeId) {
    QtSfsRequest r;
    r.m_id = 1;
    r.m_type = SfsRequest::HomeDir;
    Encoded e = Encode(r);
    EXPECT_EQ(ToHex(e.bytes), "00 00 00 0c 00 00 00 01 00 00 07 d4 00 00 00 00");
    auto back = DecodeAs<QtSfsRequest>(e.bytes);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->m_content);
    EXPECT_EQ(back->m_type, SfsRequest::HomeDir);
}

TEST(SfsWire, ExtraBytesInAFrameAreSkipped) {
    // The Close request with two more bytes inside the envelope's frame, then
    // one byte after it that the caller must still find unread.
    Bytes b = Hex(kCloseHex);
    b[3] = 0x22;
    b.push_back(0xEE);
    b.push_back(0xEE);
    b.push_back(0x99);
    Decoded d;
    auto back = DecodeAs<QtSfsRequest>(b, &d);
    ASSERT_TRUE(back) << ::testing::PrintToString(d.errors);
    EXPECT_EQ(d.count, 38u);
    EXPECT_EQ(d.remaining, 1u);
    EXPECT_TRUE(QuantumCast<QtSfsClose>(back->m_content));
}

TEST(SfsWire, ProviderInfoBlockVectorsAreWord16) {
    QtSfsProviderInfo info;
    info.m_supportedOpenBlockVector = 0x00FF;
    info.m_supportedBlockVector = 0x000C;
    Encoded e = Encode(info);
    // Null vendor record (4), five Word32 (20), two Word16 (4).
    ASSERT_EQ(e.bytes.size(), 4u + 28u);
    EXPECT_EQ(ToHex(Bytes(e.bytes.end() - 4, e.bytes.end())), "00 ff 00 0c");
}

}  // namespace
}  // namespace kiln
