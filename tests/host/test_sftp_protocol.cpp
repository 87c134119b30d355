// The SFTP protocol layer without a session: packet bounds and framing,
// path canonicalisation, attribute formats per version, the ls -l line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "host/sftp_attrs.h"
#include "host/sftp_log.h"
#include "host/sftp_packet.h"
#include "host/sftp_paths.h"

namespace kiln::sftp {
namespace {

std::string Be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

TEST(SftpReader, RefusesEveryFieldThatRunsPastTheEnd) {
    struct Case {
        std::string bytes;
        const char* what;
    } cases[] = {
        {"", "empty"},
        {"\x00\x00\x00", "three bytes for a uint32"},
        {Be32(5) + "abcd", "string shorter than its length"},
        {Be32(0xFFFFFFFF) + "x", "huge string length"},
    };
    for (const Case& c : cases) {
        SftpReader r(c.bytes);
        std::string_view s;
        EXPECT_FALSE(r.String(s)) << c.what;
        EXPECT_FALSE(r.Ok()) << c.what;
        uint32_t v = 0;
        EXPECT_FALSE(r.U32(v)) << c.what << ": a failed reader stays failed";
    }
    const std::string bytes = Be32(3) + "abc" + Be32(7);
    SftpReader ok(bytes);
    std::string_view s;
    uint32_t v = 0;
    EXPECT_TRUE(ok.String(s));
    EXPECT_EQ(s, "abc");
    EXPECT_TRUE(ok.U32(v));
    EXPECT_EQ(v, 7u);
    EXPECT_TRUE(ok.AtEnd());
}

TEST(SftpWriter, FinishCountsTrailingBytesInTheLength) {
    SftpWriter w(Fxp::Data);
    w.U32(9);
    w.U32(100);
    const auto& bytes = w.Finish(100);
    ASSERT_EQ(bytes.size(), 13u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), Be32(9 + 100));
    EXPECT_EQ(bytes[4], Fxp::Data);
}

class PacketInputTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pipe(m_fds), 0); }
    void TearDown() override {
        for (int fd : m_fds)
            if (fd >= 0) close(fd);
    }
    void Feed(const std::string& bytes, bool end) {
        ASSERT_EQ(write(m_fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
        if (end) {
            close(m_fds[1]);
            m_fds[1] = -1;
        }
    }
    int m_fds[2] = {-1, -1};
};

TEST_F(PacketInputTest, CutsPacketsAndReportsHowTheStreamEnds) {
    struct Case {
        std::string stream;
        std::vector<std::string> packets;
        PacketInput::Result end;
    };
    // Packets of many sizes below the direct-read size, the largest among
    // them, come to several buffers full and straddle every buffer's end.
    Case mixed{{}, {}, PacketInput::Result::End};
    for (size_t i = 0; i < 200; ++i) {
        const size_t size = i == 100 ? 16 * 1024 - 1 : 1 + i * 523 % 9000;
        mixed.packets.push_back(std::string(size, static_cast<char>('a' + i % 26)));
        mixed.stream += Be32(static_cast<uint32_t>(size)) + mixed.packets.back();
    }
    Case cases[] = {
        mixed,
        {Be32(5) + "\x01" + Be32(3) + Be32(1) + "\x02",
         {"\x01" + Be32(3), "\x02"},
         PacketInput::Result::End},
        {Be32(10) + "abc", {}, PacketInput::Result::Truncated},
        {Be32(kMaxPacketLength + 1), {}, PacketInput::Result::TooLong},
        {Be32(0), {}, PacketInput::Result::TooLong},
        {Be32(kMaxPacketLength) + std::string(kMaxPacketLength, 'x'),
         {std::string(kMaxPacketLength, 'x')},
         PacketInput::Result::End},
        // Bodies longer than a pipe holds arrive in several reads and are
        // read straight into the packet; what follows must still be framed.
        {Be32(3) + "abc" + Be32(100000) + std::string(100000, 'y') + Be32(1) + "\x05",
         {"abc", std::string(100000, 'y'), "\x05"},
         PacketInput::Result::End},
        {Be32(200000) + std::string(150000, 'z'), {}, PacketInput::Result::Truncated},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        std::thread feeder([&] { Feed(c.stream, true); });
        PacketInput in(m_fds[0], -1);
        RefPtr<SftpPacket> packet;
        for (const std::string& expected : c.packets) {
            ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
            EXPECT_EQ(packet->View(), expected);
        }
        EXPECT_EQ(in.Next(packet), c.end);
        feeder.join();
    }
}

TEST_F(PacketInputTest, AnUploadsPacketsComeWholeWhereverTheReadsEnd) {
    // A read that ends a large body also takes what follows: the next
    // packet's length word, into the buffer of a guessed next packet of the
    // same length, and beyond. Each cut puts the end of one write at another
    // place of that: inside the length word, at its end, inside the guessed
    // body, past it, and into packets of another length (larger, smaller,
    // small) that must come out whole and in order all the same.
    ASSERT_GE(fcntl(m_fds[1], F_SETPIPE_SZ, 1 << 20), 1 << 20);
    const uint32_t big = 40000;
    std::vector<std::string> packets;
    auto body = [&](size_t n) {
        packets.push_back(std::string(n, static_cast<char>('a' + packets.size() % 26)));
        packets.back()[0] = static_cast<char>(packets.size());
    };
    for (int i = 0; i < 3; ++i) body(big);
    body(big + 7);
    body(big);
    body(5);
    body(big);
    body(big - 9000);
    body(big - 9000);
    body(100);
    body(big);
    std::string stream;
    std::vector<size_t> starts;
    for (const std::string& p : packets) {
        starts.push_back(stream.size());
        stream += Be32(static_cast<uint32_t>(p.size())) + p;
    }
    const size_t b = starts[1], c = starts[2];
    const std::vector<std::vector<size_t>> cutSets = {
        {b + 2},
        {b + 4},
        {b + 4 + 100},
        {c + 4 + big},
        {c + 4 + big + 3},
        {starts[3] + 1000, starts[4] - 2},
        {starts[5] + 2, starts[7] + 6},
        {starts[8] - 1, starts[9] + 3, starts[10] + 4},
        {}};
    for (const auto& cuts : cutSets) {
        TearDown();
        SetUp();
        ASSERT_GE(fcntl(m_fds[1], F_SETPIPE_SZ, 1 << 20), 1 << 20);
        PacketInput in(m_fds[0], -1);
        RefPtr<SftpPacket> packet;
        // Each piece is read before the next is written, so that the reads
        // end where the cuts are.
        size_t from = 0, next = 0;
        for (size_t cut : cuts) {
            Feed(stream.substr(from, cut - from), false);
            from = cut;
            while (next < packets.size() && starts[next] + 4 + packets[next].size() <= cut) {
                ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
                EXPECT_EQ(packet->View(), packets[next]) << "packet " << next;
                ++next;
            }
        }
        Feed(stream.substr(from), true);
        for (; next < packets.size(); ++next) {
            ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet) << "packet " << next;
            EXPECT_EQ(packet->View(), packets[next]) << "packet " << next;
        }
        EXPECT_EQ(in.Next(packet), PacketInput::Result::End);
    }
}

TEST_F(PacketInputTest, TheSleepHookRunsOnlyWhenNoInputIsWaiting) {
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    PacketInput in(m_fds[0], wake[0]);
    int calls = 0;
    in.SetBeforeSleep([&] { ++calls; });
    RefPtr<SftpPacket> packet;
    Feed(Be32(2) + "ab", false);
    ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
    EXPECT_EQ(calls, 0) << "input was waiting: no reason to flush";
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Feed(Be32(2) + "cd", false);
    });
    ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
    EXPECT_EQ(packet->View(), "cd");
    EXPECT_EQ(calls, 1);
    feeder.join();
    // The wake descriptor still ends a wait.
    ASSERT_EQ(write(wake[1], "x", 1), 1);
    EXPECT_EQ(in.Next(packet), PacketInput::Result::Stopped);
    close(wake[0]);
    close(wake[1]);
}

TEST_F(PacketInputTest, TheIdleHookRunsOnceForEachPauseOfTheClient) {
    PacketInput in(m_fds[0], -1);
    std::atomic<int> idle{0};
    in.SetWhenIdle(std::chrono::milliseconds(30), [&] { ++idle; });
    RefPtr<SftpPacket> packet;
    // Input that keeps coming never looks idle.
    for (int i = 0; i < 3; ++i) {
        Feed(Be32(1) + "x", false);
        ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
    }
    EXPECT_EQ(idle, 0);
    // One pause: the hook runs once, however long the pause lasts.
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Feed(Be32(1) + "y", false);
    });
    ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
    feeder.join();
    EXPECT_EQ(packet->View(), "y");
    EXPECT_EQ(idle, 1);
    // After that packet, the next pause runs it again.
    std::thread second([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Feed(Be32(1) + "z", true);
    });
    ASSERT_EQ(in.Next(packet), PacketInput::Result::Packet);
    second.join();
    EXPECT_EQ(idle, 2);
    EXPECT_EQ(in.Next(packet), PacketInput::Result::End);
    EXPECT_EQ(idle, 2) << "the end of input came without a pause";
}

TEST_F(PacketInputTest, HeldPacketsGoOutInOrderBeforeAnyLaterWrite) {
    // Room for a whole buffer of held packets, so that no write blocks here.
    ASSERT_GE(fcntl(m_fds[1], F_SETPIPE_SZ, 1 << 20), 1 << 17);
    PacketOutput out(m_fds[1]);
    auto readable = [&] {
        pollfd p{m_fds[0], POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    };
    auto drain = [&] {
        std::string got;
        char buf[65536];
        while (readable()) {
            ssize_t n = read(m_fds[0], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, size_t(n));
        }
        return got;
    };
    EXPECT_EQ(out.HeldFor().count(), 0);
    EXPECT_TRUE(out.Hold("one"));
    EXPECT_TRUE(out.Hold("two", "-", "2"));
    EXPECT_FALSE(readable());
    EXPECT_GE(out.HeldFor().count(), 0);
    // A large packet is never held; it goes out after what waited.
    const std::string large(8192, 'L');
    EXPECT_TRUE(out.Hold("big:", large));
    EXPECT_EQ(drain(), "onetwo-2big:" + large);
    EXPECT_TRUE(out.Hold("three"));
    EXPECT_FALSE(readable());
    EXPECT_TRUE(out.Flush());
    EXPECT_EQ(drain(), "three");
    // A plain write takes what is held along.
    EXPECT_TRUE(out.Hold("four"));
    EXPECT_TRUE(out.Write("five"));
    EXPECT_EQ(drain(), "fourfive");
    EXPECT_EQ(out.PacketsWritten(), 6u);
    // Enough held bytes go out without a flush.
    const std::string chunk(4000, 'c');
    for (int i = 0; i < 17; ++i) EXPECT_TRUE(out.Hold(chunk));
    EXPECT_EQ(drain().size(), 17 * chunk.size());
    // A client that went away: the held packets are dropped, the error
    // shows, and later writes fail at once.
    EXPECT_TRUE(out.Hold("lost"));
    close(m_fds[0]);
    m_fds[0] = -1;
    signal(SIGPIPE, SIG_IGN);
    EXPECT_FALSE(out.Flush());
    EXPECT_TRUE(out.Broken());
    EXPECT_FALSE(out.Write("after"));
}

TEST(SftpPaths, CanonicalPathFoldsDotsAndNeverClimbsAboveRoot) {
    struct Case {
        const char* base;
        const char* path;
        const char* expected;
    } cases[] = {
        {"/home/u", "", "/home/u"},
        {"/home/u", ".", "/home/u"},
        {"/home/u", "x/y", "/home/u/x/y"},
        {"/home/u", "../v", "/home/v"},
        {"/home/u", "../../../../etc", "/etc"},
        {"/home/u", "/a//b/./c/", "/a/b/c"},
        {"/", "..", "/"},
        {"/", "/..", "/"},
        {"/a", "b/../../..", "/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CanonicalPath(c.base, c.path).value_or("<none>"), c.expected)
            << c.base << " + " << c.path;
    EXPECT_FALSE(CanonicalPath("/", std::string_view("a\0b", 3)).has_value());
}

TEST(SftpPaths, HomeAndClientPathsAreRelativeToTheRoot) {
    EXPECT_EQ(HomeBelowRoot("/", "/home/u"), "/home/u");
    EXPECT_EQ(HomeBelowRoot("/srv", "/srv/u"), "/u");
    EXPECT_EQ(HomeBelowRoot("/srv", "/srvx/u"), "/");
    EXPECT_EQ(HomeBelowRoot("/srv", "/home/u"), "/");
    EXPECT_EQ(ClientPathOf("/srv", "/srv").value_or("?"), "/");
    EXPECT_FALSE(ClientPathOf("/srv", "/etc").has_value());
}

TEST(SftpPaths, NamesWindowsCannotCarryRoundTripThroughTheProviderForm) {
    for (const char* name : {"/plain", "/a:b", "/q?*", "/back\\slash", "/x<y>|z\"", "/ü-ñ"}) {
        WString sfs = ToSfsPath(name);
        EXPECT_EQ(sfs.sv().find_first_of(u":*?\"<>|\\"), std::u16string_view::npos) << name;
        EXPECT_EQ(FromSfsPath(sfs.sv()), name);
    }
}

QtSfsAttrs SampleAttrs() {
    QtSfsAttrs a;
    a.m_validAttrFlags = SfsAttrFlags::Size | SfsAttrFlags::Permissions | SfsAttrFlags::AccessTime |
                         SfsAttrFlags::ModifyTime | SfsAttrFlags::SubsecondTimes |
                         SfsAttrFlags::OwnerGroup | SfsAttrFlags::LinkCount | SfsAttrFlags::Bits;
    a.m_type = SfsType::Regular;
    a.m_size = 0x123456789;
    a.m_permissions = 0640;
    a.m_accessTime = 1000;
    a.m_accessTimeNs = 5;
    a.m_modifyTime = 2000;
    a.m_modifyTimeNs = 7;
    a.m_owner = MakeStr(u"root@Unix User");
    a.m_group = MakeStr(u"root@Unix Group");
    a.m_linkCount = 3;
    a.m_attrBits = SfsAttrBits::Hidden | SfsAttrBits::CaseInsensitive;
    a.m_attrBitsValid = 0xFF;
    return a;
}

TEST(SftpAttrs, EachVersionWritesItsOwnLayout) {
    const QtSfsAttrs a = SampleAttrs();
    struct Case {
        int version;
        std::string expected;
    } cases[] = {
        // flags SIZE|UIDGID|PERMISSIONS|ACMODTIME; uid 0 gid 0; S_IFREG|0640.
        {3, Be32(0xF) + Be32(1) + Be32(0x23456789) + Be32(0) + Be32(0) + Be32(0100640) +
                Be32(1000) + Be32(2000)},
        {4, Be32(0x1AD) + "\x01" + Be32(1) + Be32(0x23456789) + Be32(4) + "root" + Be32(4) +
                "root" + Be32(0100640) + Be32(0) + Be32(1000) + Be32(5) + Be32(0) + Be32(2000) +
                Be32(7)},
        {5, Be32(0x3AD) + "\x01" + Be32(1) + Be32(0x23456789) + Be32(4) + "root" + Be32(4) +
                "root" + Be32(0100640) + Be32(0) + Be32(1000) + Be32(5) + Be32(0) + Be32(2000) +
                Be32(7) + Be32(0x0C)},
        {6, Be32(0x23AD) + "\x01" + Be32(1) + Be32(0x23456789) + Be32(4) + "root" + Be32(4) +
                "root" + Be32(0100640) + Be32(0) + Be32(1000) + Be32(5) + Be32(0) + Be32(2000) +
                Be32(7) + Be32(0x0C) + Be32(0xFF) + Be32(3)},
    };
    for (const Case& c : cases) {
        SftpWriter w(0);
        WriteAttrs(w, c.version, a);
        EXPECT_EQ(AsView(w.Bytes()).substr(5), c.expected) << "version " << c.version;

        // What a version writes, it reads back.
        SftpReader r(AsView(w.Bytes()).substr(5));
        QtSfsAttrs back;
        ASSERT_EQ(ReadAttrs(r, c.version, back), AttrsError::None) << c.version;
        EXPECT_TRUE(r.AtEnd());
        EXPECT_EQ(back.m_size, a.m_size);
        EXPECT_EQ(back.m_permissions, 0640u);
        EXPECT_EQ(back.m_modifyTime, 2000u);
        EXPECT_EQ(back.m_owner ? std::u16string(back.m_owner->sv()) : u"", u"root@Unix User");
    }
}

TEST(SftpAttrs, MalformedOrUnknownStructuresAreRefused) {
    struct Case {
        int version;
        std::string bytes;
        AttrsError expected;
    } cases[] = {
        {3, Be32(0x1) + "\x00\x00", AttrsError::Malformed},
        {3, Be32(0x10), AttrsError::UnknownFlags},
        {4, Be32(0x2) + "\x01", AttrsError::UnknownFlags},  // the old UIDGID bit
        {4, Be32(0x40) + "\x01" + Be32(8) + Be32(1000000) + Be32(0), AttrsError::Malformed},
        {6, Be32(0x80000000) + "\x01" + Be32(2) + Be32(1) + "a", AttrsError::Malformed},
        {5, Be32(0x8) + "\x01" + Be32(0xFFFFFFFF) + Be32(0), AttrsError::Malformed},  // negative
        {3, Be32(0x2) + Be32(0xFFFFFFFF) + Be32(0), AttrsError::UnknownPrincipal},    // -1
    };
    for (const Case& c : cases) {
        SftpReader r(c.bytes);
        QtSfsAttrs out;
        EXPECT_EQ(ReadAttrs(r, c.version, out), c.expected) << "version " << c.version;
    }
}

TEST(SftpAttrs, VersionThreeIdsAndModesReachTheProviderWhole) {
    struct Case {
        uint32_t uid, gid, mode;
        std::u16string owner, group;
        uint32_t permissions;
    } cases[] = {
        {0, 0, 04755, u"root@Unix User", u"root@Unix Group", 04755},
        // What "chown 12345" sends: an id without an account is its Unix SID.
        {12345, 54321, 0100640, u"S-1-22-1-12345", u"S-1-22-2-54321", 0640},
        {0, 0, 07777, u"root@Unix User", u"root@Unix Group", 07777},
    };
    for (const Case& c : cases) {
        std::string bytes = Be32(0x2 | 0x4) + Be32(c.uid) + Be32(c.gid) + Be32(c.mode);
        SftpReader r(bytes);
        QtSfsAttrs out;
        ASSERT_EQ(ReadAttrs(r, 3, out), AttrsError::None) << c.uid;
        EXPECT_EQ(std::u16string(out.m_owner->sv()), c.owner);
        EXPECT_EQ(std::u16string(out.m_group->sv()), c.group);
        EXPECT_EQ(out.m_permissions, c.permissions);
        // And back: the ids come out as they went in.
        SftpWriter w(0);
        WriteAttrs(w, 3, out);
        EXPECT_EQ(AsView(w.Bytes()).substr(5, 12), Be32(0x2 | 0x4) + Be32(c.uid) + Be32(c.gid));
    }
}

TEST(SftpAttrs, AclsCarryTheirFlagsOnlyInVersionSix) {
    QtSfsAttrs a;
    a.m_validAttrFlags = SfsAttrFlags::Acl;
    a.m_acl = MakeRef<QtSfsAcl>();
    a.m_acl->m_flags = 0x3;
    a.m_acl->m_aces = MakeRef<QtVectS<QtSfsAce>>();
    auto ace = MakeRef<QtSfsAce>();
    ace->m_type = SfsAceType::AccessDenied;
    ace->m_mask = 0x2;
    ace->m_who = MakeStr(u"EVERYONE@");
    a.m_acl->m_aces->Append(ace);
    const std::string entry = Be32(1) + Be32(0) + Be32(2) + Be32(9) + "EVERYONE@";
    SftpWriter v4(0), v6(0);
    WriteAttrs(v4, 4, a);
    WriteAttrs(v6, 6, a);
    EXPECT_EQ(AsView(v4.Bytes()).substr(5),
              Be32(0x40) + "\x05" + Be32(4 + entry.size()) + Be32(1) + entry);
    EXPECT_EQ(AsView(v6.Bytes()).substr(5),
              Be32(0x40) + "\x05" + Be32(8 + entry.size()) + Be32(3) + Be32(1) + entry);
}

TEST(SftpAttrs, LongnameMatchesOpenSshLsLayout) {
    setenv("TZ", "UTC", 1);
    tzset();
    QtSfsAttrs a = SampleAttrs();
    a.m_size = 1234;
    a.m_modifyTime = 946771200;  // 2000-01-02 00:00 UTC, long ago
    EXPECT_EQ(Longname("file.txt", a, 1700000000),
              "-rw-r-----    3 root     root         1234 Jan  2  2000 file.txt");
    // The same time seen from within six months shows the time of day.
    EXPECT_EQ(Longname("file.txt", a, 946771200 + 86400),
              "-rw-r-----    3 root     root         1234 Jan  2 00:00 file.txt");
    a.m_type = SfsType::Directory;
    a.m_permissions = 0755;
    a.m_modifyTime = 1700000000 - 3600;
    EXPECT_EQ(Longname("d", a, 1700000000),
              "drwxr-xr-x    3 root     root         1234 Nov 14 21:13 d");
    QtSfsAttrs bare;  // the synthetic ".." of a listing carries nothing
    EXPECT_EQ(Longname("..", bare, 1700000000),
              "?---------    1 ?        ?               0 Jan  1  1970 ..");
}

TEST(SftpLog, ProviderRecordsShowFromTheLevelTheirTypeMapsTo) {
    struct Case {
        const char* level;
        SfsLogType type;
        bool shown;
    } cases[] = {
        {"ERROR", SfsLogType::Error, false},    {"info", SfsLogType::Error, false},
        {"VERBOSE", SfsLogType::Error, true},   {"INFO", SfsLogType::Warning, false},
        {"VERBOSE", SfsLogType::Warning, true}, {"VERBOSE", SfsLogType::Info, true},
        {"VERBOSE", SfsLogType::Trace, false},  {"DEBUG3", SfsLogType::Trace, true},
        {"QUIET", SfsLogType::Error, false},
    };
    for (const Case& c : cases) {
        LogLevel level;
        ASSERT_TRUE(ParseLogLevel(c.level, level)) << c.level;
        Logger log(Logger::Sink::Memory, level);
        log.Log(LevelOfProviderLog(c.type), "record");
        EXPECT_EQ(log.Lines().size(), c.shown ? 1u : 0u) << c.level << " " << int(c.type);
    }
    LogLevel ignored;
    EXPECT_FALSE(ParseLogLevel("LOUD", ignored));
}

}  // namespace
}  // namespace kiln::sftp
