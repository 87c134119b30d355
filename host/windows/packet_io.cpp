// The session's streams on Windows. An anonymous pipe (how Windows' OpenSSH
// server gives a subsystem its standard input) cannot be waited on, and
// overlapped reads need a handle opened for them, so one thread of the pump
// reads with ReadFile and hands what it got over; the session's thread waits
// on the pump's event together with the wake event, so that a stopped
// provider or a broken output ends the session whatever the client does.
// Writes go out gathered into one WriteFile.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/host_os.h"
#include "host/sftp_packet.h"
#include "platform/win32.h"

namespace kiln::sftp {

namespace {
constexpr size_t kPumpBufferSize = 256 * 1024;
}

// Shared with the reading thread, which may outlive the session while it
// waits in ReadFile on a client that sends nothing more; the process's end
// takes it then.
struct PacketInput::Pump {
    struct State {
        std::mutex lock;
        std::condition_variable drained;
        std::unique_ptr<uint8_t[]> buffer{new uint8_t[kPumpBufferSize]};
        size_t start = 0, end = 0;
        bool ended = false;  // end of input, or an error (below)
        DWORD error = 0;
        bool stop = false;
        HANDLE ready = nullptr;   // manual reset: set while bytes or the end wait
        HANDLE thread = nullptr;  // the reader's, to cancel its read
        ~State() {
            if (ready) CloseHandle(ready);
            if (thread) CloseHandle(thread);
        }
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    std::thread reader;

    static void Read(std::shared_ptr<State> st, HANDLE in) {
        {
            std::lock_guard<std::mutex> guard(st->lock);
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                            &st->thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
        }
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(st->lock);
                st->drained.wait(guard, [&] { return st->stop || st->start == st->end; });
                if (st->stop) return;
                st->start = st->end = 0;
            }
            DWORD got = 0;
            const BOOL ok = ReadFile(in, st->buffer.get(), kPumpBufferSize, &got, nullptr);
            const DWORD error = ok ? 0 : GetLastError();
            std::lock_guard<std::mutex> guard(st->lock);
            if (!ok || got == 0) {
                st->ended = true;
                // The writer closing its end is the ordinary end of input.
                if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) st->error = error;
            }
            st->end = got;
            SetEvent(st->ready);
            if (st->ended) return;
        }
    }
};

PacketInput::PacketInput(NativeStream fd, NativeStream wakeFd, uint32_t maxPacket,
                         NativeStream watchFd)
    : m_fd(fd),
      m_wakeFd(wakeFd),
      m_watchFd(watchFd),
      m_pump(std::make_unique<Pump>()),
      m_maxPacket(maxPacket),
      m_buffer(new uint8_t[kInputBufferSize]),
      m_capacity(kInputBufferSize) {
    m_pump->state->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

PacketInput::~PacketInput() {
    auto& st = *m_pump->state;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        st.stop = true;
        // Waiting in ReadFile it sees nothing; where the system can, its
        // read is cancelled, else it ends with the process.
        if (st.thread) CancelSynchronousIo(st.thread);
    }
    st.drained.notify_all();
    if (m_pump->reader.joinable()) m_pump->reader.detach();
}

PacketInput::Result PacketInput::WaitReadable(bool empty) {
    // A pipe cannot be waited on for its reader going away, so a session
    // that waits for input looks at its output this often; Linux's poll
    // tells at once.
    constexpr DWORD kWatchEvery = 500;
    bool looked = empty;
    if (empty && m_beforeSleep) m_beforeSleep();
    HANDLE handles[2] = {m_pump->state->ready, m_wakeFd};
    const DWORD count = m_wakeFd ? 2 : 1;
    const auto since = std::chrono::steady_clock::now();
    for (;;) {
        DWORD timeout = m_beforeSleep && !looked ? 0 : INFINITE;
        const bool idleWait = timeout == INFINITE && m_whenIdle && !m_idleDone;
        if (idleWait) {
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - since);
            timeout = static_cast<DWORD>(std::max<int64_t>(0, (m_idleAfter - waited).count()));
        }
        const bool watching = m_watchFd && timeout > kWatchEvery;
        if (watching) timeout = kWatchEvery;
        const DWORD w = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (w == WAIT_TIMEOUT) {
            if (watching) {
                if (os::OutputHungUp(m_watchFd)) return Result::Stopped;
            } else if (idleWait) {
                m_idleDone = true;
                m_whenIdle();
            } else {
                looked = true;
                m_beforeSleep();
            }
            continue;
        }
        if (w == WAIT_OBJECT_0) return Result::Packet;
        if (w == WAIT_OBJECT_0 + 1) return Result::Stopped;
        m_errno = static_cast<int>(GetLastError());
        return Result::Error;
    }
}

PacketInput::Result PacketInput::ReadSome(ByteSpan* spans, int count, size_t& got) {
    auto& st = *m_pump->state;
    if (!m_pump->reader.joinable()) m_pump->reader = std::thread(Pump::Read, m_pump->state, m_fd);
    for (bool empty = false;; empty = true) {
        if (empty) {
            Result w = WaitReadable(true);
            if (w != Result::Packet) return w;
        }
        std::unique_lock<std::mutex> guard(st.lock);
        if (st.start == st.end) {
            if (st.error) {
                m_errno = static_cast<int>(st.error);
                return Result::Error;
            }
            if (st.ended) {
                got = 0;
                return Result::Packet;
            }
            ResetEvent(st.ready);
            continue;
        }
        got = 0;
        for (int i = 0; i < count && st.start < st.end; ++i) {
            const size_t n = std::min(spans[i].size, st.end - st.start);
            std::memcpy(spans[i].data, st.buffer.get() + st.start, n);
            st.start += n;
            got += n;
        }
        if (st.start == st.end && !st.ended) {
            ResetEvent(st.ready);
            guard.unlock();
            st.drained.notify_one();
        }
        return Result::Packet;
    }
}

bool PacketOutput::WriteSpans(ByteSpan* spans, int count) {
    // One WriteFile per reply: a pipe to the SSH server passes each write
    // on as it comes, so pieces would cost a round of the server each.
    size_t total = 0, pieces = 0;
    ByteSpan only{nullptr, 0};
    for (int i = 0; i < count; ++i)
        if (spans[i].size) {
            total += spans[i].size;
            only = spans[i];
            ++pieces;
        }
    std::string gathered;
    const char* p = static_cast<const char*>(only.data);
    if (pieces > 1) {
        gathered.reserve(total);
        for (int i = 0; i < count; ++i)
            gathered.append(static_cast<const char*>(spans[i].data), spans[i].size);
        p = gathered.data();
    }
    while (total > 0) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(total, 1u << 30));
        if (!WriteFile(m_fd, p, chunk, &wrote, nullptr)) return false;
        p += wrote;
        total -= wrote;
    }
    return true;
}

}  // namespace kiln::sftp
