// Listing a directory of 10,000 files through the provider (OpenDir, then
// ReadDir until Eof, each a round trip through the test host), against
// opendir/readdir with an fstatat per entry, which is what the platform does
// underneath; and, once the Stat handler is in service, Stat of every file
// against a plain stat(). Each pair runs in the same benchmark and reports the
// counter "ratio" (provider time / plain time).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sfswin/dispatch.h"
#include "sfswin/sfswin_test_support.h"

namespace {

using kiln::MakeRef;
using kiln::MakeStr;
using kiln::RefPtr;
using namespace kiln;
using kiln::KilnSfsWin::test::ProviderRun;

constexpr int kFiles = 10000;

struct Corpus {
    std::string directory;
    std::u16string windowsRoot;
    std::vector<std::string> names;

    Corpus() {
        char pattern[] = "/tmp/kiln-bench-list-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        directory = pattern;
        windowsRoot = u"C:";
        for (char c : directory) windowsRoot += c == '/' ? u'\\' : static_cast<char16_t>(c);
        for (int i = 0; i < kFiles; ++i) {
            std::string name = "file" + std::to_string(i) + ".dat";
            int fd = ::open((directory + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) std::abort();
            if (::write(fd, "x", 1) != 1) std::abort();
            ::close(fd);
            names.push_back(name);
        }
    }
    ~Corpus() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
};

Corpus& TheCorpus() {
    static Corpus corpus;
    return corpus;
}

std::unique_ptr<ProviderRun> StartProvider(const Corpus& corpus) {
    auto run = std::make_unique<ProviderRun>();
    run->Init({{u"MountPath", u"/"}, {u"RootPath", corpus.windowsRoot}});
    run->Sync();
    return run;
}

// Entries listed through the provider; requests carry no log port, so that
// only the answers travel back.
size_t ProviderListing(ProviderRun& run) {
    auto open = MakeRef<QtSfsOpenDir>();
    open->m_path = MakeStr(u"/");
    RefPtr<QtSfsResponse> opened = run.Ask(run.MakeRequest(SfsRequest::OpenDir, open, false));
    auto* handle = dynamic_cast<QtSfsHandle*>(opened->m_content.get());
    if (!handle) std::abort();
    size_t entries = 0;
    for (;;) {
        auto read = MakeRef<QtSfsReadDir>();
        read->m_handle = handle->m_handle;
        RefPtr<QtSfsResponse> answer = run.Ask(run.MakeRequest(SfsRequest::ReadDir, read, false));
        auto* names = dynamic_cast<QtSfsNames*>(answer->m_content.get());
        if (!names) break;
        entries += names->m_names->Count();
        if (names->m_endOfList) break;
    }
    auto close = MakeRef<QtSfsClose>();
    close->m_handle = handle->m_handle;
    run.Ask(run.MakeRequest(SfsRequest::Close, close, false));
    return entries;
}

size_t PlainListing(const Corpus& corpus) {
    DIR* dir = ::opendir(corpus.directory.c_str());
    if (!dir) std::abort();
    size_t entries = 0;
    while (dirent* entry = ::readdir(dir)) {
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) ++entries;
    }
    ::closedir(dir);
    return entries;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_Listing10k(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    double providerTime = 0, plainTime = 0;
    size_t providerEntries = 0, plainEntries = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A fresh provider each round keeps the host's store of answers small.
        std::unique_ptr<ProviderRun> run = StartProvider(corpus);
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        providerEntries += ProviderListing(*run);
        auto middle = std::chrono::steady_clock::now();
        plainEntries += PlainListing(corpus);
        auto end = std::chrono::steady_clock::now();
        providerTime += Seconds(middle - start);
        plainTime += Seconds(end - middle);
        state.PauseTiming();
        run.reset();
        state.ResumeTiming();
    }
    state.counters["provider_entries_per_s"] = providerEntries / providerTime;
    state.counters["plain_entries_per_s"] = plainEntries / plainTime;
    state.counters["ratio"] = providerTime / plainTime;
}
BENCHMARK(BM_Listing10k)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Stat10k(benchmark::State& state) {
    const kiln::KilnSfsWin::DispatchEntry* entry =
        kiln::KilnSfsWin::FindDispatchEntry(SfsRequest::Stat);
    if (!entry || entry->handler == nullptr) {
        state.SkipWithError("the Stat handler is not in service yet");
        return;
    }
    Corpus& corpus = TheCorpus();
    double providerTime = 0, plainTime = 0;
    size_t operations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<ProviderRun> run = StartProvider(corpus);
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        for (const std::string& name : corpus.names) {
            auto stat = MakeRef<QtSfsStat>();
            stat->m_path = MakeStr(u"/" + std::u16string(name.begin(), name.end()));
            stat->m_flags = SfsAttrFlags::Size | SfsAttrFlags::ModifyTime;
            run->Ask(run->MakeRequest(SfsRequest::Stat, stat, false));
        }
        auto middle = std::chrono::steady_clock::now();
        for (const std::string& name : corpus.names) {
            struct stat st;
            benchmark::DoNotOptimize(::stat((corpus.directory + "/" + name).c_str(), &st));
        }
        auto end = std::chrono::steady_clock::now();
        providerTime += Seconds(middle - start);
        plainTime += Seconds(end - middle);
        operations += corpus.names.size();
        state.PauseTiming();
        run.reset();
        state.ResumeTiming();
    }
    state.counters["provider_ops_per_s"] = operations / providerTime;
    state.counters["plain_ops_per_s"] = operations / plainTime;
    state.counters["ratio"] = providerTime / plainTime;
}
BENCHMARK(BM_Stat10k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
