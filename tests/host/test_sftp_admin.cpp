// What administrators configure and read: the command line, the allow and
// deny lists of requests, and the request log lines.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "host/sftp_options.h"
#include "sftp_test_session.h"

namespace kiln::test {
namespace {

using sftp::ServerOptions;
using sftp::SftpReader;
using sftp::SftpWriter;
namespace Fxp = sftp::Fxp;

std::string Parse(std::vector<std::string> args, ServerOptions& out) {
    args.insert(args.begin(), "kiln-sftp-server");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return sftp::ParseServerOptions(static_cast<int>(args.size()), argv.data(), out);
}

TEST(ServerOptions, TakesOpenSshsOptionsAndOurLongOnes) {
    struct Case {
        std::vector<std::string> args;
        std::string error;  // a part of the reason; empty: accepted
        std::function<bool(const ServerOptions&)> check;
    } cases[] = {
        {{},
         "",
         [](const ServerOptions& o) {
             return o.action == ServerOptions::Action::Serve && o.facility == LOG_AUTH;
         }},
        {{"-el", "INFO", "-f", "local5"},
         "",
         [](const ServerOptions& o) {
             return o.logToStderr && o.level == sftp::LogLevel::Info && o.facility == LOG_LOCAL5;
         }},
        {{"-u", "027", "-R", "-d", "/data/%u"},
         "",
         [](const ServerOptions& o) {
             return o.umask == 027 && o.readOnly && o.home == "/data/%u";
         }},
        {{"--root=/srv", "--home", "/in", "--drive", "d=/mnt"},
         "",
         [](const ServerOptions& o) {
             return o.root == "/srv" && o.home == "/in" && o.drives.size() == 1 &&
                    o.drives[0].first == u'D';
         }},
        {{"-p", "open,read,close", "-p", "stat", "-P", "remove"},
         "",
         [](const ServerOptions& o) {
             return o.allowedRequests &&
                    *o.allowedRequests ==
                        std::vector<std::string>{"open", "read", "close", "stat"} &&
                    o.deniedRequests == std::vector<std::string>{"remove"};
         }},
        {{"-Q", "requests"},
         "",
         [](const ServerOptions& o) { return o.action == ServerOptions::Action::ListRequests; }},
        {{"-o", "ShowHidden=No"},
         "",
         [](const ServerOptions& o) {
             return o.switches.size() == 2 && o.switches[1].second == "No";
         }},
        {{"-Q", "features"}, "unknown query features", nullptr},
        {{"-Q", "requests", "-e"}, "-Q takes no other options", nullptr},
        {{"-P", "remove,rnmae"}, "unknown request \"rnmae\"", nullptr},
        {{"-p", "open,,read"}, "empty request name", nullptr},
        {{"-u", "0800"}, "bad umask", nullptr},
        {{"-u", ""}, "bad umask", nullptr},
        {{"-f", "KERN"}, "unknown log facility", nullptr},
        {{"-l", "LOUD"}, "unknown log level", nullptr},
        {{"-l"}, "needs a value", nullptr},
        {{"-x"}, "unknown option -x", nullptr},
        {{"--rooot", "/"}, "unknown option --rooot", nullptr},
        {{"-o", "Colour=Yes"}, "unknown provider switch", nullptr},
        {{"stray"}, "unexpected argument stray", nullptr},
    };
    for (const Case& c : cases) {
        ServerOptions o;
        std::string why = Parse(c.args, o);
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        if (c.error.empty()) {
            EXPECT_EQ(why, "") << line;
            EXPECT_TRUE(c.check(o)) << line;
        } else {
            EXPECT_NE(why.find(c.error), std::string::npos) << line << "-> " << why;
        }
    }
}

TEST(ServerOptions, StartDirectoryTokensExpandAsSshdsDo) {
    struct Case {
        const char* text;
        std::optional<std::string> expanded;
    } cases[] = {
        {"/srv/%u", "/srv/alice"},    {"%d/in", "/home/alice/in"},
        {"%h", "/home/alice"},        {"/a%%b", "/a%b"},
        {"/plain", "/plain"},         {"/x/%s", std::nullopt},
        {"/trailing%", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sftp::ExpandHomeTokens(c.text, "alice", "/home/alice"), c.expanded) << c.text;
}

// Every request named in a list is known to the server, and what -Q lists
// is exactly what the lists accept.
TEST(SftpSession, RequestListsRefuseByOpenSshsNames) {
    struct Case {
        std::optional<std::vector<std::string>> allowed;
        std::vector<std::string> denied;
        uint8_t type;
        const char* extension;  // for Fxp::Extended
        bool refused;
        const char* logLine;  // at VERBOSE when refused
    } cases[] = {
        {std::nullopt,
         {"remove"},
         Fxp::Remove,
         nullptr,
         true,
         "Refusing denylisted remove request"},
        {std::nullopt, {"remove"}, Fxp::Mkdir, nullptr, false, nullptr},
        {std::vector<std::string>{"stat", "mkdir"}, {}, Fxp::Mkdir, nullptr, false, nullptr},
        {std::vector<std::string>{"stat"},
         {},
         Fxp::Rmdir,
         nullptr,
         true,
         "Refusing non-allowlisted rmdir request"},
        // The deny list comes first.
        {std::vector<std::string>{"rmdir"},
         {"rmdir"},
         Fxp::Rmdir,
         nullptr,
         true,
         "Refusing denylisted rmdir request"},
        {std::nullopt,
         {"statvfs"},
         Fxp::Extended,
         "statvfs@openssh.com",
         true,
         "Refusing denylisted statvfs request"},
        {std::vector<std::string>{"stat"},
         {},
         Fxp::Extended,
         "statvfs@openssh.com",
         true,
         "Refusing non-allowlisted statvfs request"},
        {std::vector<std::string>{"statvfs"},
         {},
         Fxp::Extended,
         "statvfs@openssh.com",
         false,
         nullptr},
    };
    for (const Case& c : cases) {
        sftp::SessionOptions options;
        options.allowedRequests = c.allowed;
        options.deniedRequests = c.denied;
        SftpTestSession t(options, sftp::LogLevel::Verbose);
        auto version = t.Init(3);
        ASSERT_TRUE(version);
        if (c.extension) {
            EXPECT_EQ(ExtensionNames(*version).count(c.extension), c.refused ? 0u : 1u);
        }
        SftpWriter w = Request(c.type, 7);
        if (c.extension) w.String(c.extension);
        w.String("/d");
        if (c.type == Fxp::Mkdir) w.U32(0);
        SftpReply r = t.Call(w);
        if (c.refused) {
            EXPECT_EQ(r.type, Fxp::Status);
            EXPECT_EQ(r.StatusCode(), 3u) << int(c.type);  // PERMISSION_DENIED
            EXPECT_TRUE(t.LogContains(c.logLine)) << c.logLine;
        } else {
            EXPECT_NE(r.StatusCode(), 3u) << int(c.type);
        }
        EXPECT_EQ(t.Provider().LastRequest(SfsRequest::RmDir) != nullptr,
                  c.type == Fxp::Rmdir && !c.refused);
    }
    for (std::string_view name : sftp::RequestNames()) EXPECT_TRUE(sftp::IsRequestName(name));
    EXPECT_FALSE(sftp::IsRequestName("extended"));
}

// The lines name the client's path below the root, in OpenSSH's words.
TEST(SftpSession, RequestLogLinesFollowOpenSsh) {
    sftp::SessionOptions options;
    options.root = "/srv/sftp";
    SftpTestSession t(options, sftp::LogLevel::Info);
    ASSERT_TRUE(t.Init(3));
    uint32_t id = 1;
    t.Call(Request(Fxp::Mkdir, id++, "/d", 0x4, 0750));  // permissions
    // WRITE, CREAT, TRUNC; permissions.
    std::string file =
        t.Call(Request(Fxp::Open, id++, "d/f", 0x02 | 0x08 | 0x10, 0x4, 0640)).FirstString();
    t.Call(Request(Fxp::Close, id++, file));
    std::string dir = t.Call(Request(Fxp::Opendir, id++, "/d")).FirstString();
    t.Call(Request(Fxp::Close, id++, dir));
    t.Call(Request(Fxp::Setstat, id++, "/d/f", 0x1 | 0x4, U64{0}, 0600));  // size, permissions
    t.Call(Request(Fxp::Rename, id++, "/d/f", "/d/g"));
    t.Call(Request(Fxp::Symlink, id++, "g", "/d/l"));
    t.Call(Request(Fxp::Remove, id++, "/d/g"));
    t.Call(Request(Fxp::Rmdir, id++, "/e"));
    // A name cannot start a log line of its own.
    t.Call(Request(Fxp::Open, id++, "/d/a\nsession closed\\", 0x01, 0));  // READ
    const std::vector<std::string> expected = {
        "mkdir name \"/d\" mode 0750",
        "open \"/d/f\" flags WRITE,CREATE,TRUNCATE mode 0640",
        "opendir \"/d\"",
        "closedir \"/d\"",
        "set \"/d/f\" size 0",
        "set \"/d/f\" mode 0600",
        "rename old \"/d/f\" new \"/d/g\"",
        "symlink old \"g\" new \"/d/l\"",
        "remove name \"/d/g\"",
        "rmdir name \"/e\"",
        "open \"/d/a\\012session closed\\134\" flags READ mode 0666",
    };
    std::vector<std::string> lines;
    for (const std::string& line : t.Log().Lines())
        for (const std::string& e : expected)
            if (line == e) lines.push_back(line);
    EXPECT_EQ(lines, expected);
    // A file's handle is not taken for a directory's.
    EXPECT_FALSE(t.LogContains("closedir \"/d/f\""));
}

}  // namespace
}  // namespace kiln::test
