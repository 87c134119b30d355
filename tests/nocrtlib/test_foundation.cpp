// Foundation types: reference-count sentinels, the assertion report, the
// fatal stop, containers and number texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <regex>
#include <string>

#include "nocrtlib/exceptions.h"
#include "nocrtlib/refptr.h"
#include "platform/session.h"
#include "support/wine.h"

namespace kiln {
namespace {

struct Counted : RefCountable {
    explicit Counted(int* destroyed = nullptr) : destroyed_(destroyed) {}
    ~Counted() override {
        if (destroyed_) ++*destroyed_;
    }
    int* destroyed_;
};

std::string AssertionText(const std::function<void()>& f) {
    try {
        f();
    } catch (const StrAssertionFailed& e) {
        return Narrow(e.Description().sv());
    }
    return "<no assertion>";
}

TEST(RefCount, SentinelsAndLifecycle) {
    int destroyed = 0;
    auto* p = new Counted(&destroyed);
    EXPECT_EQ(p->RefCount(), RefCountable::INIT_REFCOUNT);
    {
        RefPtr<Counted> a(p);
        EXPECT_EQ(p->RefCount(), 1u);
        RefPtr<Counted> b = a;
        EXPECT_EQ(p->RefCount(), 2u);
    }
    EXPECT_EQ(destroyed, 1);

    // Never referenced: destroyed without complaint.
    delete new Counted(&destroyed);
    EXPECT_EQ(destroyed, 2);
}

TEST(RefCount, ReleasingAnUnreferencedObjectAsserts) {
    Counted c;
    std::string text = AssertionText([&] { c.Release(); });
    EXPECT_THAT(text, testing::HasSubstr("source file 'NoCrtLib/RefPtr', line 57:\r\n"
                                         "m_refCount > 0 && m_refCount < INIT_REFCOUNT"));
}

TEST(RefCount, DestroyingAReferencedObjectAsserts) {
    auto* p = new Counted;
    p->AddRef();
    std::string text = AssertionText([&] { delete p; });
    EXPECT_THAT(text, testing::HasSubstr(
                          "source file 'RefPtr', line 25:\r\n"
                          "m_refCount == DESTROY_REFCOUNT || m_refCount == INIT_REFCOUNT"));
}

TEST(RefCount, NullDereferenceAsserts) {
    RefPtr<Counted> null;
    EXPECT_THAT(AssertionText([&] { (void)null->RefCount(); }), testing::HasSubstr("m_ptr != 0"));
}

TEST(Assertion, ReportNamesModuleProcessFileAndLine) {
    datavect<int> v;
    std::string text = AssertionText([&] { (void)v[3]; });
    std::regex form(
        "Assertion failed in module '.*test_nocrtlib(?:\\.exe)?', PID ([0-9]+), source file "
        "'nocrtlib/datavect', line [0-9]+:\r\n!af_ && i<s_");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, form)) << text;
#ifdef _WIN32
    EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(GetCurrentProcessId()));
#else
    EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(getpid()));
#endif
}

// Destroying a referenced object while another exception unwinds must stop
// the process with its report rather than throw a second exception.
struct Unwinder {
    Counted* victim;
    ~Unwinder() { delete victim; }
};

#ifndef _WIN32
// In a child process of fork, which Windows has not.
TEST(Assertion, FatalStopWhileUnwinding) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    // What this process has buffered would be written by the child as well.
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        platform::SetDebuggerWaitChecks(0);
        try {
            auto* p = new Counted;
            p->AddRef();
            Unwinder u{p};
            throw std::runtime_error("first");
        } catch (...) {
        }
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kFatalAssertionExitCode & 0xFF);
    EXPECT_THAT(text, testing::StartsWith("\r\nAssertion failed in module '"));
    EXPECT_THAT(text, testing::HasSubstr("source file 'RefPtr', line 23:\r\n"));
    EXPECT_THAT(text, testing::EndsWith("\r\nThe asserting thread will be terminated.\r\n"));
}
#endif

TEST(DataVect, GrowthDoublesPlusTwo) {
    datavect<uint8_t> v;
    std::vector<size_t> capacities;
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(v.push_back(static_cast<uint8_t>(i)));
        if (capacities.empty() || capacities.back() != v.capacity())
            capacities.push_back(v.capacity());
    }
    EXPECT_EQ(capacities, (std::vector<size_t>{2, 6, 14, 30}));
    EXPECT_EQ(v[14], 14);
}

TEST(DataVect, RangeChecks) {
    datavect<int> v;
    int items[] = {1, 2, 3};
    v.append(items, 3);
    EXPECT_THAT(AssertionText([&] { v.erase(2, 2); }), testing::HasSubstr("pos + count <= s_"));
    EXPECT_THAT(AssertionText([&] { v.erase(v.data() + 2, v.data() + 1); }),
                testing::HasSubstr("(p2 >= p1) && (p2 <= p_ + s_)"));
    v.erase(v.data(), v.data() + 1);
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 2);
}

TEST(NcString, LengthCountsTheTerminator) {
    WString never;
    EXPECT_EQ(never.stored_length(), 0u);
    WString s(u"abc");
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(s.stored_length(), 4u);
    s += u"de";
    EXPECT_EQ(s, u"abcde");
    EXPECT_EQ(s.c_str()[5], u'\0');
    EXPECT_EQ(s.substr(1, 2), u"bc");
}

TEST(NumberText, Radixes) {
    struct Case {
        uint64_t value;
        unsigned radix;
        const char16_t* text;
    } cases[] = {
        {0, 10, u"0"},    {18446744073709551615ull, 10, u"18446744073709551615"},
        {255, 16, u"FF"}, {5, 2, u"101"},
        {35, 36, u"Z"},   {1295, 36, u"ZZ"},
    };
    for (const auto& c : cases) EXPECT_EQ(NumberToText(c.value, c.radix), c.text) << c.value;
    EXPECT_EQ(NumberToText(int64_t{-42}), u"-42");
}

TEST(Exceptions, NarrowTextAndSystemErrorDescription) {
    WStrException e(u"gr\u00fc\u00df");
#ifndef _WIN32
    // In the ANSI code page, which is UTF-8 only on Linux.
    EXPECT_STREQ(e.what(), "gr\xc3\xbc\xc3\x9f");
#endif
    KILN_SKIP_UNDER_WINE("its message for error 5 reads \"Access denied.\", Windows' reads "
                         "\"Access is denied.\"");
    SystemError se(u"GetFileAttributes()", 5);
    EXPECT_EQ(se.Description(), u"GetFileAttributes() failed: Windows error 5: Access is denied.");
    SystemError bare(u"", 2);
    EXPECT_EQ(bare.Description(), u"Windows error 2: The system cannot find the file specified.");
    N2WException n2w(std::runtime_error("boom"));
    EXPECT_EQ(n2w.Description(), u"boom");
}

TEST(Exceptions, WindowsErrorTextNumberForms) {
    KILN_SKIP_UNDER_WINE("its message for error 11001 is not Windows' \"No such host is known.\"");
    EXPECT_EQ(WindowsErrorText(99999), u"Windows error 99999.");
    EXPECT_EQ(WindowsErrorText(100000), u"Windows error 0x000186A0.");
    EXPECT_EQ(WindowsErrorText(11001), u"Windows error 11001: No such host is known.");
    SetLastError(1234);
    (void)WindowsErrorText(5);
    EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
}  // namespace kiln
