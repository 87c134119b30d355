// KilnComponent's defaults, KilnComponent::Exit and the error classes.
#include <gtest/gtest.h>

#include "component/kiln_component.h"

namespace kiln::test {
namespace {

TEST(KilnComponent, NewComponentHasItsErrorPortAndDefaults) {
    KilnComponent c;
    EXPECT_EQ(std::u16string(c.Name().sv()), u"componentNameNotSet");
    EXPECT_EQ(c.Hub(), nullptr);
    EXPECT_EQ(c.InPorts().size(), 0u);
    ASSERT_EQ(c.OutPorts().size(), 1u);
    EXPECT_EQ(c.OutPorts()[0], static_cast<OutPort*>(&c.ErrorPort()));
    EXPECT_STREQ(c.ErrorPort().TypeName(), "QtError");
    EXPECT_EQ(c.ErrorPort().Owner(), &c);
    EXPECT_FALSE(c.HostFlag1());
    EXPECT_FALSE(c.HostFlag2());
    EXPECT_EQ(c.Time(), 0u);
}

TEST(KilnComponent, HostQueriesAnswerTheirFixedValues) {
    KilnComponent c;
    EXPECT_EQ(c.IntegerQuery(), 3);
    KilnComponent::QueryRecord r = c.RecordQuery();
    EXPECT_EQ(r.value1, 4096u);
    EXPECT_EQ(r.value2, 65536u);
    EXPECT_FALSE(r.flag);
    EXPECT_EQ(c.Step(), 1);
}

TEST(KilnComponentExit, CarriesClassCodeAndText) {
    try {
        throw KilnComponent::Exit(ErrCls::Sfs, 1,
                                  u"KilnSfsProvider: missing 'MountPath' initialization parameter");
    } catch (const WException& e) {
        auto* exit = dynamic_cast<const KilnComponent::Exit*>(&e);
        ASSERT_NE(exit, nullptr);
        EXPECT_EQ(exit->cls, ErrCls::Sfs);
        EXPECT_EQ(exit->code, 1u);
        ASSERT_TRUE(exit->desc);
        EXPECT_EQ(std::u16string(e.Description().sv()),
                  u"KilnSfsProvider: missing 'MountPath' initialization parameter");
        EXPECT_STREQ(e.what(), "KilnSfsProvider: missing 'MountPath' initialization parameter");
    }
}

TEST(ErrCls, NamesEveryClassAndNumbersTheRest) {
    const std::pair<uint32_t, const char16_t*> cases[] = {
        {0, u"ErrCls.0"},          {1, u"ErrCls.Kiln"},
        {2, u"ErrCls.Win"},        {3, u"ErrCls.Socks4"},
        {4, u"ErrCls.Socks5Auth"}, {5, u"ErrCls.Socks5Conn"},
        {6, u"ErrCls.Http"},       {7, u"ErrCls.LocalSshDisconn"},
        {8, u"ErrCls.SshChnOpen"}, {9, u"ErrCls.Marrowd"},
        {10, u"ErrCls.Sfs"},       {11, u"ErrCls.Sftp"},
        {12, u"ErrCls.Scp"},       {13, u"ErrCls.RemoteSshDisconn"},
        {14, u"ErrCls.14"},        {4294967295u, u"ErrCls.4294967295"},
    };
    for (const auto& [value, name] : cases)
        EXPECT_EQ(std::u16string(EnumText(static_cast<ErrCls>(value)).sv()), name) << value;
}

TEST(KilnTime, CounterRateIsPositiveAndStable) {
    const double rate = KilnTime::CountsPerMillisecond();
    EXPECT_GT(rate, 0.0);
    EXPECT_EQ(rate, KilnTime::CountsPerMillisecond());
}

}  // namespace
}  // namespace kiln::test
