// A stand-in provider for the SFTP server's tests: a component with the
// provider's three input ports that serves SFS requests from a real directory
// with POSIX calls, so that the protocol layer can be tested on its own.
//
// Test hooks: a gate that holds every answer until it is opened, a path that
// makes the provider stop as a broken provider would, a path prefix
// "/status/N" whose requests are answered with status N, and a record of the
// last request of each type.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "component/kiln_component.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_requests.h"
#include "sfs/sfs_responses.h"

namespace kiln::test {

// Serves SFS requests from a real directory; what carries the answers back
// is the deriving class's business.
class FakeFileSystem {
  public:
    explicit FakeFileSystem(std::string root) : m_root(std::move(root)) {}
    virtual ~FakeFileSystem() noexcept(false);
    static RefPtr<QtSfsProviderInfo> Info();
    // Answers the request exactly once through Send. Raises
    // KilnComponent::Exit for the path "/die".
    void Serve(const QtSfsRequest& request);
    size_t OpenHandles() const { return m_handles.size(); }

  protected:
    virtual void Send(const QtSfsRequest& request, SfsResponse type,
                      const RefPtr<QuantumS>& content) = 0;
    void SetRoot(std::string root) { m_root = std::move(root); }

  private:
    void Status(const QtSfsRequest& request, SfsStatusCode code);
    void StatusFromErrno(const QtSfsRequest& request, int error);
    std::string Local(const RefPtr<QtStr>& sfsPath) const;
    RefPtr<QtSfsAttrs> AttrsOf(const std::string& path, bool follow, int fd = -1) const;

    std::string m_root;
    struct Open {
        int fd = -1;
        bool directory = false;
        bool listed = false;
        std::string path;
    };
    std::map<std::string, Open> m_handles;
    uint64_t m_nextHandle = 1;
};

class FakeProvider : public KilnComponent, public FakeFileSystem {
  public:
    explicit FakeProvider(std::string root);

    TypedInPort<QtSfsInit>& InitPort() { return m_init; }
    TypedInPort<QtSfsRequest>& RequestPort() { return m_request; }
    TypedInPort<QtEof>& EofPort() { return m_eof; }
    void Run() override;

    // Answers wait while the gate is closed.
    void CloseGate();
    void OpenGate();

    RefPtr<QtSfsRequest> LastRequest(SfsRequest type) const;
    RefPtr<QtSfsInit> InitMessage() const;
    bool SawEof() const { return m_sawEof; }

  protected:
    void Send(const QtSfsRequest& request, SfsResponse type,
              const RefPtr<QuantumS>& content) override;

  private:
    TypedInPort<QtSfsInit> m_init;
    TypedInPort<QtSfsRequest> m_request;
    TypedInPort<QtEof> m_eof;
    RefPtr<QtSfsInit> m_initMessage;
    std::atomic<bool> m_sawEof{false};

    mutable std::mutex m_lock;
    std::condition_variable m_gateChanged;
    bool m_gateOpen = true;
    std::map<SfsRequest, RefPtr<QtSfsRequest>> m_last;
};

}  // namespace kiln::test
