// QtError, QtEof, the name/value tree and the registration of the
// general-purpose quanta.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "component/general_quanta.h"
#include "component/qt_error.h"
#include "quantum/registry.h"

namespace kiln::test {
namespace {

std::vector<uint8_t> Encode(const QuantumS& q) {
    datavect<uint8_t> bytes;
    EXPECT_TRUE(EncodeToBytes(q, bytes));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

template <class T>
RefPtr<T> Decode(const std::vector<uint8_t>& bytes) {
    RefPtr<T> q = MakeRef<T>();
    StaticDecodeContext cx(bytes.data(), bytes.size());
    OpResult r = q->Decode(cx);
    EXPECT_TRUE(r);
    EXPECT_EQ(r.count, bytes.size());
    return q;
}

std::u16string DumpOf(const Quantum& q) {
    return std::u16string(q.Dump(DumpOptions{}).sv());
}

TEST(QtError, NewErrorIsOfClassKilnWithNothingElse) {
    QtError e;
    EXPECT_EQ(DumpOf(e),
              u"QtError:\nm_component: null\nm_cls: ErrCls.Kiln\nm_code: 0\nm_desc: null");
}

TEST(QtError, EncodesDumpsAndDecodesAgain) {
    RefPtr<QtError> e = MakeRef<QtError>();
    e->m_component = MakeStr(u"c");
    e->m_cls = ErrCls::Win;
    e->m_code = 5;
    e->m_desc = MakeStr(u"d");
    const std::vector<uint8_t> expected = {0, 0, 0, 18, 0, 0, 0, 1, 'c', 0, 0,
                                           0, 2, 0, 0,  0, 5, 0, 0, 0,   1, 'd'};
    std::vector<uint8_t> bytes = Encode(*e);
    EXPECT_EQ(bytes, expected);
    const std::u16string dump =
        u"QtError:\nm_component: QtStr, 'c'\nm_cls: ErrCls.Win\nm_code: 5\nm_desc: QtStr, 'd'";
    EXPECT_EQ(DumpOf(*e), dump);
    RefPtr<QtError> back = Decode<QtError>(bytes);
    EXPECT_EQ(DumpOf(*back), dump);
    EXPECT_EQ(Encode(*back), expected);
}

TEST(QtError, UnnamedClassDumpsAsItsNumber) {
    QtError e;
    e.m_cls = static_cast<ErrCls>(14);
    EXPECT_NE(DumpOf(e).find(u"\nm_cls: ErrCls.14\n"), std::u16string::npos);
}

// Every general-purpose quantum is registered under its class name, with its
// encodable vector.
TEST(GeneralQuanta, AreRegisteredUnderTheirNames) {
    const char* names[] = {"QtConnect",      "QtConnectProxy",
                           "QtSuccess",      "QtListen",
                           "QtAccepted",     "QtEof",
                           "QtFlush",        "QtDataRate",
                           "QtError",        "QtNameValueStr",
                           "QtNameValueBin", "QtNameValueTree",
                           "QtDatagram",     "QtDatagramSendError",
                           "QtBuffer",       "QtExitCode",
                           "QtTrigger"};
    QuantumRegistry& registry = QuantumRegistry::Instance();
    for (const char* name : names) {
        RefPtr<QuantumS> q = registry.Create(name);
        ASSERT_TRUE(q) << name;
        EXPECT_STREQ(q->TypeId(), name);
        const std::string vect = std::string("QtVectS[") + name + "]";
        RefPtr<QuantumS> v = registry.Create(vect);
        ASSERT_TRUE(v) << vect;
        EXPECT_EQ(vect, v->TypeId());
    }
    EXPECT_FALSE(registry.Contains("QtOutPort[QtError]")) << "reply ports are not encodable";
}

TEST(GeneralQuanta, FieldlessOnesAreAnEmptyFrame) {
    const char* names[] = {"QtConnect", "QtEof", "QtBuffer", "QtTrigger", "QtNameValueStr"};
    for (const char* name : names) {
        RefPtr<QuantumS> q = QuantumRegistry::Instance().Create(name);
        ASSERT_TRUE(q);
        EXPECT_EQ(Encode(*q), (std::vector<uint8_t>{0, 0, 0, 0})) << name;
        const uint8_t frame[] = {0, 0, 0, 2, 0xAA, 0xBB};  // bytes no field claims are skipped
        StaticDecodeContext cx(frame, sizeof frame);
        OpResult r = q->Decode(cx);
        EXPECT_TRUE(r) << name;
        EXPECT_EQ(r.count, 6u);
        EXPECT_EQ(std::u16string(q->Dump(DumpOptions{}).sv()),
                  std::u16string(Ascii(name).sv()) + u":");
    }
}

TEST(QtNameValueTree, LeafEncodesNoChildrenAndDecodesWithAnEmptyChildVector) {
    RefPtr<QtNameValueTree> leaf = QtNameValueTree::Make(u"a", u"b");
    const std::vector<uint8_t> expected = {0, 0, 0, 14, 0,   0, 0, 1, 'a',
                                           0, 0, 0, 1,  'b', 0, 0, 0, 0};
    EXPECT_EQ(Encode(*leaf), expected);
    RefPtr<QtNameValueTree> back = Decode<QtNameValueTree>(expected);
    ASSERT_TRUE(back->m_nested);
    EXPECT_EQ(back->m_nested->Count(), 0u);
    EXPECT_EQ(back->m_name->sv(), u"a");
    EXPECT_EQ(back->m_value->sv(), u"b");
}

TEST(QtNameValueTree, NestedTreeRoundTripsAndDumpsIndented) {
    RefPtr<QtNameValueTree> root = QtNameValueTree::Make(u"root", u"");
    ASSERT_TRUE(root->AddChild(u"MountPath", u"/"));
    RefPtr<QtNameValueTree> group = root->AddChild(u"Group", u"g");
    ASSERT_TRUE(group->AddChild(u"Inner", u"i"));
    const std::u16string dump =
        u"QtNameValueTree:\n"
        u"m_name: QtStr, 'root'\n"
        u"m_value: QtStr, ''\n"
        u"m_nested: QtVectS, 2 objects\n"
        u"  [0] QtNameValueTree:\n"
        u"    m_name: QtStr, 'MountPath'\n"
        u"    m_value: QtStr, '/'\n"
        u"    m_nested: null\n"
        u"  [1] QtNameValueTree:\n"
        u"    m_name: QtStr, 'Group'\n"
        u"    m_value: QtStr, 'g'\n"
        u"    m_nested: QtVectS, 1 objects\n"
        u"      [0] QtNameValueTree:\n"
        u"        m_name: QtStr, 'Inner'\n"
        u"        m_value: QtStr, 'i'\n"
        u"        m_nested: null";
    EXPECT_EQ(DumpOf(*root), dump);
    std::vector<uint8_t> bytes = Encode(*root);
    RefPtr<QtNameValueTree> back = Decode<QtNameValueTree>(bytes);
    EXPECT_EQ(Encode(*back), bytes);
    ASSERT_TRUE(back->ChildValue(u"Group"));
    EXPECT_EQ(back->m_nested->At(1)->ChildValue(u"Inner")->sv(), u"i");
}

TEST(QtNameValueTree, ChildValueLooksOneLevelDownByExactName) {
    RefPtr<QtNameValueTree> root = QtNameValueTree::Make(u"", u"");
    EXPECT_FALSE(root->ChildValue(u"MountPath")) << "a root without children has no values";
    root->AddChild(u"MountPath", u"first");
    root->AddChild(u"MountPath", u"second");
    root->AddChild(u"Group", u"")->AddChild(u"Deep", u"x");
    struct Case {
        const char16_t* name;
        const char16_t* value;  // null: not found
    } cases[] = {
        {u"MountPath", u"first"},  // the first of two wins
        {u"mountpath", nullptr},   // letter case counts
        {u"MountPat", nullptr},   {u"MountPathX", nullptr}, {u"Deep", nullptr},  // one level only
        {u"Group", u""},
    };
    for (const Case& c : cases) {
        RefPtr<QtStr> v = root->ChildValue(c.name);
        if (!c.value) {
            EXPECT_FALSE(v) << std::string(c.name,
                                           c.name + std::char_traits<char16_t>::length(c.name));
        } else {
            ASSERT_TRUE(v);
            EXPECT_EQ(v->sv(), c.value);
        }
    }
}

}  // namespace
}  // namespace kiln::test
