// What the file requests cost through the provider, against the same work
// done with plain Linux calls in the same run: sequential reads and writes of
// a large file in page cache in 32 KiB and 256 KiB requests (MB/s), and
// Open+Close of one file (operations per second).
//
// Each provider benchmark runs its requests through the test host (a real
// PortHub, the provider on its own thread, a log port that is drained), then
// repeats the same number of operations with pread/pwrite/open/close and
// reports the plain figure beside its own and the ratio provider/plain of the
// time per operation ("slowdown").
//
// The file size defaults to 1 GiB; KILN_BENCH_FILE_MIB sets another.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "component/general_quanta.h"
#include "component/port_hub.h"
#include "component/typed_port.h"
#include "platform/config_files.h"
#include "sfswin/kiln_sfs_win.h"
#include "support/test_host.h"

namespace {

using namespace kiln;
using Clock = std::chrono::steady_clock;

uint64_t FileSize() {
    const char* mib = std::getenv("KILN_BENCH_FILE_MIB");
    uint64_t size = mib ? std::strtoull(mib, nullptr, 10) : 1024;
    return (size ? size : 1024) << 20;
}

// A provider over a temporary root with one large file in it, driven through
// the test host with response and log ports of its own that never pile up.
class Bench {
  public:
    Bench() : m_host(std::make_unique<KilnSfsWin::KilnSfsWin>()) {
        char pattern[] = "/tmp/kiln-bench-fileops-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        m_directory = pattern;
        m_fileSize = FileSize();
        MakeFile(m_directory + "/read.dat");
        MakeFile(m_directory + "/write.dat");

        std::u16string root = u"C:";
        for (char c : m_directory) root += c == '/' ? u'\\' : static_cast<char16_t>(c);
        m_host.Start();
        m_host.Hub().Link(*m_responsesOut, m_responses);
        m_host.Hub().Link(*m_logsOut, m_logs);
        auto init = MakeRef<QtSfsInit>();
        init->m_root = QtNameValueTree::Make(u"", u"");
        init->m_root->AddChild(u"MountPath", u"/");
        init->m_root->AddChild(u"RootPath", root);
        init->m_outLog = m_logsOut;
        m_host.Send(init);
    }
    ~Bench() {
        m_host.Send(MakeRef<QtEof>());
        m_host.Join();
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }

    uint64_t Size() const { return m_fileSize; }
    std::string LinuxPath(const char* name) const { return m_directory + "/" + name; }

    RefPtr<QtSfsResponse> Ask(SfsRequest type, RefPtr<QuantumS> content) {
        auto request = MakeRef<QtSfsRequest>();
        request->m_id = ++m_lastId;
        request->m_type = type;
        request->m_content = std::move(content);
        request->m_outResponse = m_responsesOut;
        request->m_outLog = m_logsOut;
        m_host.Send(request);
        for (;;) {
            InPort* ports[] = {&m_responses};
            m_host.Hub().WaitFor(ports, 1, std::chrono::seconds(30));
            PortHubLock lock(m_host.Hub());
            while (!m_logs.IsEmpty()) m_logs.PopFront();
            if (!m_responses.IsEmpty()) return QuantumCast<QtSfsResponse>(m_responses.PopFront());
        }
    }

    RefPtr<QtBytes> Open(const char16_t* name, uint32_t flags, uint32_t access) {
        auto open = MakeRef<QtSfsOpen>();
        open->m_fileName = MakeStr(name);
        open->m_flags = flags;
        open->m_desiredAccess = access;
        RefPtr<QtSfsResponse> response = Ask(SfsRequest::Open, open);
        auto* handle = dynamic_cast<QtSfsHandle*>(response->m_content.get());
        if (!handle) std::abort();
        return handle->m_handle;
    }
    void Close(const RefPtr<QtBytes>& handle) {
        auto close = MakeRef<QtSfsClose>();
        close->m_handle = handle;
        Ask(SfsRequest::Close, close);
    }

  private:
    void MakeFile(const std::string& path) const {
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) std::abort();
        std::string block(1 << 20, 'k');
        for (uint64_t done = 0; done < m_fileSize; done += block.size())
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                std::abort();
        ::close(fd);
    }

    test::TestHost m_host;
    RefPtr<QtOutPort<QtSfsResponse>> m_responsesOut = MakeRef<QtOutPort<QtSfsResponse>>();
    RefPtr<QtOutPort<QtSfsLog>> m_logsOut = MakeRef<QtOutPort<QtSfsLog>>();
    TypedInPort<QtSfsResponse> m_responses;
    TypedInPort<QtSfsLog> m_logs;
    std::string m_directory;
    uint64_t m_fileSize = 0;
    uint32_t m_lastId = 0;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

void Report(benchmark::State& state, double providerSeconds, double plainSeconds,
            uint64_t operations, uint64_t bytesPerOperation) {
    if (bytesPerOperation != 0) {
        const double bytes = static_cast<double>(operations * bytesPerOperation);
        state.counters["provider_MBps"] = bytes / providerSeconds / 1e6;
        state.counters["plain_MBps"] = bytes / plainSeconds / 1e6;
    } else {
        state.counters["provider_ops"] = static_cast<double>(operations) / providerSeconds;
        state.counters["plain_ops"] = static_cast<double>(operations) / plainSeconds;
    }
    state.counters["slowdown"] = providerSeconds / plainSeconds;
}

void BM_SequentialRead(benchmark::State& state) {
    Bench& bench = Shared();
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    RefPtr<QtBytes> handle =
        bench.Open(u"/read.dat", SfsOpenFlags::OpenExisting, SfsAccessMask::ReadData);
    uint64_t offset = 0;
    uint64_t operations = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        auto read = MakeRef<QtSfsRead>();
        read->m_handle = handle;
        read->m_offset = offset;
        read->m_length = chunk;
        RefPtr<QtSfsResponse> response = bench.Ask(SfsRequest::Read, read);
        auto* data = dynamic_cast<QtSfsData*>(response->m_content.get());
        if (!data || data->m_data->Size() != chunk) state.SkipWithError("short read");
        offset = (offset + chunk) % bench.Size();
        ++operations;
    }
    const double providerSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    bench.Close(handle);

    int fd = ::open(bench.LinuxPath("read.dat").c_str(), O_RDONLY | O_CLOEXEC);
    std::unique_ptr<char[]> buffer(new char[chunk]);
    offset = 0;
    const auto plainStart = Clock::now();
    for (uint64_t i = 0; i < operations; ++i) {
        if (::pread(fd, buffer.get(), chunk, static_cast<off_t>(offset)) != chunk) std::abort();
        benchmark::DoNotOptimize(buffer.get());
        offset = (offset + chunk) % bench.Size();
    }
    const double plainSeconds = std::chrono::duration<double>(Clock::now() - plainStart).count();
    ::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(operations * chunk));
    Report(state, providerSeconds, plainSeconds, operations, chunk);
}

void BM_SequentialWrite(benchmark::State& state) {
    Bench& bench = Shared();
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    RefPtr<QtBytes> handle =
        bench.Open(u"/write.dat", SfsOpenFlags::OpenExisting, SfsAccessMask::WriteData);
    std::string payload(chunk, 'w');
    auto bytes = MakeRef<QtBytes>(reinterpret_cast<const uint8_t*>(payload.data()), chunk);
    uint64_t offset = 0;
    uint64_t operations = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        auto write = MakeRef<QtSfsWrite>();
        write->m_handle = handle;
        write->m_offset = offset;
        write->m_data = bytes;
        RefPtr<QtSfsResponse> response = bench.Ask(SfsRequest::Write, write);
        auto* status = dynamic_cast<QtSfsStatus*>(response->m_content.get());
        if (!status || status->m_statusCode != SfsStatusCode::Ok) state.SkipWithError("write");
        offset = (offset + chunk) % bench.Size();
        ++operations;
    }
    const double providerSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    bench.Close(handle);

    int fd = ::open(bench.LinuxPath("write.dat").c_str(), O_WRONLY | O_CLOEXEC);
    offset = 0;
    const auto plainStart = Clock::now();
    for (uint64_t i = 0; i < operations; ++i) {
        if (::pwrite(fd, payload.data(), chunk, static_cast<off_t>(offset)) != chunk) std::abort();
        offset = (offset + chunk) % bench.Size();
    }
    const double plainSeconds = std::chrono::duration<double>(Clock::now() - plainStart).count();
    ::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(operations * chunk));
    Report(state, providerSeconds, plainSeconds, operations, chunk);
}

void BM_OpenClose(benchmark::State& state) {
    Bench& bench = Shared();
    uint64_t operations = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        bench.Close(bench.Open(u"/read.dat", SfsOpenFlags::OpenExisting,
                               SfsAccessMask::ReadData | SfsAccessMask::ReadAttributes));
        ++operations;
    }
    const double providerSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    const std::string path = bench.LinuxPath("read.dat");
    const auto plainStart = Clock::now();
    for (uint64_t i = 0; i < operations; ++i) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) std::abort();
        ::close(fd);
    }
    const double plainSeconds = std::chrono::duration<double>(Clock::now() - plainStart).count();
    Report(state, providerSeconds, plainSeconds, operations, 0);
}

BENCHMARK(BM_SequentialRead)->Arg(32 << 10)->Arg(256 << 10)->UseRealTime();
BENCHMARK(BM_SequentialWrite)->Arg(32 << 10)->Arg(256 << 10)->UseRealTime();
BENCHMARK(BM_OpenClose)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
