// sfsdump: decodes SFS wire bytes and prints the text dump of the message,
// the way the provider dumps it in its logs. For a host developer whose
// messages look wrong: the error chain of a failed decode says which field of
// which class gave up, and why.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "nocrtlib/decode_context.h"
#include "quantum/quantum.h"
#include "quantum/registry.h"

namespace {

// Exit statuses, also listed in the usage text.
constexpr int kExitOk = 0;
constexpr int kExitDecodeFailed = 1;
constexpr int kExitTrailingBytes = 2;
constexpr int kExitUsage = 3;
constexpr int kExitInternal = 4;

const char kUsage[] =
    "Usage: sfsdump [OPTIONS] [FILE]\n"
    "Decode one SFS message from FILE (or standard input when FILE is absent\n"
    "or '-') and print its text dump.\n"
    "\n"
    "Options:\n"
    "  --hex          the input is hexadecimal text; whitespace is ignored\n"
    "                 (default: raw binary bytes)\n"
    "  --type ID      decode a message of the registered type ID\n"
    "                 (default: QtSfsRequest; for example QtSfsResponse,\n"
    "                 QtSfsAttrs, QtVectS[QtSfsName])\n"
    "  --full         do not shorten long byte and character strings\n"
    "  --list-types   print the registered type IDs, one a line, and exit\n"
    "  -h, --help     print this text and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the message decoded and used up the input\n"
    "  1  the message did not decode; the error chain, innermost first, is\n"
    "     on standard error\n"
    "  2  the message decoded but bytes followed it; the dump is printed and\n"
    "     the trailing bytes are reported on standard error\n"
    "  3  bad usage or unreadable input\n"
    "  4  internal error\n";

struct Options {
    bool hex = false;
    bool full = false;
    bool listTypes = false;
    bool help = false;
    std::string typeId = "QtSfsRequest";
    std::string file;  // empty: standard input
};

void Complain(const std::string& message) {
    std::fprintf(stderr, "sfsdump: %s\n", message.c_str());
}

int UsageError(const std::string& message) {
    Complain(message);
    std::fputs("Try 'sfsdump --help' for more information.\n", stderr);
    return kExitUsage;
}

// Returns kExitOk or the status to exit with after a complaint.
int ParseArguments(int argc, char** argv, Options& o) {
    bool fileSeen = false;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (!optionsDone && a.size() > 1 && a[0] == '-') {
            if (a == "--") {
                optionsDone = true;
            } else if (a == "--hex") {
                o.hex = true;
            } else if (a == "--full") {
                o.full = true;
            } else if (a == "--list-types") {
                o.listTypes = true;
            } else if (a == "-h" || a == "--help") {
                o.help = true;
            } else if (a == "--type") {
                if (i + 1 >= argc) return UsageError("option '--type' needs a type ID");
                o.typeId = argv[++i];
            } else if (a.rfind("--type=", 0) == 0) {
                o.typeId = std::string(a.substr(7));
            } else {
                return UsageError("unknown option '" + std::string(a) + "'");
            }
            continue;
        }
        if (fileSeen) return UsageError("more than one input file given");
        fileSeen = true;
        if (a != "-") o.file = std::string(a);
    }
    if (o.typeId.empty()) return UsageError("option '--type' needs a type ID");
    return kExitOk;
}

bool ReadAll(std::FILE* f, std::vector<uint8_t>& out) {
    uint8_t buffer[65536];
    for (;;) {
        size_t n = std::fread(buffer, 1, sizeof(buffer), f);
        out.insert(out.end(), buffer, buffer + n);
        if (n < sizeof(buffer)) return !std::ferror(f);
    }
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal text to bytes; whitespace anywhere is ignored, so dumps copied
// from logs (pairs separated by spaces, lines) can be pasted as they are.
bool ParseHex(const std::vector<uint8_t>& text, std::vector<uint8_t>& out, std::string& error) {
    int high = -1;
    size_t line = 1, column = 0;
    for (uint8_t c : text) {
        ++column;
        if (c == '\n') {
            ++line;
            column = 0;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') continue;
        int v = HexValue(c);
        if (v < 0) {
            char shown[16];
            if (c >= 0x20 && c < 0x7F)
                std::snprintf(shown, sizeof(shown), "'%c'", c);
            else
                std::snprintf(shown, sizeof(shown), "byte 0x%02X", c);
            error = "bad hexadecimal input: " + std::string(shown) + " at line " +
                    std::to_string(line) + ", column " + std::to_string(column);
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "bad hexadecimal input: odd number of digits (the last byte has one digit)";
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    Options o;
    if (int status = ParseArguments(argc, argv, o)) return status;
    if (o.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    kiln::QuantumRegistry& registry = kiln::QuantumRegistry::Instance();
    if (o.listTypes) {
        for (std::string_view id : registry.TypeIds())
            std::printf("%.*s\n", static_cast<int>(id.size()), id.data());
        return kExitOk;
    }

    kiln::RefPtr<kiln::QuantumS> message = registry.Create(o.typeId);
    if (!message) {
        return UsageError("unknown type ID '" + o.typeId +
                          "' ('sfsdump --list-types' prints the known ones)");
    }

    std::vector<uint8_t> input;
    if (o.file.empty()) {
        if (!ReadAll(stdin, input)) {
            Complain(std::string("cannot read standard input: ") + std::strerror(errno));
            return kExitUsage;
        }
    } else {
        std::FILE* f = std::fopen(o.file.c_str(), "rb");
        if (!f) {
            Complain("cannot open '" + o.file + "': " + std::strerror(errno));
            return kExitUsage;
        }
        bool ok = ReadAll(f, input);
        int readError = errno;
        std::fclose(f);
        if (!ok) {
            Complain("cannot read '" + o.file + "': " + std::strerror(readError));
            return kExitUsage;
        }
    }
    if (o.hex) {
        std::vector<uint8_t> bytes;
        std::string error;
        if (!ParseHex(input, bytes, error)) {
            Complain(error);
            return kExitUsage;
        }
        input.swap(bytes);
    }

    kiln::StaticDecodeContext cx(input.data(), input.size());
    kiln::OpResult r = message->Decode(cx);
    if (!r) {
        for (const kiln::WString& e : cx.Errors())
            std::fprintf(stderr, "%s\n", kiln::Narrow(e.sv()).c_str());
        return kExitDecodeFailed;
    }

    kiln::DumpOptions dump;
    dump.indent = 0;
    dump.step = 2;
    dump.abbreviate = !o.full;
    std::string text = kiln::Narrow(message->Dump(dump).sv());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);

    if (uint64_t rest = cx.Remaining()) {
        Complain(std::to_string(rest) + " trailing byte" + (rest == 1 ? "" : "s") + " after the " +
                 o.typeId + " (which used " + std::to_string(r.count) + " of " +
                 std::to_string(input.size()) + " bytes)");
        return kExitTrailingBytes;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        // Decoding does not throw; this is a broken invariant or no memory.
        Complain(std::string("internal error: ") + e.what());
        return kExitInternal;
    }
}
