// The SFTP server against the test provider: negotiation, requests of every
// version, bad input, the memory bound and read-only mode, all on the wire.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/sftp_attrs.h"
#include "sftp_test_session.h"

namespace kiln::test {
namespace {

using sftp::SftpReader;
using sftp::SftpWriter;
using sftp::Fxp::Close;
namespace Fxp = sftp::Fxp;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string OpenHandle(SftpTestSession& t, uint32_t id, const std::string& path, uint32_t pflags) {
    SftpReply r = t.Call(Request(Fxp::Open, id, path, pflags, 0));  // no attributes (version 3)
    EXPECT_EQ(r.type, Fxp::Handle) << "open " << path << " status " << r.StatusCode();
    return r.FirstString();
}

TEST(SftpSession, NegotiatesTheLowerVersionAndAdvertisesPerVersion) {
    struct Case {
        uint32_t offered, expected;
        const char* present;
        const char* absent;
    } cases[] = {
        {3, 3, "posix-rename@openssh.com", "supported"},
        {4, 4, "newline", "supported2"},
        {5, 5, "supported", "supported2"},
        {6, 6, "supported2", "supported"},
        {7, 6, "versions", "supported"},
        {0xFFFFFFFF, 6, "fsync@openssh.com", "supported"},
    };
    for (const Case& c : cases) {
        SftpTestSession t;
        auto version = t.Init(c.offered);
        ASSERT_TRUE(version);
        EXPECT_EQ(version->type, Fxp::Version);
        SftpReader r(version->body);
        uint32_t v = 0;
        r.U32(v);
        EXPECT_EQ(v, c.expected) << "offered " << c.offered;
        auto names = ExtensionNames(*version);
        EXPECT_TRUE(names.count(c.present)) << c.present << " in version " << v;
        EXPECT_FALSE(names.count(c.absent)) << c.absent << " in version " << v;
        EXPECT_EQ(t.Finish(), 0);
        EXPECT_TRUE(t.Provider().SawEof());
    }
}

TEST(SftpSession, SendsTheProviderItsInitialisation) {
    sftp::SessionOptions options;
    options.rootPath = u"C:\\srv";
    options.parameters = {{u"PosixPermissions", u"Yes"}};
    SftpTestSession t(options);
    ASSERT_TRUE(t.Init(3));
    // The provider takes its initialisation before any request.
    EXPECT_EQ(t.Call(Request(Fxp::Stat, 1, "/")).type, Fxp::Attrs);
    auto init = t.Provider().InitMessage();
    ASSERT_TRUE(init && init->m_root && init->m_outLog);
    EXPECT_EQ(std::u16string(init->m_root->ChildValue(u"MountPath")->sv()), u"/");
    EXPECT_EQ(std::u16string(init->m_root->ChildValue(u"RootPath")->sv()), u"C:\\srv");
    EXPECT_EQ(std::u16string(init->m_root->ChildValue(u"PosixPermissions")->sv()), u"Yes");
}

TEST(SftpSession, AStreamThatDoesNotStartWithInitEndsCleanly) {
    struct Case {
        std::string first;
        const char* log;
    } cases[] = {
        {std::string("\x00\x00\x00\x05\x11\x00\x00\x00\x01", 9), "is not SSH_FXP_INIT"},
        {std::string("\x00\x00\x00\x05\x01\x00\x00\x00\x02", 9), "protocol version 2"},
        {std::string("\x00\x00\x00\x03\x01\x00\x00", 7), "is not SSH_FXP_INIT"},
        {"echo hello\n", "refusing non-sftp session"},  // a shell's text
    };
    for (const Case& c : cases) {
        SftpTestSession t;
        t.SendRaw(c.first);
        EXPECT_FALSE(t.Read(5000).has_value());
        EXPECT_EQ(t.Finish(), 1);
        EXPECT_TRUE(t.LogContains(c.log)) << c.log;
    }
}

TEST(SftpSession, BadFramingEndsTheSessionWithALogLine) {
    struct Case {
        std::string bytes;
        const char* log;
    } cases[] = {
        {std::string("\x00\x10\x04\x00", 4), "out of range"},  // 1 MiB + 1 KiB: over the bound
        {std::string("\x00\x00\x00\x00", 4), "out of range"},
        {std::string("\x00\x00\x00\x20\x11\x00\x00", 7), "inside a packet"},
        {std::string("\x00\x00\x00\x03\x11\x00\x00", 7), "too short for a request id"},
    };
    for (const Case& c : cases) {
        SftpTestSession t;
        ASSERT_TRUE(t.Init(3));
        t.SendRaw(c.bytes);
        t.CloseInput();
        EXPECT_FALSE(t.Read(5000).has_value());
        EXPECT_EQ(t.Finish(), 1);
        EXPECT_TRUE(t.LogContains(c.log)) << c.log;
    }
}

TEST(SftpSession, EveryRequestGetsExactlyOneReply) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    struct Case {
        SftpWriter request;
        uint8_t type;
        uint32_t status;  // when type is STATUS
    } cases[] = {
        {Request(99, 1), Fxp::Status, 8},               // unknown type
        {Request(Fxp::Link, 2), Fxp::Status, 8},        // version 6 only
        {Request(Fxp::Block, 3), Fxp::Status, 8},       // version 6 only
        {Request(Fxp::Open, 4), Fxp::Status, 5},        // no file name
        {Request(Fxp::Open, 5, "/x"), Fxp::Status, 5},  // no pflags
        // A handle never issued: InvalidHandle, which version 3 calls Failure.
        {Request(Fxp::Read, 6, "nope", U64{0}, 10), Fxp::Status, 4},
        {Request(Fxp::Extended, 7, "no-such@example.com"), Fxp::Status, 8},
        {Request(Fxp::Stat, 8, "/missing"), Fxp::Status, 2},
        {Request(Fxp::Realpath, 9, "a/../b"), Fxp::Name, 0},
        {Request(Fxp::Extended, 10, "limits@openssh.com"), Fxp::ExtendedReply, 0},
        {Request(Fxp::Close, 11, std::string(300, 'h')), Fxp::Status, 4},
    };
    // Pipelined: all requests go out before any reply is read.
    for (Case& c : cases) t.Send(c.request);
    std::map<uint32_t, SftpReply> replies;
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto r = t.Read();
        ASSERT_TRUE(r) << "reply " << i;
        EXPECT_TRUE(replies.emplace(r->id, *r).second) << "second reply for " << r->id;
    }
    for (uint32_t id = 1; id <= std::size(cases); ++id) {
        const Case& c = cases[id - 1];
        ASSERT_TRUE(replies.count(id)) << id;
        EXPECT_EQ(replies[id].type, c.type) << "request " << id;
        if (c.type == Fxp::Status) {
            EXPECT_EQ(replies[id].StatusCode(), c.status) << "request " << id;
        }
    }
    EXPECT_FALSE(t.Read(300).has_value()) << "no stray replies";
    EXPECT_EQ(t.Finish(), 0);
}

TEST(SftpSession, VersionThreeOpenFlagsTranslateToDispositionAndAccess) {
    struct Case {
        uint32_t pflags;
        uint32_t disposition;
        uint32_t access;
        uint32_t flags;
    } cases[] = {
        {0x01, SfsOpenFlags::OpenExisting, 0x81, 0},
        {0x02 | 0x08 | 0x10, SfsOpenFlags::CreateTruncate, 0x102, 0},
        {0x02 | 0x08 | 0x20, SfsOpenFlags::CreateNew, 0x102, 0},
        {0x02 | 0x08, SfsOpenFlags::OpenOrCreate, 0x102, 0},
        {0x02 | 0x10, SfsOpenFlags::TruncateExisting, 0x102, 0},
        {0x01 | 0x02 | 0x04 | 0x08, SfsOpenFlags::OpenOrCreate, 0x187, SfsOpenFlags::AppendData},
    };
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    WriteFile(t.Dir() + "/f", "abc");
    uint32_t id = 1;
    for (const Case& c : cases) {
        // An exclusive create needs a name that does not exist yet.
        std::string path = (c.pflags & 0x20) ? "/f" + std::to_string(id) : "/f";
        std::string h = OpenHandle(t, id++, path, c.pflags);
        auto open = QuantumCast<QtSfsOpen>(t.Provider().LastRequest(SfsRequest::Open)->m_content);
        ASSERT_TRUE(open);
        EXPECT_EQ(open->m_flags & SfsOpenFlags::AccessDisposition, c.disposition) << c.pflags;
        EXPECT_EQ(open->m_flags & ~SfsOpenFlags::AccessDisposition, c.flags) << c.pflags;
        EXPECT_EQ(open->m_desiredAccess, c.access) << c.pflags;
        EXPECT_TRUE(open->m_outFileTransfer) << "closing reports the transfer";
        EXPECT_EQ(t.Call(Request(Fxp::Close, id++, h)).StatusCode(), 0u);
    }
}

TEST(SftpSession, WritesAndReadsBytesThroughHandles) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    std::string h = OpenHandle(t, 1, "/data.bin", 0x02 | 0x08 | 0x10);
    std::string payload(200000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 7);
    EXPECT_EQ(t.Call(Request(Fxp::Write, 2, h, U64{0}, payload)).StatusCode(), 0u);
    EXPECT_EQ(t.Call(Request(Fxp::Close, 3, h)).StatusCode(), 0u);
    EXPECT_EQ(ReadFile(t.Dir() + "/data.bin"), payload);

    h = OpenHandle(t, 4, "data.bin", 0x01);  // relative to the home "/"
    SftpReply data = t.Call(Request(Fxp::Read, 5, h, U64{100}, 1000));
    ASSERT_EQ(data.type, Fxp::Data);
    EXPECT_EQ(data.FirstString(), payload.substr(100, 1000));
    EXPECT_EQ(t.Call(Request(Fxp::Read, 6, h, U64{payload.size()}, 10)).StatusCode(), 1u);  // EOF

    // Pipelined large reads, each answered from the output's own writer,
    // mixed with small replies: every reply arrives whole, once, with its
    // own bytes.
    std::map<uint32_t, std::string> chunks;
    const uint32_t chunk = 48 * 1024;
    uint32_t id = 100;
    for (uint64_t offset = 0; offset < payload.size(); offset += chunk, ++id) {
        t.Send(Request(Fxp::Read, id, h, U64{offset}, chunk));
        t.Send(Request(Fxp::Fstat, 1000 + id, h));
    }
    std::string joined;
    for (uint32_t n = 0; n < 2 * (id - 100); ++n) {
        std::optional<SftpReply> reply = t.Read();
        ASSERT_TRUE(reply.has_value());
        if (reply->id >= 1000) {
            EXPECT_EQ(reply->type, Fxp::Attrs);
            continue;
        }
        ASSERT_EQ(reply->type, Fxp::Data);
        SftpReader rd(reply->body);
        std::string_view part;
        ASSERT_TRUE(rd.String(part));
        EXPECT_TRUE(chunks.emplace(reply->id, std::string(part)).second);
    }
    for (const auto& [n, part] : chunks) joined += part;
    EXPECT_EQ(joined, payload);
}

TEST(SftpSession, StatusCodesFallBackToWhatTheVersionKnows) {
    struct Case {
        uint32_t code;
        uint32_t v3, v4, v5, v6;
    } cases[] = {
        {0, 0, 0, 0, 0},     {2, 2, 2, 2, 2},     {9, 4, 9, 9, 9},    {10, 2, 10, 10, 10},
        {11, 4, 11, 11, 11}, {12, 3, 12, 12, 12}, {15, 4, 4, 15, 15}, {17, 3, 3, 17, 17},
        {18, 4, 4, 4, 18},   {19, 2, 10, 10, 19}, {23, 5, 5, 5, 23},  {25, 3, 3, 17, 25},
        {29, 4, 4, 16, 29},  {31, 4, 4, 4, 31},
    };
    for (int version : {3, 4, 5, 6}) {
        SftpTestSession t;
        ASSERT_TRUE(t.Init(version));
        uint32_t id = 1;
        for (const Case& c : cases) {
            SftpWriter w = Request(Fxp::Remove, id++, "/status/" + std::to_string(c.code));
            uint32_t expected = version == 3   ? c.v3
                                : version == 4 ? c.v4
                                : version == 5 ? c.v5
                                               : c.v6;
            EXPECT_EQ(t.Call(w).StatusCode(), expected) << "code " << c.code << " v" << version;
        }
    }
}

TEST(SftpSession, ListingsCarryLongnamesAndAttributesFromAStatOfEachEntry) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    WriteFile(t.Dir() + "/file", "12345");
    chmod((t.Dir() + "/file").c_str(), 0604);
    mkdir((t.Dir() + "/sub").c_str(), 0750);
    SftpReply handle = t.Call(Request(Fxp::Opendir, 1, "/"));
    ASSERT_EQ(handle.type, Fxp::Handle);
    const std::string h = handle.FirstString();
    SftpReply names = t.Call(Request(Fxp::Readdir, 2, h));
    ASSERT_EQ(names.type, Fxp::Name);
    SftpReader r(names.body);
    uint32_t count = 0;
    r.U32(count);
    ASSERT_EQ(count, 2u);
    std::map<std::string, std::pair<std::string, uint32_t>> entries;
    for (uint32_t i = 0; i < count; ++i) {
        std::string_view name, longname;
        r.String(name);
        r.String(longname);
        QtSfsAttrs attrs;
        ASSERT_EQ(sftp::ReadAttrs(r, 3, attrs), sftp::AttrsError::None);
        entries[std::string(name)] = {std::string(longname), attrs.m_permissions};
    }
    EXPECT_EQ(entries["file"].first.substr(0, 10), "-rw----r--");
    EXPECT_NE(entries["file"].first.find(" 5 "), std::string::npos) << entries["file"].first;
    EXPECT_EQ(entries["sub"].first.substr(0, 10), "drwxr-x---");
    EXPECT_EQ(entries["file"].second, 0604u);
    EXPECT_EQ(t.Call(Request(Fxp::Readdir, 3, h)).StatusCode(), 1u);  // EOF
}

TEST(SftpSession, ExtensionsServedThroughTheProvider) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    WriteFile(t.Dir() + "/src", std::string(700000, 'k'));
    WriteFile(t.Dir() + "/old", "o");
    WriteFile(t.Dir() + "/new", "n");
    // posix-rename replaces the target.
    EXPECT_EQ(
        t.Call(Request(Fxp::Extended, 1, "posix-rename@openssh.com", "/old", "/new")).StatusCode(),
        0u);
    EXPECT_EQ(ReadFile(t.Dir() + "/new"), "o");
    // copy-data moves the whole file in chunks inside the server.
    std::string from = OpenHandle(t, 2, "/src", 0x01);
    std::string to = OpenHandle(t, 3, "/dst", 0x02 | 0x08 | 0x10);
    SftpWriter copy = Request(Fxp::Extended, 4, "copy-data", from, U64{0}, U64{0}, to, U64{0});
    EXPECT_EQ(t.Call(copy).StatusCode(), 0u);
    EXPECT_EQ(ReadFile(t.Dir() + "/dst"), ReadFile(t.Dir() + "/src"));
    SftpWriter same = Request(Fxp::Extended, 5, "copy-data", from, U64{0}, U64{0}, from, U64{0});
    EXPECT_EQ(t.Call(same).StatusCode(), 5u);  // InvalidParameter, BadMessage in version 3
    // statvfs answers eleven numbers.
    SftpReply space = t.Call(Request(Fxp::Extended, 6, "statvfs@openssh.com", "/"));
    EXPECT_EQ(space.type, Fxp::ExtendedReply);
    EXPECT_EQ(space.body.size(), 11u * 8);
    // expand-path resolves "~" to the home directory.
    SftpReply name = t.Call(Request(Fxp::Extended, 7, "expand-path@openssh.com", "~/a/../b"));
    ASSERT_EQ(name.type, Fxp::Name);
    EXPECT_EQ(name.FirstName(), "/b");
}

// fsync@openssh.com and lsetstat@openssh.com, advertised as OpenSSH does.
TEST(SftpSession, OpenSshFsyncAndLsetstat) {
    SftpTestSession t;
    auto version = t.Init(3);
    ASSERT_TRUE(version);
    const std::set<std::string> names = ExtensionNames(*version);
    EXPECT_TRUE(names.count("fsync@openssh.com"));
    EXPECT_TRUE(names.count("lsetstat@openssh.com"));

    std::string handle = OpenHandle(t, 1, "/f", 0x02 | 0x08);
    EXPECT_EQ(t.Call(Request(Fxp::Extended, 2, "fsync@openssh.com", handle)).StatusCode(), 0u);
    auto flushed = QuantumCast<QtSfsFSync>(t.Provider().LastRequest(SfsRequest::FSync)->m_content);
    ASSERT_TRUE(flushed);
    EXPECT_EQ(flushed->m_handle->View(), handle);

    // Permissions set on the file itself; through a link to it, refused,
    // and the target keeps its mode.
    ASSERT_EQ(symlink("f", (t.Dir() + "/l").c_str()), 0);
    struct Case {
        const char* path;
        uint32_t status;
        mode_t mode;
    } cases[] = {{"/f", 0, 0600}, {"/l", 8, 0600}};
    uint32_t id = 3;
    for (const Case& c : cases) {
        chmod((t.Dir() + "/f").c_str(), 0644);
        // Permissions 0600.
        SftpWriter set = Request(Fxp::Extended, id++, "lsetstat@openssh.com", c.path, 0x04, 0600);
        EXPECT_EQ(t.Call(set).StatusCode(), c.status) << c.path;
        struct stat st {};
        ASSERT_EQ(stat((t.Dir() + "/f").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.path == std::string("/f") ? c.mode : 0644u) << c.path;
    }
}

// Paths that meant something else than they said: the existing path of a
// hard link made with version 6 LINK resolves like any other path, and an
// OPEN of "name/" does not reach "name".
TEST(SftpSession, PathsResolveAsTheySay) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(6));
    ASSERT_EQ(mkdir((t.Dir() + "/d").c_str(), 0755), 0);
    WriteFile(t.Dir() + "/f", "f");
    EXPECT_EQ(t.Call(Request(Fxp::Link, 1, "/d/l", "f", false)).StatusCode(), 0u);
    auto made = QuantumCast<QtSfsLink>(t.Provider().LastRequest(SfsRequest::Link)->m_content);
    ASSERT_TRUE(made);
    EXPECT_EQ(std::u16string(made->m_existingPath->sv()), u"/f");

    for (uint32_t flags : {0x00000003u, 0x00000002u}) {  // create or open existing
        // Read and write data; no attributes of a regular file.
        SftpReply r = t.Call(Request(Fxp::Open, 2, "f/", 0x1 | 0x2, flags, 0, Byte{1}));
        EXPECT_EQ(r.type, Fxp::Status) << flags;
        EXPECT_EQ(r.StatusCode(), 20u) << flags;  // InvalidFileName
    }
    EXPECT_EQ(ReadFile(t.Dir() + "/f"), "f");
}

TEST(SftpSession, SymlinkTakesOpenSshArgumentOrder) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    WriteFile(t.Dir() + "/target", "t");
    // Target first; a relative target is the link's text and goes as given,
    // an absolute one is the client's path like any other.
    struct Case {
        const char* target;
        const char* link;
        std::u16string existing;
    };
    const Case cases[] = {
        {"target", "/link", u"target"},
        {"../x/./y", "/d/l", u"../x/./y"},
        {"/a/../target", "l2", u"/target"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        t.Call(Request(Fxp::Symlink, 1, c.target, c.link));
        auto link = QuantumCast<QtSfsLink>(t.Provider().LastRequest(SfsRequest::Link)->m_content);
        ASSERT_TRUE(link);
        EXPECT_EQ(std::u16string(link->m_existingPath->sv()), c.existing);
        EXPECT_TRUE(link->m_symlink);
    }
    auto link = QuantumCast<QtSfsLink>(t.Provider().LastRequest(SfsRequest::Link)->m_content);
    EXPECT_EQ(std::u16string(link->m_newLinkPath->sv()), u"/l2");
}

TEST(SftpSession, ReadOnlyModeRefusesEveryChange) {
    sftp::SessionOptions options;
    options.readOnly = true;
    SftpTestSession t(options);
    auto version = t.Init(3);
    ASSERT_TRUE(version);
    EXPECT_FALSE(ExtensionNames(*version).count("posix-rename@openssh.com"));
    EXPECT_TRUE(ExtensionNames(*version).count("statvfs@openssh.com"));
    WriteFile(t.Dir() + "/f", "x");
    struct Case {
        SftpWriter request;
        uint32_t status;
    } cases[] = {
        {Request(Fxp::Open, 1, "/f", 0x02, 0), 3},
        {Request(Fxp::Open, 2, "/g", 0x01 | 0x08, 0), 3},
        {Request(Fxp::Remove, 3, "/f"), 3},
        {Request(Fxp::Mkdir, 4, "/d", 0), 3},
        {Request(Fxp::Setstat, 5, "/f", 0), 3},
        {Request(Fxp::Extended, 6, "hardlink@openssh.com"), 3},
        {Request(Fxp::Stat, 7, "/f"), 0xFFFFFFFF},  // attrs: allowed
    };
    for (Case& c : cases) {
        SftpReply r = t.Call(c.request);
        if (c.status == 0xFFFFFFFF) {
            EXPECT_EQ(r.type, Fxp::Attrs);
        } else {
            EXPECT_EQ(r.StatusCode(), c.status) << "request " << r.id;
        }
    }
    EXPECT_EQ(ReadFile(t.Dir() + "/f"), "x");
    EXPECT_FALSE(t.Provider().LastRequest(SfsRequest::Remove));
}

TEST(SftpSession, TheMemoryBoundStopsReadingWhileRequestsPileUp) {
    sftp::SessionOptions options;
    options.maxInFlightBytes = 8 << 20;
    SftpTestSession t(options);
    ASSERT_TRUE(t.Init(3));
    WriteFile(t.Dir() + "/f", "tiny");
    std::string h = OpenHandle(t, 1, "/f", 0x01);
    t.Provider().CloseGate();
    constexpr uint32_t kReads = 64;
    std::thread flood([&] {
        for (uint32_t i = 0; i < kReads; ++i) {
            // 4 MiB each, cut to 256 KiB: 16 MiB in all
            t.Send(Request(Fxp::Read, 100 + i, h, U64{1 << 20}, 4 << 20));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Half the reads fit the bound; the rest wait in the socket, unread.
    EXPECT_LE(t.Session().PeakInFlightBytes(), options.maxInFlightBytes);
    t.Provider().OpenGate();
    std::set<uint32_t> ids;
    for (uint32_t i = 0; i < kReads; ++i) {
        auto r = t.Read();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->StatusCode(), 1u);  // EOF: the file is tiny
        ids.insert(r->id);
    }
    flood.join();
    EXPECT_EQ(ids.size(), kReads);
    EXPECT_LE(t.Session().PeakInFlightBytes(), options.maxInFlightBytes);
    EXPECT_GT(t.Session().PeakInFlightBytes(), 4u << 20);
}

TEST(SftpSession, AClientThatStopsReadingRepliesStopsTheServerReadingRequests) {
    SftpTestSession t;  // the default bound and READ length
    ASSERT_TRUE(t.Init(3));
    std::string content(2 << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 / 3);
    WriteFile(t.Dir() + "/f", content);
    std::string h = OpenHandle(t, 1, "/f", 0x01);
    // Every READ asks for 4 MiB; none of the replies is read yet.
    constexpr uint32_t kReads = 200, kStep = 4096;
    for (uint32_t i = 0; i < kReads; ++i) {
        t.Send(Request(Fxp::Read, 100 + i, h, U64{uint64_t{i} * kStep}, 4 << 20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Had it read on, the replies would have come to 50 MiB.
    const sftp::SessionOptions defaults;
    EXPECT_LE(t.Session().PeakInFlightBytes(), defaults.maxInFlightBytes);
    std::set<uint32_t> ids;
    for (uint32_t i = 0; i < kReads; ++i) {
        auto r = t.Read();
        ASSERT_TRUE(r);
        ASSERT_EQ(r->type, Fxp::Data) << "status " << r->StatusCode();
        SftpReader rd(r->body);
        std::string_view data;
        ASSERT_TRUE(rd.String(data));
        const size_t offset = (r->id - 100) * size_t{kStep};
        EXPECT_EQ(data.size(), defaults.maxReadLength);
        EXPECT_EQ(data, std::string_view(content).substr(offset, data.size())) << r->id;
        ids.insert(r->id);
    }
    EXPECT_EQ(ids.size(), kReads);
}

TEST(SftpSession, AProviderThatStopsFailsWhatIsPendingAndEndsTheSession) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(3));
    SftpReply r = t.Call(Request(Fxp::Remove, 1, "/die"));
    EXPECT_EQ(r.type, Fxp::Status);
    EXPECT_EQ(r.StatusCode(), 4u);
    EXPECT_EQ(t.Finish(), 1);
    EXPECT_TRUE(t.LogContains("provider stopped: FakeProvider: told to die"));
}

TEST(SftpSession, VersionSixRealpathComposesAndChecksThroughTheProvider) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(6));
    mkdir((t.Dir() + "/a").c_str(), 0755);
    struct Case {
        std::vector<std::string> args;
        int control;
        uint8_t type;
        std::string name;
    } cases[] = {
        {{"/a", "b", "../c"}, 1, Fxp::Name, "/a/c"},
        {{"/a"}, 3, Fxp::Name, "/a"},
        {{"/a/missing"}, 3, Fxp::Status, ""},
        {{"/a/missing"}, 2, Fxp::Name, "/a/missing"},
    };
    uint32_t id = 1;
    for (const Case& c : cases) {
        SftpWriter w =
            Request(Fxp::Realpath, id++, c.args[0], Byte{static_cast<uint8_t>(c.control)});
        for (size_t i = 1; i < c.args.size(); ++i) w.String(c.args[i]);
        SftpReply r = t.Call(w);
        ASSERT_EQ(r.type, c.type) << c.args[0];
        if (r.type != Fxp::Name) continue;
        EXPECT_EQ(r.FirstName(), c.name);
    }
}

TEST(SftpSession, LaterVersionsCheckFlagsBeforeTheProviderSeesThem) {
    SftpTestSession t;
    ASSERT_TRUE(t.Init(6));
    WriteFile(t.Dir() + "/f", "0123456789");
    // An open flag the provider does not list (AppendAtomic) never reaches it.
    SftpWriter open = Request(Fxp::Open, 1, "/f", SfsAccessMask::ReadData,
                              SfsOpenFlags::OpenExisting | SfsOpenFlags::AppendAtomic, 0, Byte{1});
    EXPECT_EQ(t.Call(open).StatusCode(), 8u);
    EXPECT_FALSE(t.Provider().LastRequest(SfsRequest::Open));

    SftpReply handle =
        t.Call(Request(Fxp::Open, 2, "/f", SfsAccessMask::ReadData | SfsAccessMask::ReadAttributes,
                       SfsOpenFlags::OpenExisting, 0, Byte{1}));
    ASSERT_EQ(handle.type, Fxp::Handle);
    const std::string h = handle.FirstString();

    // Block modes outside the provider's block vector are refused here.
    struct Case {
        uint32_t mode;
        bool reachesProvider;
    } cases[] = {{SfsBlockFlags::BlockRead, false}, {SfsBlockFlags::BlockWrite, true}};
    uint32_t id = 3;
    for (const Case& c : cases) {
        EXPECT_EQ(t.Call(Request(Fxp::Block, id++, h, U64{0}, U64{5}, c.mode)).StatusCode(), 8u);
        EXPECT_EQ(bool(t.Provider().LastRequest(SfsRequest::Block)), c.reachesProvider);
    }

    // Version 6 data replies carry the end-of-file flag after the data.
    SftpReply data = t.Call(Request(Fxp::Read, 10, h, U64{4}, 100));
    ASSERT_EQ(data.type, Fxp::Data);
    EXPECT_EQ(data.body, std::string("\x00\x00\x00\x06", 4) + "456789" + std::string(1, '\0'));
}

TEST(SftpSession, NamesAndHomesAreAnsweredByTheServer) {
    sftp::SessionOptions options;
    options.home = "/home/someone";
    SftpTestSession t(options);
    ASSERT_TRUE(t.Init(3));
    SftpReply names =
        t.Call(Request(Fxp::Extended, 1, "users-groups-by-id@openssh.com",
                       std::string("\x00\x00\x00\x00\xEE\x6B\x28\x00", 8),  // uid 0, an unused uid
                       std::string("\x00\x00\x00\x00", 4)));
    ASSERT_EQ(names.type, Fxp::ExtendedReply);
    std::string users = std::string("\x00\x00\x00\x04", 4) + "root" + std::string(4, '\0');
    std::string groups = std::string("\x00\x00\x00\x04", 4) + "root";
    EXPECT_EQ(names.body, std::string("\x00\x00\x00", 3) + char(users.size()) + users +
                              std::string("\x00\x00\x00", 3) + char(groups.size()) + groups);

    struct Case {
        uint8_t type;
        const char* extension;
        const char* arg;
        const char* expected;
    } cases[] = {
        {Fxp::Extended, "home-directory", "", "/home/someone"},
        {Fxp::Realpath, nullptr, ".", "/home/someone"},
        {Fxp::Realpath, nullptr, "../x/./y", "/home/x/y"},
        {Fxp::Extended, "expand-path@openssh.com", "~", "/home/someone"},
    };
    uint32_t id = 2;
    for (const Case& c : cases) {
        SftpWriter w = Request(c.type, id++);
        if (c.extension) w.String(c.extension);
        w.String(c.arg);
        SftpReply r = t.Call(w);
        ASSERT_EQ(r.type, Fxp::Name) << c.arg;
        SftpReader rd(r.body);
        uint32_t count = 0;
        rd.U32(count);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(r.FirstName(), c.expected);
    }
}

TEST(SftpSession, VersionSelectWorksOnlyAsTheFirstRequest) {
    struct Case {
        bool statFirst;
        const char* version;
        uint32_t status;
        int exitStatus;
    } cases[] = {
        {false, "3", 0, 0},
        {true, "3", 4, 1},   // too late: fails and closes
        {false, "7", 4, 1},  // not offered: fails and closes
    };
    for (const Case& c : cases) {
        SftpTestSession t;
        ASSERT_TRUE(t.Init(6));
        if (c.statFirst) {
            t.Call(Request(Fxp::Stat, 1, "/", 0));
        }
        EXPECT_EQ(t.Call(Request(Fxp::Extended, 2, "version-select", c.version)).StatusCode(),
                  c.status)
            << c.version;
        if (c.exitStatus == 0) {
            // Now version 3: NoSuchPath reads as NoSuchFile.
            EXPECT_EQ(t.Call(Request(Fxp::Remove, 3, "/status/10")).StatusCode(), 2u);
        }
        EXPECT_EQ(t.Finish(), c.exitStatus) << c.version;
    }
}

}  // namespace
}  // namespace kiln::test
