// KilnSfsProvider: what every SFS provider does whatever file system it
// serves. It owns the three input ports the host feeds (initialisation,
// requests, end of input), runs the main loop that waits for the
// initialisation and then serves requests one at a time until end of input,
// reads the mount parameters, and gives backends the operations with which
// they answer a request and write to the host's log. A backend derives from it
// and supplies GetProviderInfo, OnRequest and OnEof (and usually OnInit,
// calling the base first).
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "component/kiln_component.h"
#include "component/qt_error.h"
#include "component/qt_out_port.h"
#include "component/typed_port.h"
#include "sfs/sfs_attrs.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_enums.h"
#include "sfs/sfs_requests.h"
#include "sfs/sfs_responses.h"

namespace kiln {

class FileAccounting;

// The family base of every SFS component.
class KilnSfs : public virtual KilnComponent {
  public:
    KilnSfs() = default;
};

class KilnSfsProvider : public KilnSfs {
  public:
    KilnSfsProvider();
    ~KilnSfsProvider() override;

    // ---- The provider's own virtual interface, in this order ----------------

    // Describes the backend; the host calls it, nothing inside the system does.
    virtual RefPtr<QtSfsProviderInfo> GetProviderInfo() = 0;
    // Reads the mount parameters; an override calls this first. Raises
    // KilnComponent::Exit when "MountPath" is missing or empty.
    virtual void OnInit(const RefPtr<QtSfsInit>& init);
    // Handles one request and answers it exactly once.
    virtual void OnRequest(const RefPtr<QtSfsRequest>& request) = 0;
    // End of input after initialisation: close and report what is still open.
    virtual void OnEof() = 0;

    // Waits for the initialisation (or end of input), then serves requests in
    // arrival order until end of input.
    void Run() override;

    // Whether end of input is waiting on the end-of-input port. Nobody is left
    // to take the answer of a long operation then: hashing and text seek ask
    // between chunks and stop.
    bool EndOfInputPending();

    // ---- Ports ---------------------------------------------------------------
    TypedInPort<QtSfsInit>& InitPort() { return m_initPort; }
    TypedInPort<QtSfsRequest>& RequestPort() { return m_requestPort; }
    TypedInPort<QtEof>& EofPort() { return m_eofPort; }

    // ---- Parameters ----------------------------------------------------------

    // The value of the first direct child of the parameter tree whose name is
    // exactly `name` (case-sensitive); null when absent or when the message
    // carries no tree.
    static RefPtr<QtStr> Parameter(const QtSfsInit& init, std::u16string_view name);
    // Whether a switch value means "off": "No", "False", "Disable",
    // "Disabled", "Unavailable" or "Ignore", ignoring the case of A-Z. Any
    // other value, the empty one included, means "on".
    static bool IsOffValue(std::u16string_view value);

    // The mount parameters; valid once OnInit has run.
    std::u16string_view MountPath() const;
    std::u16string_view MountMode() const;
    std::u16string_view RootPath() const;

    // ---- Logging -------------------------------------------------------------

    // The log code that every record about a request of this type carries.
    static SfsLogCode LogCodeFor(SfsRequest type);

    // A Trace record with code Init on the initialisation message's log port;
    // nothing when it has none.
    void LogInit(const QtSfsInit& init, std::u16string_view text);
    // A record about a request on the request's log port; nothing when it has
    // none. The two-argument form logs at Info.
    void LogRequest(const QtSfsRequest& request, SfsLogType type, std::u16string_view text);
    void LogRequest(const QtSfsRequest& request, std::u16string_view text) {
        LogRequest(request, SfsLogType::Info, text);
    }
    // Whether a record of this type about the request would be taken by a
    // port linked to its log port. Texts that only a log reads are built
    // after asking: most hosts log requests at Info only when asked to.
    bool LogWanted(const QtSfsRequest& request, SfsLogType type = SfsLogType::Info);

    // Sends a transfer notification on the file-transfer port that the open
    // request carried; nothing when there is no port or no notification.
    void SendFileTransfer(const RefPtr<QtOutPort<QtSfsNotifyFileTransfer>>& port,
                          const RefPtr<QtSfsNotifyFileTransfer>& notification);
    // Builds the notification from a file's counters and sends it, but only
    // when a port was given and at least one byte was read or written. Fixes
    // the file's close time. True when a notification went out.
    bool NotifyFileTransfer(const RefPtr<QtOutPort<QtSfsNotifyFileTransfer>>& port,
                            FileAccounting& accounting, std::u16string_view path);

    // ---- Answers ---------------------------------------------------------------
    // Each sends one QtSfsResponse with the request's m_id, the response type
    // and the content on the request's response port. A request without a
    // response port cannot be answered: Run never hands such a request to
    // OnRequest, and these send nothing for one.

    void AnswerStatus(const QtSfsRequest& request, const RefPtr<QtSfsStatus>& status);
    void AnswerHandle(const QtSfsRequest& request, const RefPtr<QtSfsHandle>& handle);
    void AnswerData(const QtSfsRequest& request, const RefPtr<QtSfsData>& data);
    void AnswerNames(const QtSfsRequest& request, const RefPtr<QtSfsNames>& names);
    void AnswerAttrs(const QtSfsRequest& request, const RefPtr<QtSfsAttrs>& attrs);
    void AnswerName(const QtSfsRequest& request, const RefPtr<QtSfsName>& name);
    void AnswerCheckFileReply(const QtSfsRequest& request,
                              const RefPtr<QtSfsCheckFileReply>& reply);
    void AnswerSpaceAvailReply(const QtSfsRequest& request,
                               const RefPtr<QtSfsSpaceAvailReply>& reply);
    // A status with the code's standard text.
    void AnswerCode(const QtSfsRequest& request, SfsStatusCode code);

    // ---- Status builders ---------------------------------------------------------

    // The code, its standard text and the language tag "en".
    static RefPtr<QtSfsStatus> MakeStatus(SfsStatusCode code);
    // The code, the given text and the given language tag, or "en" when the
    // tag is null.
    static RefPtr<QtSfsStatus> MakeStatus(SfsStatusCode code, std::u16string_view text,
                                          RefPtr<QtStr> languageTag = nullptr);

  protected:
    // Sends any response; what every Answer operation ends in.
    void Answer(const QtSfsRequest& request, SfsResponse type, const RefPtr<QuantumS>& content);

  private:
    TypedInPort<QtSfsInit> m_initPort;
    TypedInPort<QtSfsRequest> m_requestPort;
    TypedInPort<QtEof> m_eofPort;
    RefPtr<QtStr> m_mountPath;
    RefPtr<QtStr> m_mountMode;
    RefPtr<QtStr> m_rootPath;
    // The record LogWanted shows the ports, kept so that asking allocates
    // nothing; a thread that finds it in use makes one of its own.
    RefPtr<QtSfsLog> m_logProbe;
    std::atomic<bool> m_logProbeInUse{false};
};

}  // namespace kiln
