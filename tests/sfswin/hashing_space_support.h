// Helpers of the hashing and free-space tests: files with known bytes and
// digests computed outside the provider, by the system's own tools.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "sfs/status_texts.h"
#include "sfswin_test_support.h"
#ifdef _WIN32
#include <bcrypt.h>
#endif

namespace kiln::KilnSfsWin::test {

// Bytes that differ from block to block, so that a digest over the wrong
// range cannot match by accident.
inline std::string PatternBytes(size_t size, uint32_t seed = 12345) {
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

inline void WriteBytes(const std::string& linuxPath, const std::string& bytes) {
    std::ofstream out(linuxPath, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << linuxPath;
}

inline std::string Hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 15];
    }
    return hex;
}
inline std::string Hex(const QtBytes& bytes) {
    return Hex(bytes.Data(), bytes.Size());
}

#ifdef _WIN32
// The digest of `bytes` by the system's CNG, as lower-case hex.
inline std::string ToolDigest(const std::string& algorithm, const std::string& bytes) {
    // CNG's own algorithm names (BCRYPT_*_ALGORITHM), as the system's wide strings.
    const struct {
        const char* name;
        const char16_t* cng;
        ULONG size;
    } kAlgorithms[] = {{"md5", u"MD5", 16},
                       {"sha1", u"SHA1", 20},
                       {"sha256", u"SHA256", 32},
                       {"sha384", u"SHA384", 48},
                       {"sha512", u"SHA512", 64}};
    for (const auto& known : kAlgorithms) {
        if (algorithm != known.name) continue;
        BCRYPT_ALG_HANDLE provider = nullptr;
        EXPECT_EQ(BCryptOpenAlgorithmProvider(&provider, reinterpret_cast<LPCWSTR>(known.cng),
                                              nullptr, 0),
                  0)
            << algorithm;
        if (!provider) return {};
        uint8_t digest[64];
        std::string input = bytes;
        const NTSTATUS status =
            BCryptHash(provider, nullptr, 0, reinterpret_cast<PUCHAR>(input.data()),
                       static_cast<ULONG>(input.size()), digest, known.size);
        BCryptCloseAlgorithmProvider(provider, 0);
        EXPECT_EQ(status, 0) << algorithm;
        return status == 0 ? Hex(digest, known.size) : std::string();
    }
    ADD_FAILURE() << "no digest " << algorithm << " here";
    return {};
}
#else
// The digest of `bytes` by coreutils' "<algorithm>sum", as lower-case hex.
inline std::string ToolDigest(const std::string& algorithm, const std::string& bytes) {
    char name[] = "/tmp/kiln-digest-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    if (fd < 0) return {};
    close(fd);
    WriteBytes(name, bytes);
    std::string command = algorithm + "sum " + name;
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof(buffer), pipe)) output += buffer;
        EXPECT_EQ(pclose(pipe), 0) << command;
    }
    unlink(name);
    return output.substr(0, output.find(' '));
}
#endif

inline std::vector<std::string> Digests(const QtSfsCheckFileReply& reply) {
    std::vector<std::string> out;
    if (reply.m_hashes)
        for (QtBytes* digest : *reply.m_hashes) out.push_back(digest ? Hex(*digest) : "<null>");
    return out;
}

inline RefPtr<QtSfsCheckFileName> CheckByName(std::u16string_view sfsPath,
                                              std::u16string_view algorithms,
                                              uint64_t startOffset = 0, uint64_t length = 0,
                                              uint32_t blockSize = 0) {
    auto content = MakeRef<QtSfsCheckFileName>();
    content->m_fileName = MakeStr(sfsPath);
    content->m_hashAlgList = MakeStr(algorithms);
    content->m_startOffset = startOffset;
    content->m_length = length;
    content->m_blockSize = blockSize;
    return content;
}

inline RefPtr<QtSfsStatus> StatusOf(const RefPtr<QtSfsResponse>& response) {
    if (!response || response->m_type != SfsResponse::Status) return nullptr;
    return QuantumCast<QtSfsStatus>(response->m_content);
}

// A provider whose root is a fresh temporary directory.
class RootedProvider {
  public:
    RootedProvider() {
        m_run.Init({{u"MountPath", u"/"}, {u"RootPath", m_root.WinPath()}});
        m_run.Sync();
    }
    ~RootedProvider() {
        m_run.Host().Send(MakeRef<QtEof>());
        EXPECT_EQ(m_run.Finish().kind, RunOutcome::Kind::Returned);
    }

    ProviderRun& Run() { return m_run; }
    std::string Linux(const std::string& relative) const {
        return m_root.LinuxPath() + "/" + relative;
    }
    std::u16string Win(const std::u16string& relative) const {
        return m_root.WinPath() + u"\\" + relative;
    }
    RefPtr<QtSfsResponse> Ask(SfsRequest type, RefPtr<QuantumS> content) {
        return m_run.Ask(m_run.MakeRequest(type, std::move(content)));
    }
    std::u16string LastLog() {
        auto logs = m_run.Logs();
        return logs.empty() ? u"<none>" : S(logs.back()->m_message);
    }
    SfsLogType LastLogType() {
        auto logs = m_run.Logs();
        return logs.empty() ? SfsLogType::Trace : logs.back()->m_type;
    }

  private:
    TempRoot m_root;
    ProviderRun m_run;
};

}  // namespace kiln::KilnSfsWin::test
