#include "host/sftp_session.h"

#include <algorithm>
#include <exception>

#include "host/host_os.h"
#include "host/sftp_paths.h"
#include "host/sftp_request_log.h"
#include "platform/disk_names.h"
#include "sfs/kiln_sfs_provider.h"

namespace kiln::sftp {
namespace {

// What a request may bring back besides its packet: a READ its length, a
// READDIR a batch of names, anything else a small status.
constexpr uint64_t kNamesReplyCharge = 64 * 1024;
constexpr uint64_t kSmallReplyCharge = 512;
// Held replies go out at the latest when the next reply is made this long
// after them, even while the provider still has requests queued.
constexpr auto kMaxHold = std::chrono::milliseconds(2);

// Read data at least this large is written by the output's own thread, so
// that the provider reads on while the client takes it.
constexpr size_t kWriteLaterSize = 32 * 1024;

// How often a reader that waits for the provider looks whether the client
// is still there: a hang-up stops the work in flight within this.
constexpr auto kHangUpCheck = std::chrono::milliseconds(100);

// Set while a thread makes replies from the provider's answers: those may
// be held back.
thread_local bool t_draining = false;

std::string Utf8(const RefPtr<QtStr>& s) {
    return s ? Narrow(s->sv()) : std::string();
}

}  // namespace

SftpSession::SftpSession(ProviderLink provider, SessionOptions options, Logger& log)
    : m_provider(std::move(provider)),
      m_options(std::move(options)),
      m_log(log),
      m_logIn(log),
      m_transferIn(log) {
    m_home = m_options.home.empty() ? std::string("/")
                                    : CanonicalPath("/", m_options.home).value_or("/");
    // Every READ, the charge for it and what the version packet and the
    // limits extension advertise follow the provider's description, so the
    // cut is made there. Like OpenSSH's 256 KiB, it keeps one request's
    // reply small against the memory bound without slowing transfers.
    if (m_provider.info && m_provider.info->m_maxReadSize > m_options.maxReadLength)
        m_provider.info->m_maxReadSize = m_options.maxReadLength;
    m_responsePort = MakeRef<QtOutPort<QtSfsResponse>>();
    m_logPort = MakeRef<QtOutPort<QtSfsLog>>();
    m_transferPort = MakeRef<QtOutPort<QtSfsNotifyFileTransfer>>();
    m_hub.Link(*m_responsePort, m_responseIn);
    m_hub.Link(*m_logPort, m_logIn);
    m_hub.Link(*m_transferPort, m_transferIn);
    m_hub.Link(m_initOut, *m_provider.initPort);
    m_hub.Link(m_requestOut, *m_provider.requestPort);
    m_hub.Link(m_eofOut, *m_provider.eofPort);
    m_hub.Install(*m_provider.component);
    for (InPort* port : {static_cast<InPort*>(&m_responseIn), static_cast<InPort*>(&m_logIn),
                         static_cast<InPort*>(&m_transferIn)})
        m_hub.SetConsumer(*port, [this] { DrainReplies(); });
}

SftpSession::~SftpSession() {
    m_stopping = true;
    WakeReader();
    if (m_providerThread.joinable()) {
        // The provider still runs only when Serve never got to end it.
        EndInput();
        m_providerThread.join();
    }
    // Data replies still queued for the output's own thread finish now,
    // while the flight counters their completions touch still exist.
    m_out.reset();
    // The provider's ports lead into this hub: unlink them before it goes.
    m_hub.Unlink(m_initOut, *m_provider.initPort);
    m_hub.Unlink(m_requestOut, *m_provider.requestPort);
    m_hub.Unlink(m_eofOut, *m_provider.eofPort);
    m_provider.component->SetHub(nullptr);
}

std::optional<std::string> SftpSession::Resolve(std::string_view clientPath) const {
    auto canonical = CanonicalPath(m_home, clientPath);
    // Refused here, by name, rather than reaching a stream or a device of the
    // file system under a name the client did not mean.
    if (canonical && !PathFitsDisk(*canonical)) return std::nullopt;
    return canonical;
}

void SftpSession::StartProvider() {
    auto init = MakeRef<QtSfsInit>();
    auto root = QtNameValueTree::Make(u"Parameters", u"");
    root->AddChild(u"MountPath", u"/");
    root->AddChild(u"RootPath", m_options.rootPath);
    // A check-file reply carries its digests in one packet; the rest of the
    // packet's room is for the reply's own fields.
    root->AddChild(u"MaxCheckFileReply", Widen(std::to_string(kMaxWriteLength)).sv());
    for (const auto& [name, value] : m_options.parameters) root->AddChild(name, value);
    init->m_root = root;
    init->m_outLog = m_logPort;
    m_providerThread = std::thread([this] { ProviderThread(); });
    KilnComponent::SendOn(m_hub, m_initOut, init);
}

void SftpSession::ProviderThread() {
    std::string failure;
    try {
        m_provider.component->Run();
    } catch (const KilnComponent::Exit& e) {
        failure = Narrow(e.Description().sv());
    } catch (const WException& e) {
        failure = Narrow(e.Description().sv());
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    if (!failure.empty())
        m_log.Log(LogLevel::Error, "provider stopped: " + failure);
    else if (!m_eofSent)
        m_log.Log(LogLevel::Error, "provider stopped before the end of input");
    m_providerDead = !failure.empty() || !m_eofSent;
    if (m_providerDead) {
        FailAllPending("The provider stopped.");
        m_stopping = true;
    }
    m_out->Flush();
    m_providerFinished = true;
    WakeReader();
}

void SftpSession::DrainReplies() {
    std::lock_guard<std::mutex> guard(m_replyLock);
    // Cleared again however the loop ends.
    struct Draining {
        Draining() { t_draining = true; }
        ~Draining() { t_draining = false; }
    } draining;
    InPort* ports[] = {&m_responseIn, &m_logIn, &m_transferIn};
    for (;;) {
        RefPtr<Quantum> next;
        size_t from = 0;
        {
            PortHubLock lock(m_hub);
            const QuantaEntry* best = nullptr;
            for (size_t i = 0; i < 3; ++i) {
                const QuantaEntry* front = ports[i]->Front();
                if (front && (!best || front->sequence < best->sequence)) {
                    best = front;
                    from = i;
                }
            }
            if (best) next = ports[from]->PopFront();
        }
        if (!next) break;
        if (from == 0) {
            HandleResponse(QuantumCast<QtSfsResponse>(next));
        } else if (from == 1) {
            if (auto log = QuantumCast<QtSfsLog>(next)) HandleLog(*log);
        } else if (auto note = QuantumCast<QtSfsNotifyFileTransfer>(next)) {
            HandleTransfer(*note);
        }
    }
    // While the provider has requests queued, more replies follow soon and
    // go out with these; once it has none it waits for the client, which
    // must have its replies first.
    bool providerIdle;
    {
        PortHubLock lock(m_hub);
        providerIdle = m_provider.requestPort->IsEmpty();
    }
    if (providerIdle || m_out->HeldFor() >= kMaxHold) m_out->Flush();
}

void SftpSession::HandleResponse(const RefPtr<QtSfsResponse>& response) {
    if (!response) return;
    Pending pending;
    {
        std::lock_guard<std::mutex> guard(m_pendingLock);
        auto it = m_pending.find(response->m_id);
        if (it == m_pending.end()) {
            m_log.Log(LogLevel::Error,
                      "provider answered unknown request " + std::to_string(response->m_id));
            return;
        }
        pending = std::move(it->second);
        m_pending.erase(it);
    }
    ClientRequest& request = *pending.request;
    try {
        if (!request.replied) pending.done(*this, request, *response);
    } catch (const WException& e) {
        m_log.Log(LogLevel::Error, "reply failed: " + Narrow(e.Description().sv()));
    } catch (const std::exception& e) {
        m_log.Log(LogLevel::Error, std::string("reply failed: ") + e.what());
    }
    Settle(request);
}

void SftpSession::Settle(ClientRequest& request) {
    if (--request.outstanding == 0 && !request.replied)
        ReplyStatus(request, SfsStatusCode::Failure, "The request could not be completed.");
}

void SftpSession::HandleLog(const QtSfsLog& log) {
    LogLevel level = LevelOfProviderLog(log.m_type);
    if (m_log.Enabled(level)) m_log.Log(level, Utf8(log.m_message));
}

void SftpSession::HandleTransfer(const QtSfsNotifyFileTransfer& note) {
    // The note names the file as the provider opened it; the line names it
    // as the client did.
    std::string path = Utf8(note.m_path);
    std::string linuxPath;
    if (note.m_path && platform::WindowsPathToDisk(note.m_path->c_str(), &linuxPath))
        path = ClientPathOf(m_options.root, linuxPath).value_or(linuxPath);
    m_log.Log(LogLevel::Info, "close \"" + EscapeForLog(path) + "\" bytes read " +
                                  std::to_string(note.m_readBytes) + " written " +
                                  std::to_string(note.m_writeBytes));
}

void SftpSession::FailAllPending(std::string_view why) {
    std::unordered_map<uint32_t, Pending> pending;
    {
        std::lock_guard<std::mutex> guard(m_pendingLock);
        pending.swap(m_pending);
    }
    for (auto& [id, p] : pending) {
        ReplyStatus(*p.request, SfsStatusCode::Failure, why);
        Settle(*p.request);
    }
}

void SftpSession::Sfs(ClientRequest& request, SfsRequest type, const RefPtr<QuantumS>& content,
                      Completion done) {
    if (m_providerDead) {
        if (!request.replied) ReplyStatus(request, SfsStatusCode::Failure, "The provider stopped.");
        return;
    }
    auto message = MakeRef<QtSfsRequest>();
    message->m_type = type;
    message->m_content = content;
    message->m_outResponse = m_responsePort;
    message->m_outLog = m_logPort;
    std::unique_lock<std::mutex> gate(m_inputEndLock);
    if (m_eofSent) {
        gate.unlock();
        return AnswerTooLate(request, done);
    }
    ++request.outstanding;
    {
        std::lock_guard<std::mutex> guard(m_pendingLock);
        ClientRequestPtr owner = request.shared_from_this();
        do {
            message->m_id = m_nextSfsId++;
        } while (m_pending.count(message->m_id));
        m_pending.emplace(message->m_id, Pending{owner, std::move(done)});
    }
    KilnComponent::SendOn(m_hub, m_requestOut, message);
}

void SftpSession::EndInput() {
    std::lock_guard<std::mutex> gate(m_inputEndLock);
    if (m_eofSent.exchange(true)) return;
    KilnComponent::SendOn(m_hub, m_eofOut, MakeRef<QtEof>());
}

void SftpSession::AnswerTooLate(ClientRequest& request, const Completion& done) {
    // The completion decides what the client sees: a listing goes out
    // without the details it could not fetch, anything else fails.
    QtSfsResponse response;
    response.m_type = SfsResponse::Status;
    response.m_content =
        KilnSfsProvider::MakeStatus(SfsStatusCode::Failure, u"The session is ending.");
    try {
        if (!request.replied) done(*this, request, response);
    } catch (const WException& e) {
        m_log.Log(LogLevel::Error, "reply failed: " + Narrow(e.Description().sv()));
    } catch (const std::exception& e) {
        m_log.Log(LogLevel::Error, std::string("reply failed: ") + e.what());
    }
}

void SftpSession::SfsOpen(ClientRequest& request, const RefPtr<QtSfsOpen>& open, Completion done) {
    open->m_outFileTransfer = m_transferPort;
    Sfs(request, SfsRequest::Open, open, std::move(done));
}

SftpWriter SftpSession::StartReply(const ClientRequest& request, uint8_t type) const {
    SftpWriter w(type);
    w.U32(request.id);
    return w;
}

void SftpSession::Reply(ClientRequest& request, SftpWriter& packet) {
    if (request.replied.exchange(true)) return;
    const std::vector<uint8_t>& bytes = packet.Finish();
    if (t_draining)
        m_out->Hold(AsView(bytes));
    else
        m_out->Write(bytes);
    Release(request.charge);
}

void SftpSession::ReplyStatus(ClientRequest& request, SfsStatusCode code,
                              std::string_view message) {
    SftpWriter w = StartReply(request, Fxp::Status);
    w.U32(StatusCodeForClient(code));
    if (!request.replied) LogSentStatus(m_log, StatusCodeForClient(code));
    if (message.empty()) message = code == SfsStatusCode::Ok ? "Success" : "Failure";
    w.String(message);
    w.String("en");
    Reply(request, w);
}

void SftpSession::ReplyStatus(ClientRequest& request, const QtSfsStatus& status) {
    std::string message = Utf8(status.m_errorMessage);
    SftpWriter w = StartReply(request, Fxp::Status);
    w.U32(StatusCodeForClient(status.m_statusCode));
    if (!request.replied) LogSentStatus(m_log, StatusCodeForClient(status.m_statusCode));
    w.String(message);
    w.String(status.m_languageTag ? Utf8(status.m_languageTag) : "en");
    Reply(request, w);
}

void SftpSession::ReplyData(ClientRequest& request, const QtBytes& data, bool endOfFile) {
    if (request.replied.exchange(true)) return;
    SftpWriter w = StartReply(request, Fxp::Data);
    w.U32(static_cast<uint32_t>(data.Size()));
    const uint8_t eof = endOfFile ? 1 : 0;
    const bool withEof = m_version >= 6;
    w.Finish(data.Size() + (withEof ? 1 : 0));
    // The data goes out from the provider's buffer as it is.
    const std::string_view tail =
        withEof ? std::string_view(reinterpret_cast<const char*>(&eof), 1) : std::string_view();
    if (t_draining && data.Size() >= kWriteLaterSize) {
        const uint64_t charge = request.charge;
        m_out->WriteLater(std::string(AsView(w.Bytes())), RefPtr<const Quantum>(&data), data.View(),
                          std::string(tail), [this, charge] { Release(charge); });
        return;
    }
    if (t_draining)
        m_out->Hold(AsView(w.Bytes()), data.View(), tail);
    else
        m_out->Write(AsView(w.Bytes()), data.View(), tail);
    Release(request.charge);
}

bool SftpSession::ReserveHandle(ClientRequest& request) {
    {
        std::lock_guard<std::mutex> guard(m_handleLock);
        if (m_handlesTaken < m_options.maxHandles) {
            ++m_handlesTaken;
            return true;
        }
    }
    m_log.Log(LogLevel::Verbose,
              "open refused: " + std::to_string(m_options.maxHandles) + " handles open");
    ReplyStatus(request, SfsStatusCode::Failure,
                "Too many open handles (at most " + std::to_string(m_options.maxHandles) +
                    " in a session); close some first.");
    return false;
}

void SftpSession::OpenAnswered(const QtSfsResponse& response, std::string path, bool directory,
                               bool append) {
    auto h = QuantumCast<QtSfsHandle>(response.m_content);
    std::lock_guard<std::mutex> guard(m_handleLock);
    if (!h || !h->m_handle) {
        --m_handlesTaken;
        return;
    }
    const bool added = m_handles
                           .insert_or_assign(std::string(h->m_handle->View()),
                                             HandleInfo{std::move(path), directory, append})
                           .second;
    // The provider never issues a handle twice; should it, one handle is
    // still one slot.
    if (!added) --m_handlesTaken;
}

std::optional<std::string> SftpSession::PathOfHandle(std::string_view handle) const {
    std::lock_guard<std::mutex> guard(m_handleLock);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return std::nullopt;
    return it->second.path;
}

bool SftpSession::IsDirectoryHandle(std::string_view handle) const {
    std::lock_guard<std::mutex> guard(m_handleLock);
    auto it = m_handles.find(handle);
    return it != m_handles.end() && it->second.directory;
}

bool SftpSession::IsAppendHandle(std::string_view handle) const {
    std::lock_guard<std::mutex> guard(m_handleLock);
    auto it = m_handles.find(handle);
    return it != m_handles.end() && it->second.append;
}

void SftpSession::ForgetHandle(std::string_view handle) {
    std::lock_guard<std::mutex> guard(m_handleLock);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return;
    m_handles.erase(it);
    --m_handlesTaken;
}

uint32_t SftpSession::StatusCodeForClient(SfsStatusCode code) const {
    // Each code that an older version lacks falls back to its nearest
    // relative, repeatedly, until the version knows it.
    auto fallback = [](uint32_t c) -> uint32_t {
        switch (static_cast<SfsStatusCode>(c)) {
            case SfsStatusCode::InvalidHandle:
                return 4;  // Failure
            case SfsStatusCode::NoSuchPath:
                return 2;  // NoSuchFile
            case SfsStatusCode::FileAlreadyExists:
                return 4;  // Failure
            case SfsStatusCode::WriteProtect:
                return 3;  // PermissionDenied
            case SfsStatusCode::NoMedia:
                return 2;  // NoSuchFile
            case SfsStatusCode::NoSpaceOnFilesystem:
                return 4;  // Failure
            case SfsStatusCode::QuotaExceeded:
                return 14;  // NoSpaceOnFilesystem
            case SfsStatusCode::UnknownPrincipal:
                return 4;  // Failure
            case SfsStatusCode::LockConflict:
                return 3;  // PermissionDenied
            case SfsStatusCode::DirNotEmpty:
                return 4;  // Failure
            case SfsStatusCode::NotADirectory:
                return 10;  // NoSuchPath
            case SfsStatusCode::InvalidFileName:
                return 10;  // NoSuchPath
            case SfsStatusCode::LinkLoop:
                return 10;  // NoSuchPath
            case SfsStatusCode::CannotDelete:
                return 3;  // PermissionDenied
            case SfsStatusCode::InvalidParameter:
                return 5;  // BadMessage
            case SfsStatusCode::FileIsADirectory:
                return 4;  // Failure
            case SfsStatusCode::RangeLockConflict:
                return 17;  // LockConflict
            case SfsStatusCode::RangeLockRefused:
                return 17;  // LockConflict
            case SfsStatusCode::DeletePending:
                return 3;  // PermissionDenied
            case SfsStatusCode::FileCorrupt:
                return 4;  // Failure
            case SfsStatusCode::OwnerInvalid:
                return 16;  // UnknownPrincipal
            case SfsStatusCode::GroupInvalid:
                return 16;  // UnknownPrincipal
            case SfsStatusCode::NoMatchingByteRangeLock:
                return 4;  // Failure
            default:
                return 4;
        }
    };
    const int v = m_version;
    const uint32_t highest = v <= 3 ? 8 : v == 4 ? 13 : v == 5 ? 17 : 31;
    uint32_t c = static_cast<uint32_t>(code);
    while (c > highest) c = fallback(c);
    return c;
}

void SftpSession::EndSession(std::string_view why) {
    m_log.Log(LogLevel::Error, std::string(why) + "; closing");
    m_ended = true;
}

void SftpSession::WakeReader() {
    m_wake.Set();
    std::lock_guard<std::mutex> guard(m_flightLock);
    m_flightChanged.notify_all();
}

uint64_t SftpSession::ChargeOf(const SftpPacket& packet) const {
    SftpReader r(packet.Data(), packet.Size());
    uint8_t type = 0;
    uint32_t id = 0;
    r.U8(type);
    r.U32(id);
    uint64_t reply = kSmallReplyCharge;
    if (type == Fxp::Read) {
        std::string_view handle;
        uint64_t offset = 0;
        uint32_t length = 0;
        r.String(handle);
        r.U64(offset);
        if (r.U32(length)) reply = std::min<uint64_t>(length, m_provider.info->m_maxReadSize) + 64;
    } else if (type == Fxp::Readdir) {
        reply = kNamesReplyCharge;
    } else if (type == Fxp::Extended) {
        reply = kMaxWriteLength;  // copy-data moves chunks of this size
    }
    return packet.Size() + reply;
}

bool SftpSession::Admit(uint64_t charge) {
    std::unique_lock<std::mutex> lock(m_flightLock);
    // One request is always let through, however large, so that a bound
    // below one request's size slows the session but never stops it.
    auto ready = [&] {
        return m_stopping || m_out->Broken() || m_flightCount == 0 ||
               (m_flightBytes + charge <= m_options.maxInFlightBytes &&
                m_flightCount < m_options.maxInFlightRequests);
    };
    if (!ready() && !WaitWatchingOutput(lock, ready)) return false;
    if (m_stopping || m_out->Broken()) return false;
    m_flightBytes += charge;
    ++m_flightCount;
    uint64_t peak = m_peakFlightBytes.load();
    while (m_flightBytes > peak && !m_peakFlightBytes.compare_exchange_weak(peak, m_flightBytes)) {
    }
    return true;
}

bool SftpSession::WaitWatchingOutput(std::unique_lock<std::mutex>& lock,
                                     const std::function<bool()>& ready) {
    ++m_flightWaiters;
    bool gone = false;
    while (!m_flightChanged.wait_for(lock, kHangUpCheck, ready)) {
        lock.unlock();
        gone = OutputGone();
        lock.lock();
        if (gone) break;
    }
    --m_flightWaiters;
    return !gone;
}

bool SftpSession::OutputGone() {
    if (!m_out->Broken()) {
        if (!os::OutputHungUp(m_outFd)) return false;
        m_out->MarkBroken();
    }
    if (m_providerThread.joinable()) EndInput();
    return true;
}

void SftpSession::Release(uint64_t charge) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(m_flightLock);
        m_flightBytes -= std::min(charge, m_flightBytes);
        if (m_flightCount) --m_flightCount;
        // A reader held at the bound is woken once the requests in flight
        // are down to three quarters of it, so that it takes a batch of
        // requests per wake-up instead of one per reply; the provider has
        // the rest to work on meanwhile.
        wake = m_flightWaiters > 0 &&
               (m_flightCount == 0 || (m_flightBytes <= m_options.maxInFlightBytes / 4 * 3 &&
                                       m_flightCount <= m_options.maxInFlightRequests / 4 * 3));
    }
    // Notified unlocked: a thread woken under the lock would block on it.
    if (wake) m_flightChanged.notify_all();
}

bool SftpSession::Negotiate(const RefPtr<SftpPacket>& packet) {
    SftpReader r(packet->Data(), packet->Size());
    uint8_t type = 0;
    uint32_t version = 0;
    if (!r.U8(type) || type != Fxp::Init || !r.U32(version)) {
        RefuseNonSftpSession(m_log, "the first packet is not SSH_FXP_INIT");
        return false;
    }
    if (version < 3) {
        m_log.Log(LogLevel::Error, "client offers protocol version " + std::to_string(version) +
                                       ", which this server does not speak; closing");
        return false;
    }
    m_version = static_cast<int>(std::min<uint32_t>(version, 6));
    m_log.Log(LogLevel::Verbose, "received client version " + std::to_string(version));
    m_log.Log(LogLevel::Debug, "using protocol version " + std::to_string(m_version.load()));
    return m_out->Write(BuildVersionPacket(*this));
}

void SftpSession::Dispatch(const ClientRequestPtr& request) {
    SftpReader r(request->packet->Data(), request->packet->Size());
    uint8_t type = 0;
    r.U8(type);
    if (!r.U32(request->id)) {
        // Too short to carry an id: nothing can be answered, and a client
        // that frames its packets so cannot be followed any further.
        Release(request->charge);
        return EndSession("packet of type " + std::to_string(type) + " too short for a request id");
    }
    request->type = type;
    Handler handler = HandlerFor(m_version, type);
    try {
        std::string_view extension;
        if (type == Fxp::Extended) {
            SftpReader peek = r;
            peek.String(extension);
        }
        if (!handler) {
            ReplyStatus(*request, SfsStatusCode::OpUnsupported,
                        "Request type " + std::to_string(type) + " is not supported.");
        } else if (auto refusal = RefusalOf(m_options, type, extension)) {
            m_log.Log(LogLevel::Verbose, refusal->logLine);
            ReplyStatus(*request, SfsStatusCode::PermissionDenied, refusal->message);
        } else {
            handler(*this, *request, r);
        }
    } catch (const WException& e) {
        m_log.Log(LogLevel::Error, "request failed: " + Narrow(e.Description().sv()));
    } catch (const std::exception& e) {
        m_log.Log(LogLevel::Error, std::string("request failed: ") + e.what());
    }
    Settle(*request);
}

int SftpSession::Serve(NativeStream inFd, NativeStream outFd) {
    if (!m_wake.Open()) {
        m_log.Log(LogLevel::Error, "cannot create a pipe; closing");
        return 1;
    }
    m_outFd = outFd;
    m_out = std::make_unique<PacketOutput>(outFd);
    m_out->SetOnBroken([this] { WakeReader(); });
    StartProvider();

    PacketInput input(inFd, m_wake.WaitOn(), kMaxPacketLength, outFd);
    // Replies held while the provider works through a long request must not
    // wait for it when the client has nothing more to send.
    input.SetBeforeSleep([this] { m_out->Flush(); });
    // Memory freed by a burst of work goes back to the system once the
    // client pauses, not while it keeps the session busy (see main).
    input.SetWhenIdle(std::chrono::seconds(1), [] { os::ReturnFreeMemory(); });
    int status = 0;
    bool negotiated = false;
    bool inputEnded = false;  // normally, between packets
    for (;;) {
        RefPtr<SftpPacket> packet;
        PacketInput::Result r = input.Next(packet);
        if (r == PacketInput::Result::End) {
            inputEnded = true;
            break;
        }
        if (r == PacketInput::Result::Stopped) {
            if (m_providerDead) status = 1;
            if (OutputGone()) {
                m_log.Log(LogLevel::Error, "output closed; ending the session");
                status = 1;
            }
            break;
        }
        if (r != PacketInput::Result::Packet) {
            // Before INIT, a length out of range is text, a shell's or a
            // command's, not a client that lost its way.
            if (!negotiated && r != PacketInput::Result::Error)
                RefuseNonSftpSession(m_log, "the first packet is not SSH_FXP_INIT");
            else if (r == PacketInput::Result::TooLong)
                m_log.Log(LogLevel::Error, "packet length " +
                                               std::to_string(input.RefusedLength()) +
                                               " out of range; closing");
            else if (r == PacketInput::Result::Truncated)
                m_log.Log(LogLevel::Error, "input ended inside a packet; closing");
            else
                m_log.Log(LogLevel::Error, "read error on input; closing");
            status = 1;
            break;
        }
        if (!negotiated) {
            if (!Negotiate(packet)) {
                status = 1;
                break;
            }
            negotiated = true;
            continue;
        }
        ++m_requestsSeen;
        auto request = std::make_shared<ClientRequest>();
        request->packet = packet;
        request->charge = ChargeOf(*packet);
        if (!Admit(request->charge)) {
            if (m_providerDead) status = 1;
            if (m_out->Broken()) {
                m_log.Log(LogLevel::Error, "output closed; ending the session");
                status = 1;
            }
            break;
        }
        Dispatch(request);
        if (m_ended) {
            status = 1;
            break;
        }
        if (m_out->Broken()) {
            m_log.Log(LogLevel::Error, "output closed; ending the session");
            status = 1;
            break;
        }
    }

    // A client that only closed its input gets the answers to everything it
    // sent, and the provider learns of the end once they are out. Otherwise
    // it learns at once: long work stops instead of running on for nobody.
    if (m_providerThread.joinable() && !inputEnded) EndInput();
    {
        std::unique_lock<std::mutex> lock(m_flightLock);
        const auto done = [&] { return m_flightCount == 0 || m_providerFinished.load(); };
        if (!done() && !WaitWatchingOutput(lock, done)) {
            m_log.Log(LogLevel::Error, "output closed; ending the session");
            status = 1;
            ++m_flightWaiters;
            m_flightChanged.wait(lock, done);
            --m_flightWaiters;
        }
    }
    if (m_providerThread.joinable()) {
        EndInput();
        m_providerThread.join();
    }
    m_stopping = true;
    m_out->Flush();
    if (m_providerDead) status = 1;
    return status;
}

}  // namespace kiln::sftp
