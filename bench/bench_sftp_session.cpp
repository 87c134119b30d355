// What the SFTP front end itself costs per request: a session in front of
// the test provider (which answers from a directory with one lstat), driven
// over a socket pair by a client thread that keeps 64 LSTATs in flight, as
// sftp_bench_client does. The counter server_us is the CPU time of the
// session's threads and the provider per LSTAT (the process's CPU time less
// the client thread's), so the front end's share of a real server's cost
// per stat can be read apart from the backend's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "host/sftp_fake_provider.h"
#include "host/sftp_log.h"
#include "host/sftp_packet.h"
#include "host/sftp_session.h"

namespace kiln {
namespace {

double ProcessCpu() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class Session {
  public:
    explicit Session(sftp::LogLevel level) : m_log(sftp::Logger::Sink::Memory, level) {
        char tmpl[] = "/dev/shm/kiln-bench-session-XXXXXX";
        m_dir = mkdtemp(tmpl);
        std::filesystem::create_directory(m_dir + "/d");
        close(creat((m_dir + "/d/f").c_str(), 0644));
        m_provider = std::make_unique<test::FakeProvider>(m_dir);
        sftp::ProviderLink link{m_provider.get(), &m_provider->InitPort(),
                                &m_provider->RequestPort(), &m_provider->EofPort(),
                                test::FakeProvider::Info()};
        sftp::SessionOptions options;
        options.home = "/";
        m_session = std::make_unique<sftp::SftpSession>(link, options, m_log);
        int in[2], out[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, in) != 0 ||
            socketpair(AF_UNIX, SOCK_STREAM, 0, out) != 0)
            abort();
        m_to = in[0];
        m_from = out[0];
        m_thread = std::thread([this, sin = in[1], sout = out[1]] {
            m_session->Serve(sin, sout);
            close(sin);
            close(sout);
        });
        sftp::SftpWriter init(sftp::Fxp::Init);
        init.U32(3);
        Send(sftp::AsView(init.Finish()));
        Replies(1);
    }
    ~Session() {
        shutdown(m_to, SHUT_WR);
        m_thread.join();
        m_session.reset();
        m_provider.reset();
        close(m_to);
        close(m_from);
        std::filesystem::remove_all(m_dir);
    }

    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = write(m_to, bytes.data(), bytes.size());
            if (n <= 0) abort();
            bytes.remove_prefix(size_t(n));
        }
    }
    // Reads `count` whole replies; false when one is not a successful ATTRS.
    bool Replies(size_t count) {
        bool ok = true;
        while (count > 0) {
            while (m_buffer.size() >= 4) {
                const auto* p = reinterpret_cast<const uint8_t*>(m_buffer.data());
                const size_t length =
                    (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
                if (m_buffer.size() < length + 4) break;
                ok = ok && (p[4] == sftp::Fxp::Attrs || p[4] == sftp::Fxp::Version);
                m_buffer.erase(0, length + 4);
                if (--count == 0) return ok;
            }
            char chunk[65536];
            ssize_t n = read(m_from, chunk, sizeof chunk);
            if (n <= 0) return false;
            m_buffer.append(chunk, size_t(n));
        }
        return ok;
    }

  private:
    sftp::Logger m_log;
    std::string m_dir;
    std::unique_ptr<test::FakeProvider> m_provider;
    std::unique_ptr<sftp::SftpSession> m_session;
    int m_to = -1, m_from = -1;
    std::thread m_thread;
    std::string m_buffer;
};

// Pipelined LSTATs of one name, 64 in flight; one iteration is 64 requests.
// The argument is the log level: errors only, as compare-servers runs the
// server, or every request logged at debug level.
void BM_SessionLstat(benchmark::State& state) {
    Session session(static_cast<sftp::LogLevel>(state.range(0)));
    constexpr size_t kWindow = 64;
    std::string batch;
    for (uint32_t id = 0; id < kWindow; ++id) {
        sftp::SftpWriter w(sftp::Fxp::Lstat);
        w.U32(id);
        w.String("d/f");
        batch += sftp::AsView(w.Finish());
    }
    const double cpu0 = ProcessCpu(), client0 = ThreadCpu();
    for (auto _ : state) {
        session.Send(batch);
        if (!session.Replies(kWindow)) {
            state.SkipWithError("a reply was not ATTRS");
            break;
        }
    }
    const double server = (ProcessCpu() - cpu0) - (ThreadCpu() - client0);
    const double ops = double(state.iterations()) * kWindow;
    state.counters["server_us"] = ops > 0 ? server / ops * 1e6 : 0;
    state.SetItemsProcessed(int64_t(ops));
}
BENCHMARK(BM_SessionLstat)
    ->Arg(static_cast<int>(sftp::LogLevel::Error))
    ->Arg(static_cast<int>(sftp::LogLevel::Debug))
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace kiln

BENCHMARK_MAIN();
