// SftpSession: one SFTP session in front of one provider.
//
// Threads: the caller's thread reads standard input, cuts it into packets and
// runs the request handlers, which turn each request into QtSfsRequest
// messages for the provider; the provider runs on a thread of its own. The
// provider's responses, logs and transfer notifications reach the server's
// own input ports (linked to the reply ports that travel inside each
// request), and the thread that sent them, normally the provider's, turns
// them into the SFTP replies of the negotiated version at once: a separate
// reply thread would cost two thread switches per request. Small replies
// are held while the provider has more requests queued and go out together.
// Every client request gets exactly one reply, whatever path it takes.
//
// Ending: a client that closes its input but still reads (a half-close)
// gets every answer; the provider learns of the end of input only once
// nothing is in flight, since it stops long work when it does. A client
// whose output is gone (a failed write, or the descriptor reporting an error
// or a hang-up, which the reader watches while it waits, also at the
// in-flight bound) can get nothing more: the provider learns at once and the
// work in flight stops.
//
// Memory: each request in flight is charged its packet and the reply it may
// bring (a READ its length, cut to maxReadLength). While the charges reach
// the bound, no further input is read, so a client that floods large reads,
// or sends and never reads its replies, cannot grow the server. The default
// bound still keeps a window of large reads or writes in flight, which is
// all that pipelined transfers need to keep the provider busy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "component/kiln_component.h"
#include "component/qt_out_port.h"
#include "host/host_os.h"
#include "host/port_hub_impl.h"
#include "host/sftp_log.h"
#include "host/sftp_packet.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_requests.h"
#include "sfs/sfs_responses.h"

namespace kiln::sftp {

// What the server needs of a provider: the component, its three input ports
// and its self-description.
struct ProviderLink {
    KilnComponent* component = nullptr;
    InPort* initPort = nullptr;
    InPort* requestPort = nullptr;
    InPort* eofPort = nullptr;
    RefPtr<QtSfsProviderInfo> info;
};

inline constexpr uint64_t kDefaultMaxInFlightBytes = 4ull << 20;
// OpenSSH's server is bound by its descriptor limit, 1024 under sshd's
// default; clients keep a few handles open (sshfs one per open file). Each
// handle costs a descriptor and 1.5 to 2 KiB (4 KiB more for a directory in
// the middle of a listing), so a session that opens all it may stays well
// within the memory bound of a stalled client.
inline constexpr size_t kDefaultMaxHandles = 1024;

struct SessionOptions {
    std::string root = "/";   // the Linux directory that clients see as "/"
    std::u16string rootPath;  // the provider's "RootPath" (Windows form)
    std::string home;         // the client path of the start directory
    bool readOnly = false;
    // Requests by OpenSSH's names (-p and -P): without an allow list every
    // request is allowed that the deny list does not name.
    std::optional<std::vector<std::string>> allowedRequests;
    std::vector<std::string> deniedRequests;
    uint64_t maxInFlightBytes = kDefaultMaxInFlightBytes;
    // The most one READ answers, whatever the provider could give.
    uint32_t maxReadLength = kMaxWriteLength;
    size_t maxInFlightRequests = 4096;
    // Open files and directories at most, opens in flight included.
    size_t maxHandles = kDefaultMaxHandles;
    // Further initialisation parameters (the provider switches), in order.
    std::vector<std::pair<std::u16string, std::u16string>> parameters;
};

// The server's inputs for what the provider tells besides its answers: its
// log records and the transfer notes of closed files, which the server only
// logs. What the log level drops is refused at the port: never queued, and
// no pass over the replies is made for it on the provider's thread (every
// stat brings a record at Info level, which a server that logs errors only
// turned over for nothing).
template <class T>
class LoggedInPort final : public TypedInPort<T> {
  public:
    explicit LoggedInPort(const Logger& log) : m_log(log) {}
    bool Accepts(const RefPtr<Quantum>& quantum) const override {
        const auto* item = dynamic_cast<const T*>(quantum.get());
        return item && m_log.Enabled(LevelOf(*item));
    }

  private:
    static LogLevel LevelOf(const QtSfsLog& record) { return LevelOfProviderLog(record.m_type); }
    static LogLevel LevelOf(const QtSfsNotifyFileTransfer&) { return LogLevel::Info; }
    const Logger& m_log;
};

// One client request from its arrival to its single reply.
// It stays alive while its handler runs or a provider request made for it
// is unanswered: each of these holds one count of `outstanding`, and whoever
// drops the last count answers Failure if nothing has answered yet.
struct ClientRequest : std::enable_shared_from_this<ClientRequest> {
    uint32_t id = 0;
    uint8_t type = 0;
    uint64_t charge = 0;
    RefPtr<SftpPacket> packet;  // kept while the request lives: WRITE data borrows it
    std::atomic<bool> replied{false};
    std::atomic<int> outstanding{1};  // the handler's own count to begin with
};

class SftpSession;
using ClientRequestPtr = std::shared_ptr<ClientRequest>;
// Runs on the thread that delivered the provider's response to one request
// (normally the provider's own), with that response.
using Completion = std::function<void(SftpSession&, ClientRequest&, const QtSfsResponse&)>;
using Handler = void (*)(SftpSession&, ClientRequest&, SftpReader&);

class SftpSession {
  public:
    SftpSession(ProviderLink provider, SessionOptions options, Logger& log);
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    // Serves one session: runs the provider, reads requests from `inFd` until
    // end of input and writes replies to `outFd`. 0 after a normal end, 1
    // when the session had to be cut short (the reason is logged).
    int Serve(NativeStream inFd, NativeStream outFd);

    // ---- For the request handlers --------------------------------------

    int Version() const { return m_version; }
    void SetVersion(int version) { m_version = version; }
    const SessionOptions& Options() const { return m_options; }
    const QtSfsProviderInfo& Info() const { return *m_provider.info; }
    Logger& Log() { return m_log; }
    const std::string& Home() const { return m_home; }
    // The canonical client path of a path from the client (relative ones
    // against the home directory); nullopt for a path the server refuses.
    std::optional<std::string> Resolve(std::string_view clientPath) const;

    // Sends one request to the provider on behalf of `request`; `done` runs
    // with its response (see Completion).
    void Sfs(ClientRequest& request, SfsRequest type, const RefPtr<QuantumS>& content,
             Completion done);
    void SfsOpen(ClientRequest& request, const RefPtr<QtSfsOpen>& open, Completion done);

    // The replies; each ends the request (a second reply is dropped).
    SftpWriter StartReply(const ClientRequest& request, uint8_t type) const;
    void Reply(ClientRequest& request, SftpWriter& packet);
    void ReplyStatus(ClientRequest& request, SfsStatusCode code, std::string_view message = {});
    void ReplyStatus(ClientRequest& request, const QtSfsStatus& status);
    void ReplyData(ClientRequest& request, const QtBytes& data, bool endOfFile);

    // Takes one of the session's handles for an open about to be sent; when
    // none is left the request is answered Failure (false).
    bool ReserveHandle(ClientRequest& request);
    // The provider's answer to an open that reserved a handle: a handle is
    // remembered with its path, anything else gives the reservation back.
    void OpenAnswered(const QtSfsResponse& response, std::string path, bool directory, bool append);
    // Handles the server has seen the provider issue, with their paths.
    std::optional<std::string> PathOfHandle(std::string_view handle) const;
    bool IsDirectoryHandle(std::string_view handle) const;
    bool IsAppendHandle(std::string_view handle) const;
    void ForgetHandle(std::string_view handle);

    // The SFTP status code of the negotiated version for a provider code.
    uint32_t StatusCodeForClient(SfsStatusCode code) const;

    // How many requests the session has dispatched, this one included.
    uint64_t RequestsSeen() const { return m_requestsSeen; }
    // Ends the session after the current request, as the protocol demands
    // for some misuse; the reason is logged.
    void EndSession(std::string_view why);

    // Figures for tests.
    uint64_t PeakInFlightBytes() const { return m_peakFlightBytes.load(); }

  private:
    struct Pending {
        ClientRequestPtr request;
        Completion done;
    };

    void StartProvider();
    void ProviderThread();
    // Tells the provider, once, that input has ended. Requests already sent
    // are still answered; long ones stop between chunks.
    void EndInput();
    // The answer that a completion gets for a request that came too late for
    // the provider: input had ended.
    void AnswerTooLate(ClientRequest& request, const Completion& done);
    // Turns what reached the server's input ports into replies and log
    // lines; runs on the sending thread.
    void DrainReplies();
    void HandleResponse(const RefPtr<QtSfsResponse>& response);
    void HandleLog(const QtSfsLog& log);
    void HandleTransfer(const QtSfsNotifyFileTransfer& note);
    void FailAllPending(std::string_view why);
    // Runs one request through its handler; the request is answered Failure
    // when the handler raised or forgot to answer.
    void Dispatch(const ClientRequestPtr& request);
    bool Negotiate(const RefPtr<SftpPacket>& packet);
    uint64_t ChargeOf(const SftpPacket& packet) const;
    bool Admit(uint64_t charge);
    // Waits on m_flightChanged until `ready`, looking at the client's
    // output meanwhile; false as soon as the output is gone.
    bool WaitWatchingOutput(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);
    // Whether the client can no longer get replies; the first time it is
    // seen the provider is told to stop.
    bool OutputGone();
    void Release(uint64_t charge);
    // Drops one count of `outstanding`; the last one makes sure of a reply.
    void Settle(ClientRequest& request);
    void WakeReader();

    ProviderLink m_provider;
    SessionOptions m_options;
    Logger& m_log;
    std::string m_home;
    std::atomic<int> m_version{0};

    PortHubImpl m_hub;
    // The server's own ports: feeders into the provider and the inputs that
    // the reply ports of every request lead to.
    TypedOutPort<QtSfsInit> m_initOut;
    TypedOutPort<QtSfsRequest> m_requestOut;
    TypedOutPort<QtEof> m_eofOut;
    TypedInPort<QtSfsResponse> m_responseIn;
    LoggedInPort<QtSfsLog> m_logIn;
    LoggedInPort<QtSfsNotifyFileTransfer> m_transferIn;
    RefPtr<QtOutPort<QtSfsResponse>> m_responsePort;
    RefPtr<QtOutPort<QtSfsLog>> m_logPort;
    RefPtr<QtOutPort<QtSfsNotifyFileTransfer>> m_transferPort;

    std::unique_ptr<PacketOutput> m_out;
    NativeStream m_outFd = kNoStream;
    std::thread m_providerThread;
    os::WakeSignal m_wake;

    std::mutex m_pendingLock;
    std::unordered_map<uint32_t, Pending> m_pending;
    uint32_t m_nextSfsId = 1;
    std::atomic<bool> m_providerDead{false};
    std::atomic<bool> m_eofSent{false};
    // Orders EndInput against requests sent to the provider: none may follow
    // the end of input, where the provider would never see it.
    std::mutex m_inputEndLock;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_providerFinished{false};
    // One thread at a time makes replies: completions keep state of their own.
    std::mutex m_replyLock;
    std::atomic<bool> m_ended{false};
    uint64_t m_requestsSeen = 0;

    std::mutex m_flightLock;
    std::condition_variable m_flightChanged;
    uint64_t m_flightBytes = 0;
    size_t m_flightCount = 0;
    int m_flightWaiters = 0;  // threads waiting on m_flightChanged for Release
    std::atomic<uint64_t> m_peakFlightBytes{0};

    mutable std::mutex m_handleLock;
    struct HandleInfo {
        std::string path;
        bool directory = false;
        bool append = false;
    };
    std::map<std::string, HandleInfo, std::less<>> m_handles;
    size_t m_handlesTaken = 0;  // m_handles and the opens in flight
};

// The request handlers of each protocol version (sftp_versions.cpp).
Handler HandlerFor(int version, uint8_t type);
// Why the server refuses a request of this type, or this extension, before
// looking at its content: read-only mode, the allow and deny lists;
// nullopt when it serves it.
struct Refusal {
    std::string logLine;  // at VERBOSE, in OpenSSH's words
    std::string message;  // for the client's status
};
std::optional<Refusal> RefusalOf(const SessionOptions& options, uint8_t type,
                                 std::string_view extension);
// The names that -p, -P and -Q use, OpenSSH's where it has the request.
std::vector<std::string_view> RequestNames();
bool IsRequestName(std::string_view name);
// The VERSION packet for the negotiated version.
std::vector<uint8_t> BuildVersionPacket(const SftpSession& session);

}  // namespace kiln::sftp
