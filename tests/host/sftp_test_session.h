// Runs an SftpSession in front of the FakeProvider on a socket pair, and
// plays the client: builds request packets, reads replies.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "host/sftp_log.h"
#include "host/sftp_packet.h"
#include "host/sftp_session.h"
#include "sftp_fake_provider.h"

namespace kiln::test {

// A reply as the client sees it.
struct SftpReply {
    uint8_t type = 0;
    uint32_t id = 0;
    std::string body;  // everything after the id
    uint32_t StatusCode() const {
        sftp::SftpReader r(body);
        uint32_t code = 0xFFFFFFFF;
        r.U32(code);
        return code;
    }
    // The string the body starts with: a HANDLE's handle, a DATA reply's bytes.
    std::string FirstString() const {
        sftp::SftpReader r(body);
        std::string_view s;
        r.String(s);
        return std::string(s);
    }
    // The first name of a NAME reply.
    std::string FirstName() const {
        sftp::SftpReader r(body);
        uint32_t count = 0;
        std::string_view name;
        r.U32(count);
        r.String(name);
        return std::string(name);
    }
};

// The names of the extensions a VERSION reply advertises.
inline std::set<std::string> ExtensionNames(const SftpReply& version) {
    sftp::SftpReader r(version.body);
    uint32_t v = 0;
    r.U32(v);
    std::set<std::string> names;
    std::string_view name, data;
    while (r.String(name) && r.String(data)) names.emplace(name);
    return names;
}

class SftpTestSession {
  public:
    explicit SftpTestSession(sftp::SessionOptions options = {},
                             sftp::LogLevel level = sftp::LogLevel::Debug)
        : m_log(sftp::Logger::Sink::Memory, level) {
        char tmpl[] = "/tmp/kiln-sftp-test-XXXXXX";
        m_dir = mkdtemp(tmpl);
        m_provider = std::make_unique<FakeProvider>(m_dir);
        sftp::ProviderLink link{m_provider.get(), &m_provider->InitPort(),
                                &m_provider->RequestPort(), &m_provider->EofPort(),
                                FakeProvider::Info()};
        if (options.home.empty()) options.home = "/";
        m_session = std::make_unique<sftp::SftpSession>(link, options, m_log);
        int in[2], out[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out), 0);
        m_toServer = in[0];
        m_fromServer = out[0];
        m_serverIn = in[1];
        m_serverOut = out[1];
        m_thread = std::thread([this] {
            m_status = m_session->Serve(m_serverIn, m_serverOut);
            shutdown(m_serverOut, SHUT_WR);
        });
    }

    ~SftpTestSession() {
        CloseInput();
        if (m_thread.joinable()) m_thread.join();
        m_session.reset();
        m_provider.reset();
        for (int fd : {m_toServer, m_fromServer, m_serverIn, m_serverOut})
            if (fd >= 0) close(fd);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    const std::string& Dir() const { return m_dir; }
    FakeProvider& Provider() { return *m_provider; }
    sftp::SftpSession& Session() { return *m_session; }
    sftp::Logger& Log() { return m_log; }

    void SendRaw(std::string_view bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(m_toServer, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void Send(sftp::SftpWriter& w) { SendRaw(sftp::AsView(w.Finish())); }
    void Send(sftp::SftpWriter&& w) { Send(w); }
    void CloseInput() {
        if (m_toServer >= 0) shutdown(m_toServer, SHUT_WR);
    }

    // The next packet, or nullopt when the server closed its output or
    // nothing came within the time-out.
    std::optional<SftpReply> Read(int timeoutMs = 10000) {
        std::string length;
        if (!ReadExactly(4, length, timeoutMs)) return std::nullopt;
        sftp::SftpReader r(length);
        uint32_t n = 0;
        r.U32(n);
        std::string packet;
        if (n == 0 || !ReadExactly(n, packet, timeoutMs)) return std::nullopt;
        SftpReply reply;
        reply.type = static_cast<uint8_t>(packet[0]);
        sftp::SftpReader body(std::string_view(packet).substr(1));
        if (reply.type != sftp::Fxp::Version) body.U32(reply.id);
        reply.body = packet.substr(reply.type == sftp::Fxp::Version ? 1 : 5);
        return reply;
    }

    // Sends INIT and returns the VERSION reply.
    std::optional<SftpReply> Init(uint32_t version) {
        sftp::SftpWriter w(sftp::Fxp::Init);
        w.U32(version);
        Send(w);
        return Read();
    }

    // Sends one request and reads its reply.
    SftpReply Call(sftp::SftpWriter& w) {
        Send(w);
        auto r = Read();
        EXPECT_TRUE(r.has_value());
        return r.value_or(SftpReply{});
    }
    SftpReply Call(sftp::SftpWriter&& w) { return Call(w); }

    // Waits for the session to end; its exit status.
    int Finish() {
        CloseInput();
        if (m_thread.joinable()) m_thread.join();
        return m_status;
    }

    bool LogContains(std::string_view text) const {
        for (const std::string& line : m_log.Lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

  private:
    bool ReadExactly(size_t n, std::string& out, int timeoutMs) {
        out.resize(n);
        size_t done = 0;
        while (done < n) {
            pollfd p{m_fromServer, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
            ssize_t got = read(m_fromServer, out.data() + done, n - done);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    sftp::Logger m_log;
    std::string m_dir;
    std::unique_ptr<FakeProvider> m_provider;
    std::unique_ptr<sftp::SftpSession> m_session;
    int m_toServer = -1, m_fromServer = -1, m_serverIn = -1, m_serverOut = -1;
    std::thread m_thread;
    int m_status = -1;
};

// Request fields of widths other than a uint32.
struct Byte {
    uint8_t v;
};
struct U64 {
    uint64_t v;
};

// One field of a request: text and bytes go as an SFTP string, integers as
// a uint32, bool and Byte as a byte, U64 as eight.
template <typename T>
void PutField(sftp::SftpWriter& w, const T& field) {
    if constexpr (std::is_same_v<T, Byte>)
        w.U8(field.v);
    else if constexpr (std::is_same_v<T, U64>)
        w.U64(field.v);
    else if constexpr (std::is_same_v<T, bool>)
        w.Bool(field);
    else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>)
        w.U32(static_cast<uint32_t>(field));
    else
        w.String(field);
}

// A request packet: its type, its id, then the fields in order.
template <typename... Fields>
sftp::SftpWriter Request(uint8_t type, uint32_t id, const Fields&... fields) {
    sftp::SftpWriter w(type);
    w.U32(id);
    (PutField(w, fields), ...);
    return w;
}

}  // namespace kiln::test
