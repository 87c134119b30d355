// What one attribute query of the backend costs on Linux: the sequence
// GetFileAttributesW, CreateFileW (backup semantics, no access),
// GetFileInformationByHandle, CloseHandle, against one plain stat() of the
// same file. A directory of 10,000 files, warm cache; the ratio of the two is
// reported as the counter "ratio" (target: at most 3).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/config_files.h"
#include "platform/win32.h"

namespace {

constexpr int kFiles = 10000;

struct Corpus {
    std::string directory;
    std::vector<std::string> linuxPaths;
    std::vector<std::u16string> windowsPaths;

    Corpus() {
        char pattern[] = "/tmp/kiln-bench-stat-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        directory = pattern;
        kiln::platform::SetDrive(u'B', directory);
        kiln::platform::SetConfinementRoot(u"B:\\");
        for (int i = 0; i < kFiles; ++i) {
            std::string name = "file" + std::to_string(i) + ".dat";
            std::string path = directory + "/" + name;
            int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) std::abort();
            ::close(fd);
            linuxPaths.push_back(path);
            windowsPaths.push_back(u"\\\\?\\B:\\" + std::u16string(name.begin(), name.end()));
        }
    }
    ~Corpus() {
        kiln::platform::SetConfinementRoot(nullptr);
        kiln::platform::RemoveDrive(u'B');
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
};

Corpus& TheCorpus() {
    static Corpus corpus;
    return corpus;
}

double PlainStatPass(const Corpus& corpus) {
    auto start = std::chrono::steady_clock::now();
    for (const std::string& path : corpus.linuxPaths) {
        struct stat st;
        benchmark::DoNotOptimize(::stat(path.c_str(), &st));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool AttributeSequence(const std::u16string& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(h, &info) != FALSE;
    CloseHandle(h);
    return ok;
}

double SequencePass(const Corpus& corpus) {
    auto start = std::chrono::steady_clock::now();
    for (const std::u16string& path : corpus.windowsPaths)
        if (!AttributeSequence(path)) std::abort();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_PlainStat(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    PlainStatPass(corpus);  // warm the cache
    for (auto _ : state) PlainStatPass(corpus);
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_PlainStat)->Unit(benchmark::kMillisecond);

void BM_AttributeSequence(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    SequencePass(corpus);
    double sequence = 0, plain = 0;
    for (auto _ : state) {
        sequence += SequencePass(corpus);
        state.PauseTiming();
        plain += PlainStatPass(corpus);  // interleaved, so both see the same machine state
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
    state.counters["ratio"] = sequence / plain;
}
BENCHMARK(BM_AttributeSequence)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
