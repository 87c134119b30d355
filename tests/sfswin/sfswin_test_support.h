// A KilnSfsWin run through the test host, with helpers to build its messages.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "component/general_quanta.h"
#include "platform/config_files.h"
#include "sfswin/kiln_sfs_win.h"
#include "support/test_host.h"

namespace kiln::KilnSfsWin::test {

using kiln::test::RunOutcome;
using kiln::test::TestHost;

inline std::u16string S(const WString& w) {
    return std::u16string(w.sv());
}
inline std::u16string S(const RefPtr<QtStr>& s) {
    return s ? S(s->Str()) : u"<null>";
}

using Params = std::vector<std::pair<std::u16string, std::u16string>>;

class ProviderRun {
  public:
    ProviderRun() : m_host(std::make_unique<KilnSfsWin>()) { m_host.Start(); }
    // A provider made by a loaded module's CreateSfsProvider.
    explicit ProviderRun(KilnComponent* adopted) : m_host(adopted) { m_host.Start(); }
    ~ProviderRun() { platform::SetConfinementRoot(nullptr); }

    TestHost& Host() { return m_host; }
    KilnSfsWin& Provider() { return m_host.ComponentAs<KilnSfsWin>(); }

    RefPtr<QtSfsInit> MakeInit(const Params& params, bool withLog = true) {
        auto init = MakeRef<QtSfsInit>();
        init->m_root = QtNameValueTree::Make(u"", u"");
        for (const auto& [name, value] : params) init->m_root->AddChild(name, value);
        if (withLog) init->m_outLog = m_host.ReplyPort<QtSfsLog>();
        return init;
    }
    void Init(const Params& params, bool withLog = true) { m_host.Send(MakeInit(params, withLog)); }

    RefPtr<QtSfsRequest> MakeRequest(SfsRequest type, RefPtr<QuantumS> content,
                                     bool withLog = true) {
        auto request = MakeRef<QtSfsRequest>();
        request->m_id = ++m_lastId;
        request->m_type = type;
        request->m_content = std::move(content);
        request->m_outResponse = m_host.ReplyPort<QtSfsResponse>();
        if (withLog) request->m_outLog = m_host.ReplyPort<QtSfsLog>();
        return request;
    }

    // Sends the request and waits for its answer.
    RefPtr<QtSfsResponse> Ask(const RefPtr<QtSfsRequest>& request) {
        m_host.Send(request);
        RefPtr<QtSfsResponse> response = m_host.WaitFor<QtSfsResponse>();
        EXPECT_TRUE(response) << "no response";
        if (response) {
            EXPECT_EQ(response->m_id, request->m_id);
        }
        return response;
    }

    // A round trip through the provider: once it has answered, whatever it
    // did before (its initialisation) is visible to the test thread.
    void Sync() {
        auto home = MakeRef<QtSfsHomeDir>();
        Ask(MakeRequest(SfsRequest::HomeDir, home, false));
    }

    std::vector<RefPtr<QtSfsLog>> Logs() { return m_host.Received<QtSfsLog>(); }

    RunOutcome Finish() {
        EXPECT_TRUE(m_host.Join());
        return m_host.Outcome();
    }

  private:
    TestHost m_host;
    uint32_t m_lastId = 0;
};

// A directory for tests that need a root which exists, removed afterwards.
class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    // The Windows path (C:\tmp\...), for the drive table's default C: -> /.
    const std::u16string& WinPath() const { return m_winPath; }
    const std::string& LinuxPath() const { return m_linuxPath; }

  private:
    std::string m_linuxPath;
    std::u16string m_winPath;
};

// What the disk holds at a path, read beside the provider (the host's stat on
// Linux, the Windows file calls on Windows), for tests that check what a
// request did there; nullopt where nothing is found.
struct DiskFacts {
    uint64_t id = 0;  // the inode, or the file index
    uint32_t links = 0;
    uint64_t size = 0;
    int64_t modifySeconds = 0;  // since 1970
    uint32_t modifyNs = 0;
    bool ownerMayWrite = false;  // the owner's w bit, or no READONLY attribute
};
std::optional<DiskFacts> ReadDiskFacts(const std::string& path, bool follow = true);
// Sets the access and modification times of a file, seconds since 1970.
bool SetDiskTimes(const std::string& path, int64_t seconds);
// Makes a symbolic link at `link` whose text is `target`: under Wine the
// host's own, since its CreateSymbolicLinkW makes nothing.
void MakeDiskLink(const std::string& target, const std::string& link);

}  // namespace kiln::KilnSfsWin::test
