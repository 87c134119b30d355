#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sfs/sfs_attrs.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_requests.h"
#include "sfs/sfs_responses.h"
#include "sfs_fill.h"
#include "sfs_test_util.h"

namespace kiln {
namespace {

using namespace sfstest;

class SfsRoundTrip : public ::testing::TestWithParam<SfsClass> {
  protected:
    RefPtr<QuantumS> Create() const { return QuantumRegistry::Instance().Create(GetParam().typeId); }
    RefPtr<QuantumS> Decode(const Bytes& bytes, Decoded* result = nullptr) const {
        RefPtr<QuantumS> q = Create();
        Decoded d = DecodeInto(*q, bytes);
        if (result) *result = d;
        return d.ok ? q : nullptr;
    }
};
INSTANTIATE_TEST_SUITE_P(Classes, SfsRoundTrip, ::testing::ValuesIn(AllSfsClasses()), ClassName);

// Every field set to a non-default value survives encoding and decoding: the
// decoded object encodes to the same bytes and dumps the same text.
TEST_P(SfsRoundTrip, NonDefaultValuesSurvive) {
    unsigned seed = 1;
    RefPtr<QuantumS> original = GetParam().makeFilled(seed, {});
    Encoded first = Encode(*original);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.count, first.bytes.size());
    EXPECT_NE(first.bytes, Encode(*Create()).bytes);

    // Decoded through the registry, as a polymorphic field would be.
    RefPtr<QuantumS> decoded = Create();
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(GetParam().isA(*decoded));
    Decoded d = DecodeInto(*decoded, first.bytes);
    ASSERT_TRUE(d.ok) << ::testing::PrintToString(d.errors);
    EXPECT_EQ(d.count, first.bytes.size());
    EXPECT_EQ(d.remaining, 0u);
    EXPECT_EQ(Encode(*decoded).bytes, first.bytes);
    EXPECT_EQ(DumpOf(*decoded, false), DumpOf(*original, false));
}

// A default object round-trips too; nested references that were null come
// back null (message classes) or empty (strings, bytes, vectors).
TEST_P(SfsRoundTrip, DefaultObjectRoundTrips) {
    RefPtr<QuantumS> original = Create();
    Encoded e = Encode(*original);
    ASSERT_TRUE(e.ok);
    Decoded d;
    RefPtr<QuantumS> decoded = Decode(e.bytes, &d);
    ASSERT_TRUE(decoded) << ::testing::PrintToString(d.errors);
    EXPECT_EQ(Encode(*decoded).bytes, e.bytes);
}

// Port fields: not on the wire, null after decoding, dumped after the wire
// fields.
TEST_P(SfsRoundTrip, InMemoryFieldsAreNotEncoded) {
    unsigned seedA = 1, seedB = 1;
    RefPtr<QuantumS> withPorts = GetParam().makeFilled(seedA, FillOptions{true, 0});
    RefPtr<QuantumS> without = GetParam().makeFilled(seedB, FillOptions{false, 0});
    Bytes bytes = Encode(*withPorts).bytes;
    EXPECT_EQ(bytes, Encode(*without).bytes);
    RefPtr<QuantumS> decoded = Decode(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(DumpOf(*decoded), DumpOf(*without));
}

TEST(SfsRegistry, EveryClassAndItsVectorIsRegistered) {
    std::set<std::string> registered;
    for (auto id : QuantumRegistry::Instance().TypeIds()) {
        std::string s(id);
        if (s.rfind("QtSfs", 0) == 0) registered.insert(s);
    }
    EXPECT_EQ(registered.size(), kSfsClassCount);
    EXPECT_EQ(AllSfsClasses().size(), kSfsClassCount);  // the tests above cover each
    for (const auto& id : registered) {
        EXPECT_TRUE(QuantumRegistry::Instance().Contains("QtVectS[" + id + "]")) << id;
        RefPtr<QuantumS> q = QuantumRegistry::Instance().Create(id);
        ASSERT_TRUE(q) << id;
        EXPECT_EQ(q->TypeId(), id);
    }
    EXPECT_FALSE(QuantumRegistry::Instance().Contains("QtVect[QtSfsName]"));
    // With the primitives and the general-purpose quanta: 62 classes, each
    // with its vector.
    EXPECT_EQ(QuantumRegistry::Instance().Size(), 124u);
}

TEST(SfsRequestTable, EveryRequestTypeNamesARegisteredContentClass) {
    std::set<std::string> contents;
    for (uint32_t v = 0; v < 2100; ++v) {
        const char* id = SfsRequestContentTypeId(static_cast<SfsRequest>(v));
        if (!id) continue;
        EXPECT_TRUE(EnumName(static_cast<SfsRequest>(v))) << v;
        EXPECT_TRUE(QuantumRegistry::Instance().Contains(id)) << id;
        contents.insert(id);
    }
    EXPECT_EQ(contents.size(), 25u);
    EXPECT_STREQ(SfsRequestContentTypeId(SfsRequest::Stat), "QtSfsStat");
    EXPECT_STREQ(SfsRequestContentTypeId(SfsRequest::CheckFileName), "QtSfsCheckFileName");
    EXPECT_EQ(SfsRequestContentTypeId(static_cast<SfsRequest>(20)), nullptr);
}

TEST(SfsResponseTable, EveryResponseTypeNamesARegisteredContentClass) {
    const std::pair<SfsResponse, const char*> table[] = {
        {SfsResponse::Status, "QtSfsStatus"},
        {SfsResponse::Handle, "QtSfsHandle"},
        {SfsResponse::Data, "QtSfsData"},
        {SfsResponse::Names, "QtSfsNames"},
        {SfsResponse::Attrs, "QtSfsAttrs"},
        {SfsResponse::Name, "QtSfsName"},
        {SfsResponse::CheckFileReply, "QtSfsCheckFileReply"},
        {SfsResponse::SpaceAvailReply, "QtSfsSpaceAvailReply"},
    };
    for (const auto& [type, id] : table) EXPECT_STREQ(SfsResponseContentTypeId(type), id);
    EXPECT_EQ(SfsResponseContentTypeId(static_cast<SfsResponse>(100)), nullptr);
}

// ---- Null nested records --------------------------------------------------
// What the backend sends must survive its own wire format: a nested record
// of a message class that was null comes back null.

TEST(SfsNullNested, AttrsWithNullAclRoundTripsAsNull) {
    QtSfsAttrs attrs;
    attrs.m_validAttrFlags = SfsAttrFlags::Size | SfsAttrFlags::Permissions;
    attrs.m_size = 12345;
    attrs.m_permissions = 0644;
    attrs.m_linkCount = 3;
    Encoded e = Encode(attrs);
    ASSERT_TRUE(e.ok);
    Decoded d;
    RefPtr<QtSfsAttrs> back = DecodeAs<QtSfsAttrs>(e.bytes, &d);
    ASSERT_TRUE(back) << ::testing::PrintToString(d.errors);
    EXPECT_FALSE(back->m_acl);
    EXPECT_EQ(back->m_size, 12345u);
    EXPECT_EQ(back->m_permissions, 0644u);
    EXPECT_EQ(back->m_linkCount, 3u);
    EXPECT_EQ(back->m_type, SfsType::Unknown);
    // Strings written as null come back as empty strings, not null.
    ASSERT_TRUE(back->m_owner);
    EXPECT_TRUE(back->m_owner->empty());
    ASSERT_TRUE(back->m_mimeType);
}

TEST(SfsNullNested, OpenWithNullAttrsRoundTripsAsNull) {
    QtSfsOpen open;
    open.m_fileName = MakeStr(u"/a/b");
    open.m_desiredAccess = SfsAccessMask::ReadData;
    open.m_flags = SfsOpenFlags::OpenExisting;
    RefPtr<QtSfsOpen> back = DecodeAs<QtSfsOpen>(Encode(open).bytes);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->m_attrs);
    EXPECT_EQ(back->m_flags, SfsOpenFlags::OpenExisting);
    EXPECT_EQ(back->m_fileName->sv(), u"/a/b");

    // The same inside the attributes: a record whose ACL is null.
    open.m_attrs = MakeRef<QtSfsAttrs>();
    back = DecodeAs<QtSfsOpen>(Encode(open).bytes);
    ASSERT_TRUE(back);
    ASSERT_TRUE(back->m_attrs);
    EXPECT_FALSE(back->m_attrs->m_acl);
}

TEST(SfsNullNested, NullRecordsOfOtherMessageClassesComeBackNull) {
    QtSfsName name;
    QtSfsProviderInfo info;
    QtSfsInit init;
    auto nameBack = DecodeAs<QtSfsName>(Encode(name).bytes);
    auto infoBack = DecodeAs<QtSfsProviderInfo>(Encode(info).bytes);
    auto initBack = DecodeAs<QtSfsInit>(Encode(init).bytes);
    ASSERT_TRUE(nameBack && infoBack && initBack);
    EXPECT_FALSE(nameBack->m_attrs);
    EXPECT_TRUE(nameBack->m_fileName);
    EXPECT_FALSE(infoBack->m_vendorInfo);
    EXPECT_FALSE(initBack->m_root);
}

TEST(SfsNullNested, NullVectorsAndPrimitivesComeBackEmpty) {
    QtSfsAcl acl;
    acl.m_flags = 9;
    Encoded e = Encode(acl);
    EXPECT_EQ(ToHex(e.bytes), "00 00 00 08 00 00 00 09 00 00 00 00");
    auto back = DecodeAs<QtSfsAcl>(e.bytes);
    ASSERT_TRUE(back);
    ASSERT_TRUE(back->m_aces);
    EXPECT_EQ(back->m_aces->Count(), 0u);

    QtSfsData data;
    auto dataBack = DecodeAs<QtSfsData>(Encode(data).bytes);
    ASSERT_TRUE(dataBack && dataBack->m_data);
    EXPECT_EQ(dataBack->m_data->Size(), 0u);

    QtNameValueTree leaf;
    leaf.m_name = MakeStr(u"RootPath");
    Encoded leafBytes = Encode(leaf);
    EXPECT_EQ(ToHex(leafBytes.bytes),
              "00 00 00 14 00 00 00 08 52 6f 6f 74 50 61 74 68 00 00 00 00 00 00 00 00");
    auto leafBack = DecodeAs<QtNameValueTree>(leafBytes.bytes);
    ASSERT_TRUE(leafBack && leafBack->m_nested);
    EXPECT_EQ(leafBack->m_nested->Count(), 0u);
}

// A class without fields still decodes from an empty frame as an empty
// object, also when nested by a fixed field.
class QtTestEmpty : public QtMessage<QtTestEmpty> {
  public:
    KILN_QUANTUM_ID(QtTestEmpty)
    static constexpr auto Fields() { return std::tuple<>(); }
};
class QtTestHolder : public QtMessage<QtTestHolder> {
  public:
    KILN_QUANTUM_ID(QtTestHolder)
    RefPtr<QtTestEmpty> m_empty;
    uint8_t m_after = 0;
    static constexpr auto Fields() {
        return std::make_tuple(Field("m_empty", &QtTestHolder::m_empty),
                               Field("m_after", &QtTestHolder::m_after));
    }
};

TEST(SfsNullNested, FieldlessNestedClassDecodesAsEmptyObject) {
    QtTestHolder holder;
    holder.m_after = 0x5A;
    Encoded e = Encode(holder);
    EXPECT_EQ(ToHex(e.bytes), "00 00 00 05 00 00 00 00 5a");
    auto back = DecodeAs<QtTestHolder>(e.bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->m_empty);
    EXPECT_EQ(back->m_after, 0x5A);
}

TEST(SfsInMemoryFields, PortsAreNullAfterDecodingAndDumpedLast) {
    QtSfsRequest request;
    request.m_id = 9;
    request.m_type = SfsRequest::Open;
    auto open = MakeRef<QtSfsOpen>();
    open->m_outFileTransfer = MakeRef<SfsFileTransferPort>();
    request.m_content = open;
    request.m_outResponse = MakeRef<SfsResponsePort>();
    request.m_outLog = MakeRef<SfsLogPort>();

    std::string dump = DumpOf(request);
    size_t content = dump.find("\nm_content: QtSfsOpen:");
    size_t response = dump.find("\nm_outResponse: QtOutPort[QtSfsResponse]");
    size_t log = dump.find("\nm_outLog: QtOutPort[QtSfsLog]");
    size_t transfer = dump.find("\n  m_outFileTransfer: QtOutPort[QtSfsNotifyFileTransfer]");
    size_t attrs = dump.find("\n  m_attrs: null");
    ASSERT_NE(content, std::string::npos) << dump;
    ASSERT_NE(transfer, std::string::npos) << dump;
    ASSERT_NE(attrs, std::string::npos) << dump;
    EXPECT_LT(attrs, transfer);
    EXPECT_LT(content, response);
    EXPECT_LT(response, log);
    EXPECT_EQ(dump.substr(log + 1), "m_outLog: QtOutPort[QtSfsLog]");

    Decoded d;
    auto back = DecodeAs<QtSfsRequest>(Encode(request).bytes, &d);
    ASSERT_TRUE(back) << ::testing::PrintToString(d.errors);
    EXPECT_FALSE(back->m_outResponse);
    EXPECT_FALSE(back->m_outLog);
    auto backOpen = QuantumCast<QtSfsOpen>(back->m_content);
    ASSERT_TRUE(backOpen);
    EXPECT_FALSE(backOpen->m_outFileTransfer);

    QtSfsInit init;
    init.m_outLog = MakeRef<SfsLogPort>();
    auto initBack = DecodeAs<QtSfsInit>(Encode(init).bytes);
    ASSERT_TRUE(initBack);
    EXPECT_FALSE(initBack->m_outLog);
    EXPECT_EQ(DumpOf(*initBack), "QtSfsInit:\nm_root: null\nm_outLog: null");
}

}  // namespace
}  // namespace kiln
