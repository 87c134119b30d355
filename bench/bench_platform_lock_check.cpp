// What the lock check of every ReadFile/WriteFile costs: Windows locks are
// mandatory, so each transfer asks the kernel (F_OFD_GETLK) whether another
// open file holds a conflicting lock. Measured: the check alone, and
// overlapped ReadFile/WriteFile of the sizes the server moves (32 KiB and
// 256 KiB, page cache, tmpfs) against pread/pwrite of the same bytes. Read
// the CPU column: the machine is shared, so wall time counts other programs'
// turns.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/config_files.h"
#include "platform/win32.h"

namespace {

constexpr size_t kFileSize = 64 << 20;

struct Setup {
    std::string directory;
    HANDLE handle = INVALID_HANDLE_VALUE;
    int fd = -1;

    Setup() {
        char pattern[] = "/dev/shm/kiln-bench-locks-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        directory = pattern;
        const std::string path = directory + "/big.bin";
        fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
        if (fd < 0) std::abort();
        // Written out, so that no transfer pays for the first touch of a page.
        std::vector<char> block(1 << 20, 'd');
        for (size_t at = 0; at < kFileSize; at += block.size())
            if (::pwrite(fd, block.data(), block.size(), static_cast<off_t>(at)) !=
                static_cast<ssize_t>(block.size()))
                std::abort();
        kiln::platform::SetDrive(u'B', directory);
        handle =
            CreateFileW(u"B:\\big.bin", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) std::abort();
    }
    ~Setup() {
        CloseHandle(handle);
        ::close(fd);
        kiln::platform::RemoveDrive(u'B');
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

void BM_KernelLockCheck(benchmark::State& state) {
    Setup& setup = TheSetup();
    for (auto _ : state) {
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = 4096;
        probe.l_len = 32768;
        benchmark::DoNotOptimize(::fcntl(setup.fd, F_OFD_GETLK, &probe));
    }
}
BENCHMARK(BM_KernelLockCheck);

// One transfer through ReadFile/WriteFile (ours=1) or plain pread/pwrite
// (ours=0) per iteration; compare the CPU column of the pairs.
void BM_Transfer(benchmark::State& state) {
    Setup& setup = TheSetup();
    const bool ours = state.range(0) != 0;
    const bool write = state.range(1) != 0;
    const DWORD size = static_cast<DWORD>(state.range(2));
    std::vector<char> buffer(size, 'x');
    ULONGLONG offset = 0;
    for (auto _ : state) {
        offset = (offset + size) % kFileSize;
        bool ok;
        if (ours) {
            OVERLAPPED ov{};
            ov.Offset = static_cast<DWORD>(offset);
            ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD n = 0;
            ok = write ? WriteFile(setup.handle, buffer.data(), size, &n, &ov)
                       : ReadFile(setup.handle, buffer.data(), size, &n, &ov);
        } else {
            const off_t at = static_cast<off_t>(offset);
            ok = (write ? ::pwrite(setup.fd, buffer.data(), size, at)
                        : ::pread(setup.fd, buffer.data(), size, at)) == size;
        }
        if (!ok) state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_Transfer)
    ->ArgNames({"ours", "write", "bytes"})
    ->ArgsProduct({{0, 1}, {0, 1}, {32768, 262144}});

}  // namespace

BENCHMARK_MAIN();
