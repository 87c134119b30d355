// A small backend on top of KilnSfsProvider for tests: it records what the
// base calls and lets each test decide how a request is handled.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "component/general_quanta.h"
#include "sfs/kiln_sfs_provider.h"
#include "support/test_host.h"

namespace kiln::test {

class RecordingProvider : public KilnSfsProvider {
  public:
    using Handler = std::function<void(RecordingProvider&, const RefPtr<QtSfsRequest>&)>;

    explicit RecordingProvider(Handler handler = nullptr) : m_handler(std::move(handler)) {}

    RefPtr<QtSfsProviderInfo> GetProviderInfo() override { return MakeRef<QtSfsProviderInfo>(); }
    void OnInit(const RefPtr<QtSfsInit>& init) override {
        Record("init");
        KilnSfsProvider::OnInit(init);
        Record("init done " + Narrow(MountPath()) + "|" + Narrow(MountMode()) + "|" +
               Narrow(RootPath()));
    }
    void OnRequest(const RefPtr<QtSfsRequest>& request) override {
        Record("request " + std::to_string(request->m_id));
        if (m_handler)
            m_handler(*this, request);
        else
            AnswerCode(*request, SfsStatusCode::Ok);
    }
    void OnEof() override { Record("eof"); }

    std::vector<std::string> Events() const {
        std::lock_guard lock(m_lock);
        return m_events;
    }

  private:
    void Record(std::string event) {
        std::lock_guard lock(m_lock);
        m_events.push_back(std::move(event));
    }

    Handler m_handler;
    mutable std::mutex m_lock;
    std::vector<std::string> m_events;
};

// Parameters as the host sends them: a root whose children are the names.
inline RefPtr<QtSfsInit> MakeInit(
    const std::vector<std::pair<std::u16string, std::u16string>>& parameters) {
    RefPtr<QtSfsInit> init = MakeRef<QtSfsInit>();
    init->m_root = QtNameValueTree::Make(u"", u"");
    for (const auto& [name, value] : parameters) init->m_root->AddChild(name, value);
    return init;
}

inline RefPtr<QtSfsRequest> MakeRequest(TestHost& host, uint32_t id, SfsRequest type,
                                        bool withLog = true) {
    RefPtr<QtSfsRequest> request = MakeRef<QtSfsRequest>();
    request->m_id = id;
    request->m_type = type;
    request->m_outResponse = host.ReplyPort<QtSfsResponse>();
    if (withLog) request->m_outLog = host.ReplyPort<QtSfsLog>();
    return request;
}

}  // namespace kiln::test
