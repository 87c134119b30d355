// The session's streams on Linux: descriptors read with readv (preadv2
// without waiting while the client keeps them busy), waited on with poll
// together with the wake descriptor, written with writev.
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "host/sftp_packet.h"

namespace kiln::sftp {

struct PacketInput::Pump {};

PacketInput::PacketInput(NativeStream fd, NativeStream wakeFd, uint32_t maxPacket,
                         NativeStream watchFd)
    : m_fd(fd),
      m_wakeFd(wakeFd),
      m_watchFd(watchFd),
      m_maxPacket(maxPacket),
      // Not zeroed: pages that no input reaches are never touched.
      m_buffer(new uint8_t[kInputBufferSize]),
      m_capacity(kInputBufferSize) {}

PacketInput::~PacketInput() = default;

PacketInput::Result PacketInput::WaitReadable(bool empty) {
    bool looked = empty;
    if (empty && m_beforeSleep) m_beforeSleep();
    for (;;) {
        // No events asked of the watched descriptor: poll reports its errors
        // and hang-ups anyway.
        pollfd fds[3] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}, {m_watchFd, 0, 0}};
        // Without a read that found nothing, a first look without waiting
        // tells whether this thread is about to sleep; only then is the hook
        // worth its call.
        int timeout = m_beforeSleep && !looked ? 0 : -1;
        const bool idleWait = timeout < 0 && m_whenIdle && !m_idleDone;
        if (idleWait) timeout = static_cast<int>(m_idleAfter.count());
        int n = poll(fds, 3, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            m_errno = errno;
            return Result::Error;
        }
        if (n == 0) {
            if (idleWait) {
                m_idleDone = true;
                m_whenIdle();
            } else {
                looked = true;
                m_beforeSleep();
            }
            continue;
        }
        if (fds[1].revents) return Result::Stopped;
        // A client that closed both sides between packets has ended the
        // session normally: its end of input is read first.
        if (fds[0].revents) return Result::Packet;
        return Result::Stopped;  // nothing to read, and the output is gone
    }
}

PacketInput::Result PacketInput::ReadSome(ByteSpan* spans, int count, size_t& got) {
    iovec iov[4];
    for (int i = 0; i < count; ++i) iov[i] = {spans[i].data, spans[i].size};
    for (;;) {
        ssize_t n = -1;
        bool empty = false;
        if (m_noWait) {
            // One call instead of a poll and a read while the client keeps
            // the descriptor busy, which it does for the whole of an upload.
            n = preadv2(m_fd, iov, count, -1, RWF_NOWAIT);
            if (n < 0 && (errno == EOPNOTSUPP || errno == EINVAL)) {
                m_noWait = false;  // a descriptor that cannot say; ask poll
                continue;
            }
            if (n < 0 && errno == EAGAIN) empty = true;
        }
        if (!m_noWait || empty) {
            Result w = WaitReadable(empty);
            if (w != Result::Packet) return w;
            n = readv(m_fd, iov, count);
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            m_errno = errno;
            return Result::Error;
        }
        got = static_cast<size_t>(n);
        return Result::Packet;
    }
}

bool PacketOutput::WriteSpans(ByteSpan* spans, int count) {
    iovec iov[4];
    for (int i = 0; i < count; ++i) iov[i] = {spans[i].data, spans[i].size};
    int first = 0;
    while (first < count) {
        if (iov[first].iov_len == 0) {
            ++first;
            continue;
        }
        ssize_t n = writev(m_fd, iov + first, count - first);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (first < count && done >= iov[first].iov_len) {
            done -= iov[first].iov_len;
            iov[first].iov_len = 0;
            ++first;
        }
        if (first < count) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
    return true;
}

}  // namespace kiln::sftp
