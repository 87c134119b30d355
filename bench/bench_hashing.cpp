// Hashing a whole file through the provider against `openssl dgst` on the
// same file in the same run: hashing is bound by the digest itself and by
// memory, so the provider should come within a few percent of the tool.
// The file (1 GiB, or KILN_BENCH_HASH_MIB MiB) lives in /tmp and is read once
// beforehand so that every contender finds it in the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component/general_quanta.h"
#include "platform/config_files.h"
#include "sfswin/kiln_sfs_win.h"
#include "support/test_host.h"

namespace kiln {
namespace {

using KilnSfsWin::KilnSfsWin;

struct BenchFile {
    std::string dir;
    std::string path;
    uint64_t size = 0;

    BenchFile() {
        const char* mib = std::getenv("KILN_BENCH_HASH_MIB");
        size = (mib ? std::strtoull(mib, nullptr, 10) : 1024) << 20;
        char pattern[] = "/tmp/kiln-bench-hash-XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/data";
        std::vector<char> block(1 << 20);
        uint32_t x = 1;
        for (char& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
        FILE* out = std::fopen(path.c_str(), "wb");
        for (uint64_t done = 0; done < size; done += block.size()) {
            block[0] = static_cast<char>(done >> 20);  // no two blocks alike
            std::fwrite(block.data(), 1, block.size(), out);
        }
        std::fclose(out);
        Warm();
    }
    ~BenchFile() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    void Warm() const {
        int fd = open(path.c_str(), O_RDONLY);
        std::vector<char> buffer(1 << 20);
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
        close(fd);
    }
    std::u16string WinRoot() const {
        std::u16string win = u"C:";
        for (char c : dir) win += c == '/' ? u'\\' : static_cast<char16_t>(c);
        return win;
    }
};

BenchFile& TheFile() {
    static BenchFile file;
    return file;
}

std::map<std::string, double>& Throughputs() {
    static std::map<std::string, double> rates;
    return rates;
}

void Record(benchmark::State& state, const std::string& name, double seconds) {
    const double bytes =
        static_cast<double>(TheFile().size) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    Throughputs()[name] = bytes / seconds;
}

void ProviderHash(benchmark::State& state, const char16_t* algorithm, const std::string& name) {
    BenchFile& file = TheFile();
    test::TestHost host(std::make_unique<KilnSfsWin>());
    host.Start();
    auto init = MakeRef<QtSfsInit>();
    init->m_root = QtNameValueTree::Make(u"", u"");
    init->m_root->AddChild(u"MountPath", u"/");
    init->m_root->AddChild(u"RootPath", file.WinRoot());
    init->m_outLog = host.ReplyPort<QtSfsLog>();
    host.Send(init);

    double seconds = 0;
    uint32_t id = 0;
    for (auto _ : state) {
        auto content = MakeRef<QtSfsCheckFileName>();
        content->m_fileName = MakeStr(u"/data");
        content->m_hashAlgList = MakeStr(algorithm);
        auto request = MakeRef<QtSfsRequest>();
        request->m_id = ++id;
        request->m_type = SfsRequest::CheckFileName;
        request->m_content = content;
        request->m_outResponse = host.ReplyPort<QtSfsResponse>();
        const auto start = std::chrono::steady_clock::now();
        host.Send(request);
        auto response = host.WaitFor<QtSfsResponse>(std::chrono::seconds(120));
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!response || response->m_type != SfsResponse::CheckFileReply) {
            state.SkipWithError("the provider did not hash the file");
            break;
        }
    }
    host.Send(MakeRef<QtEof>());
    host.Join();
    platform::SetConfinementRoot(nullptr);
    Record(state, name, seconds);
}

void OpensslHash(benchmark::State& state, const char* option, const std::string& name) {
    const std::string command =
        std::string("openssl dgst ") + option + " " + TheFile().path + " 2>/dev/null";
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[512];
        bool got = pipe && std::fgets(buffer, sizeof(buffer), pipe) != nullptr;
        int status = pipe ? pclose(pipe) : -1;
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!got || status != 0) {
            state.SkipWithError("openssl dgst failed");
            break;
        }
    }
    Record(state, name, seconds);
}

void BM_ProviderSha256(benchmark::State& state) {
    ProviderHash(state, u"sha256", "provider sha256");
}
void BM_OpensslSha256(benchmark::State& state) {
    OpensslHash(state, "-sha256", "openssl sha256");
}
void BM_ProviderMd5(benchmark::State& state) {
    ProviderHash(state, u"md5", "provider md5");
}
void BM_OpensslMd5(benchmark::State& state) {
    OpensslHash(state, "-md5", "openssl md5");
}

// Interleaved, so that a change in the machine's load hits both sides alike.
BENCHMARK(BM_OpensslSha256)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProviderSha256)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslMd5)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProviderMd5)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kiln

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    kiln::TheFile();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& rates = kiln::Throughputs();
    for (const char* algorithm : {"sha256", "md5"}) {
        auto provider = rates.find(std::string("provider ") + algorithm);
        auto openssl = rates.find(std::string("openssl ") + algorithm);
        if (provider == rates.end() || openssl == rates.end()) continue;
        std::printf("%s: provider %.0f MB/s, openssl dgst %.0f MB/s, ratio %.1f%% (target 90%%)\n",
                    algorithm, provider->second / 1e6, openssl->second / 1e6,
                    100.0 * provider->second / openssl->second);
    }
    return 0;
}
