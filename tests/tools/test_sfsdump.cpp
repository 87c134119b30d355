// sfsdump run as a real command: arguments, standard input, output streams
// and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef SFSDUMP_PATH
#error "SFSDUMP_PATH must name the sfsdump program"
#endif

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class SfsDumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/sfsdump-test-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_dir = dirTemplate;
    }
    void TearDown() override {
        for (const char* name : {"in", "out", "err", "input.bin"})
            std::remove((m_dir + "/" + name).c_str());
        rmdir(m_dir.c_str());
    }

    std::string Path(const char* name) const { return m_dir + "/" + name; }

    void WriteFile(const std::string& path, const std::string& bytes) const {
        std::ofstream f(path, std::ios::binary);
        f << bytes;
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    Result Run(std::vector<std::string> args, const std::string& input = "") const {
        WriteFile(Path("in"), input);
        pid_t pid = fork();
        if (pid == 0) {
            int in = open(Path("in").c_str(), O_RDONLY);
            int out = open(Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(Path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv;
            std::string program = SFSDUMP_PATH;
            argv.push_back(program.data());
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        Result r;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.status = WEXITSTATUS(status);
        r.out = ReadFile(Path("out"));
        r.err = ReadFile(Path("err"));
        return r;
    }

    std::string m_dir;
};

const char kCloseHex[] =
    "00 00 00 20 00 00 00 07 00 00 00 04\n"
    "00 00 00 0A 51 74 53 66 73 43 6C 6F 73 65\n"
    "00 00 00 06 00 00 00 02 01 02\n";

std::string CloseDump() {
    return "QtSfsRequest:\n"
           "m_id: 7\n"
           "m_type: SfsRequest.Close\n"
           "m_content: QtSfsClose:\n"
           "  m_handle: QtBytes, 2 bytes\n"
           "    00000000   01 02 " +
           std::string(43, ' ') + "  .." + std::string(14, ' ') +
           "\n"
           "m_outResponse: null\n"
           "m_outLog: null\n";
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size();) {
        if (isspace(static_cast<unsigned char>(hex[i]))) {
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

TEST_F(SfsDumpTest, HexCloseRequestFromStandardInput) {
    Result r = Run({"--hex"}, kCloseHex);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CloseDump());
    EXPECT_EQ(r.err, "");
}

TEST_F(SfsDumpTest, BinaryFileArgument) {
    WriteFile(Path("input.bin"), Unhex(kCloseHex));
    Result r = Run({Path("input.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CloseDump());
    // "-" is standard input.
    Result fromStdin = Run({"-"}, Unhex(kCloseHex));
    EXPECT_EQ(fromStdin.out, CloseDump());
}

TEST_F(SfsDumpTest, TypeOptionAndUtf8Output) {
    // A QtSfsLog whose message is "é€" (UTF-8 c3 a9 e2 82 ac).
    const char hex[] = "00 00 00 0d 00 01 00 02 00 00 00 05 c3 a9 e2 82 ac";
    for (auto args : {std::vector<std::string>{"--hex", "--type", "QtSfsLog"},
                      std::vector<std::string>{"--type=QtSfsLog", "--hex"}}) {
        Result r = Run(args, hex);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out,
                  "QtSfsLog:\nm_type: SfsLogType.Warning\nm_code: SfsLogCode.Open\n"
                  "m_message: QtStr, '\xc3\xa9\xe2\x82\xac'\n");
    }
}

TEST_F(SfsDumpTest, FullTurnsAbbreviationOff) {
    // A QtSfsHandle of 70 bytes: abbreviated to 64 bytes and "..." by default.
    std::string hex = "00 00 00 4a 00 00 00 46";
    for (int i = 0; i < 70; ++i) hex += " 41";
    Result shortDump = Run({"--hex", "--type", "QtSfsHandle"}, hex);
    Result fullDump = Run({"--hex", "--full", "--type", "QtSfsHandle"}, hex);
    EXPECT_EQ(shortDump.status, 0);
    EXPECT_EQ(fullDump.status, 0);
    EXPECT_NE(shortDump.out.find("\n  ...\n"), std::string::npos) << shortDump.out;
    EXPECT_EQ(fullDump.out.find("..."), std::string::npos) << fullDump.out;
    EXPECT_NE(fullDump.out.find("  00000040   41 41 41 41 41 41 "), std::string::npos);
}

TEST_F(SfsDumpTest, ListTypesInRegistryOrder) {
    Result r = Run({"--list-types"});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> ids;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) ids.push_back(line);
    ASSERT_FALSE(ids.empty());
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    for (const char* id : {"QtBytes", "QtSfsRequest", "QtSfsClose", "QtVectS[QtSfsName]",
                           "QtSfsNotifyFileTransfer", "QtNameValueTree"})
        EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id;
}

struct FailureCase {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string err;  // exact standard error
};

TEST_F(SfsDumpTest, DecodeFailuresAndBadUsage) {
    const std::string truncated = "00 00 00 20 00 00 00 07 00 00 00 04 00 00 00 0A 51 74";
    const FailureCase cases[] = {
        {"truncated request",
         {"--hex"},
         truncated,
         1,
         "Insufficient input to decode 32 bytes in QtSfsRequest::Decode()\n"},
        {"content cut inside its frame",
         {"--hex"},
         "00 00 00 1f 00 00 00 07 00 00 00 04 00 00 00 0A 51 74 53 66 73 43 6C 6F 73 65 "
         "00 00 00 06 00 00 00 02 01",
         1,
         "Insufficient input to decode 6 bytes in QtSfsClose::Decode()\n"
         "Error decoding m_content in QtSfsRequest::Decode()\n"},
        {"unknown content",
         {"--hex"},
         "00 00 00 13 00 00 00 07 00 00 00 04 00 00 00 07 51 74 4e 6f 53 75 63 68",
         1,
         "Unrecognized quantum type ID decoded for m_content in QtSfsRequest::Decode()\n"},
        {"empty input",
         {},
         "",
         1,
         "DecodeWord32(): premature end of input data\n"
         "Error decoding data size in QtSfsRequest::Decode()\n"},
        {"odd hex digits",
         {"--hex"},
         "00 0",
         3,
         "sfsdump: bad hexadecimal input: odd number of digits (the last byte has one digit)\n"},
        {"not hex",
         {"--hex"},
         "00 00\n00 0g",
         3,
         "sfsdump: bad hexadecimal input: 'g' at line 2, column 5\n"},
        {"unknown type",
         {"--type", "QtNope"},
         "",
         3,
         "sfsdump: unknown type ID 'QtNope' ('sfsdump --list-types' prints the known ones)\n"
         "Try 'sfsdump --help' for more information.\n"},
        {"unknown option",
         {"--frobnicate"},
         "",
         3,
         "sfsdump: unknown option '--frobnicate'\nTry 'sfsdump --help' for more information.\n"},
        {"missing type ID",
         {"--type"},
         "",
         3,
         "sfsdump: option '--type' needs a type ID\n"
         "Try 'sfsdump --help' for more information.\n"},
        {"two files",
         {"a", "b"},
         "",
         3,
         "sfsdump: more than one input file given\n"
         "Try 'sfsdump --help' for more information.\n"},
        {"missing file",
         {"/nonexistent/sfsdump-input"},
         "",
         3,
         "sfsdump: cannot open '/nonexistent/sfsdump-input': No such file or directory\n"},
    };
    for (const auto& c : cases) {
        Result r = Run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
    }
}

TEST_F(SfsDumpTest, TrailingBytesPrintTheDumpAndExitTwo) {
    Result r = Run({"--hex"}, std::string(kCloseHex) + "ff ee");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, CloseDump());
    EXPECT_EQ(r.err,
              "sfsdump: 2 trailing bytes after the QtSfsRequest (which used 36 of 38 bytes)\n");
}

TEST_F(SfsDumpTest, HelpDescribesOptionsAndStatuses) {
    Result r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* text : {"Usage: sfsdump", "--hex", "--type ID", "--full", "--list-types",
                             "2  the message decoded but bytes followed it"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    EXPECT_EQ(r.err, "");
}

}  // namespace
