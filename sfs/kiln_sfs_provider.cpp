#include "sfs/kiln_sfs_provider.h"

#include "nocrtlib/assertion.h"
#include "sfs/status_texts.h"
#include "sfs/transfer_accounting.h"

namespace kiln {

namespace {

char16_t LowerAsciiLetter(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c;
}

bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAsciiLetter(a[i]) != LowerAsciiLetter(b[i])) return false;
    return true;
}

std::u16string_view ViewOf(const RefPtr<QtStr>& text) {
    KILN_ASSERT_TEXT_AT(text != nullptr, "OnInit has run", "KilnSfsProvider", __LINE__);
    return text->sv();
}

}  // namespace

KilnSfsProvider::KilnSfsProvider() {
    RegisterPort(m_initPort);
    RegisterPort(m_requestPort);
    RegisterPort(m_eofPort);
}

KilnSfsProvider::~KilnSfsProvider() = default;

void KilnSfsProvider::Run() {
    {
        InPort* const waiting[2] = {&m_initPort, &m_eofPort};
        RefPtr<Quantum> first;
        RefPtr<QtSfsInit> init;
        // The ports' acceptance tests let only these two types in; anything
        // else would be a fault of the hub, and is skipped rather than trusted.
        while (!init) {
            first = ReceiveAny(waiting);
            if (QuantumCast<QtEof>(first)) return;
            init = QuantumCast<QtSfsInit>(first);
        }
        OnInit(init);
    }

    InPort* const serving[2] = {&m_requestPort, &m_eofPort};
    for (;;) {
        RefPtr<Quantum> next = ReceiveAny(serving);
        // Asked in this order because a cast that fails walks the whole
        // class graph, and nearly every quantum is a request.
        RefPtr<QtSfsRequest> request = QuantumCast<QtSfsRequest>(next);
        if (!request) {
            if (QuantumCast<QtEof>(next)) {
                OnEof();
                return;
            }
            continue;
        }
        // Every request must be answered exactly once, which is impossible
        // without a response port; handling it anyway could change the file
        // system with nobody told.
        if (!request->m_outResponse) {
            LogRequest(*request, SfsLogType::Error,
                       WString(u"KilnSfsProvider: Request ") + NumberToText(request->m_id) +
                           u" has no response port and was not processed.");
            continue;
        }
        OnRequest(request);
    }
}

bool KilnSfsProvider::EndOfInputPending() {
    PortHub* hub = Hub();
    if (hub == nullptr) return false;
    PortHubLock lock(*hub);
    return !m_eofPort.IsEmpty();
}

void KilnSfsProvider::OnInit(const RefPtr<QtSfsInit>& init) {
    m_mountPath = init ? Parameter(*init, u"MountPath") : nullptr;
    if (!m_mountPath || m_mountPath->empty())
        throw Exit(ErrCls::Sfs, 1,
                   u"KilnSfsProvider: missing 'MountPath' initialization parameter");
    m_mountMode = Parameter(*init, u"MountMode");
    if (!m_mountMode) m_mountMode = MakeStr(u"");
    m_rootPath = Parameter(*init, u"RootPath");
    if (!m_rootPath) m_rootPath = MakeStr(u"");
}

RefPtr<QtStr> KilnSfsProvider::Parameter(const QtSfsInit& init, std::u16string_view name) {
    if (!init.m_root) return nullptr;
    return init.m_root->ChildValue(name);
}

bool KilnSfsProvider::IsOffValue(std::u16string_view value) {
    static constexpr std::u16string_view kOffWords[] = {u"No",       u"False",       u"Disable",
                                                        u"Disabled", u"Unavailable", u"Ignore"};
    for (std::u16string_view word : kOffWords)
        if (EqualIgnoringAsciiCase(value, word)) return true;
    return false;
}

std::u16string_view KilnSfsProvider::MountPath() const {
    return ViewOf(m_mountPath);
}
std::u16string_view KilnSfsProvider::MountMode() const {
    return ViewOf(m_mountMode);
}
std::u16string_view KilnSfsProvider::RootPath() const {
    return ViewOf(m_rootPath);
}

SfsLogCode KilnSfsProvider::LogCodeFor(SfsRequest type) {
    switch (type) {
        case SfsRequest::Open:
            return SfsLogCode::Open;
        case SfsRequest::Close:
            return SfsLogCode::Close;
        case SfsRequest::Read:
            return SfsLogCode::Read;
        case SfsRequest::Write:
            return SfsLogCode::Write;
        case SfsRequest::FStat:
        case SfsRequest::Stat:
            return SfsLogCode::Stat;
        case SfsRequest::SetStat:
        case SfsRequest::FSetStat:
        case SfsRequest::LSetStat:
            return SfsLogCode::SetStat;
        case SfsRequest::OpenDir:
            return SfsLogCode::OpenDir;
        case SfsRequest::ReadDir:
            return SfsLogCode::ReadDir;
        case SfsRequest::Remove:
            return SfsLogCode::Remove;
        case SfsRequest::MkDir:
            return SfsLogCode::MkDir;
        case SfsRequest::RmDir:
            return SfsLogCode::RmDir;
        case SfsRequest::RealPath:
            return SfsLogCode::RealPath;
        case SfsRequest::Rename:
            return SfsLogCode::Rename;
        case SfsRequest::ReadLink:
            return SfsLogCode::ReadLink;
        case SfsRequest::Link:
            return SfsLogCode::Link;
        case SfsRequest::Block:
            return SfsLogCode::Block;
        case SfsRequest::Unblock:
            return SfsLogCode::Unblock;
        case SfsRequest::TextSeek:
            return SfsLogCode::TextSeek;
        case SfsRequest::CheckFileHandle:
        case SfsRequest::CheckFileName:
            return SfsLogCode::CheckFile;
        case SfsRequest::SpaceAvail:
            return SfsLogCode::SpaceAvail;
        case SfsRequest::HomeDir:
            return SfsLogCode::HomeDir;
        case SfsRequest::FSync:  // the log codes have none of their own for it
            return SfsLogCode::Other;
    }
    return SfsLogCode::Other;
}

void KilnSfsProvider::LogInit(const QtSfsInit& init, std::u16string_view text) {
    if (!init.m_outLog) return;
    RefPtr<QtSfsLog> log = MakeRef<QtSfsLog>();
    log->m_type = SfsLogType::Trace;
    log->m_code = SfsLogCode::Init;
    log->m_message = MakeStr(text);
    Send(*init.m_outLog, log);
}

bool KilnSfsProvider::LogWanted(const QtSfsRequest& request, SfsLogType type) {
    if (!request.m_outLog) return false;
    PortHub* hub = Hub();
    if (hub == nullptr) return true;  // Send will say what is wrong
    // A record without text stands for the real one: the ports decide by
    // class and type. Not a thread-local: the Windows runtime's thread-exit
    // destructors of a DLL's thread-locals run after their storage is gone.
    const bool kept = !m_logProbeInUse.exchange(true, std::memory_order_acquire);
    if (kept && !m_logProbe) m_logProbe = MakeRef<QtSfsLog>();
    const RefPtr<QtSfsLog> probe = kept ? m_logProbe : MakeRef<QtSfsLog>();
    probe->m_type = type;
    probe->m_code = LogCodeFor(request.m_type);
    bool wanted = false;
    {
        const RefPtr<Quantum> asked(probe.get());
        PortHubLock lock(*hub);
        const OutPort& port = *request.m_outLog;
        for (size_t i = 0; i < port.EndPointCount() && !wanted; ++i)
            wanted = port.EndPoint(i)->Accepts(asked);
    }
    if (kept) m_logProbeInUse.store(false, std::memory_order_release);
    return wanted;
}

void KilnSfsProvider::LogRequest(const QtSfsRequest& request, SfsLogType type,
                                 std::u16string_view text) {
    if (!LogWanted(request, type)) return;
    RefPtr<QtSfsLog> log = MakeRef<QtSfsLog>();
    log->m_type = type;
    log->m_code = LogCodeFor(request.m_type);
    log->m_message = MakeStr(text);
    Send(*request.m_outLog, log);
}

void KilnSfsProvider::SendFileTransfer(const RefPtr<QtOutPort<QtSfsNotifyFileTransfer>>& port,
                                       const RefPtr<QtSfsNotifyFileTransfer>& notification) {
    if (!port || !notification) return;
    Send(*port, notification);
}

bool KilnSfsProvider::NotifyFileTransfer(const RefPtr<QtOutPort<QtSfsNotifyFileTransfer>>& port,
                                         FileAccounting& accounting, std::u16string_view path) {
    if (!port || !accounting.HasTransfer()) return false;
    SendFileTransfer(port, accounting.MakeNotification(path));
    return true;
}

void KilnSfsProvider::Answer(const QtSfsRequest& request, SfsResponse type,
                             const RefPtr<QuantumS>& content) {
    if (!request.m_outResponse) return;
    RefPtr<QtSfsResponse> response = MakeRef<QtSfsResponse>();
    response->m_id = request.m_id;
    response->m_type = type;
    response->m_content = content;
    Send(*request.m_outResponse, response);
}

void KilnSfsProvider::AnswerStatus(const QtSfsRequest& request, const RefPtr<QtSfsStatus>& status) {
    Answer(request, SfsResponse::Status, status);
}

void KilnSfsProvider::AnswerHandle(const QtSfsRequest& request, const RefPtr<QtSfsHandle>& handle) {
    Answer(request, SfsResponse::Handle, handle);
}

void KilnSfsProvider::AnswerData(const QtSfsRequest& request, const RefPtr<QtSfsData>& data) {
    Answer(request, SfsResponse::Data, data);
}

void KilnSfsProvider::AnswerNames(const QtSfsRequest& request, const RefPtr<QtSfsNames>& names) {
    Answer(request, SfsResponse::Names, names);
}

void KilnSfsProvider::AnswerAttrs(const QtSfsRequest& request, const RefPtr<QtSfsAttrs>& attrs) {
    Answer(request, SfsResponse::Attrs, attrs);
}

void KilnSfsProvider::AnswerName(const QtSfsRequest& request, const RefPtr<QtSfsName>& name) {
    Answer(request, SfsResponse::Name, name);
}

void KilnSfsProvider::AnswerCheckFileReply(const QtSfsRequest& request,
                                           const RefPtr<QtSfsCheckFileReply>& reply) {
    Answer(request, SfsResponse::CheckFileReply, reply);
}

void KilnSfsProvider::AnswerSpaceAvailReply(const QtSfsRequest& request,
                                            const RefPtr<QtSfsSpaceAvailReply>& reply) {
    Answer(request, SfsResponse::SpaceAvailReply, reply);
}

void KilnSfsProvider::AnswerCode(const QtSfsRequest& request, SfsStatusCode code) {
    AnswerStatus(request, MakeStatus(code));
}

RefPtr<QtSfsStatus> KilnSfsProvider::MakeStatus(SfsStatusCode code) {
    return QtSfsStatus::Make(code);
}

RefPtr<QtSfsStatus> KilnSfsProvider::MakeStatus(SfsStatusCode code, std::u16string_view text,
                                                RefPtr<QtStr> languageTag) {
    RefPtr<QtSfsStatus> status = QtSfsStatus::Make(code, text);
    if (languageTag) status->m_languageTag = std::move(languageTag);
    return status;
}

}  // namespace kiln
