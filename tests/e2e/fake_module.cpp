// A provider module made from the test file system, so that the end-to-end
// tests drive kiln-sftp-server with real clients through every request the
// server knows, independently of which handlers the real module serves.
#include <string>

#include "platform/disk_names.h"
#include "sfs/kiln_sfs_provider.h"
#include "sftp_fake_provider.h"

namespace {

using namespace kiln;

class FakeSfsModule : public KilnSfsProvider, public test::FakeFileSystem {
  public:
    FakeSfsModule() : FakeFileSystem("/") {}
    RefPtr<QtSfsProviderInfo> GetProviderInfo() override { return Info(); }
    void OnInit(const RefPtr<QtSfsInit>& init) override {
        KilnSfsProvider::OnInit(init);
        std::string root;
        std::u16string windows(RootPath());
        if (!platform::WindowsPathToDisk(windows.c_str(), &root))
            throw Exit(ErrCls::Sfs, 1, u"FakeSfsModule: bad root");
        SetRoot(root == "/" ? "" : root);
    }
    void OnRequest(const RefPtr<QtSfsRequest>& request) override { Serve(*request); }
    void OnEof() override {}

  protected:
    void Send(const QtSfsRequest& request, SfsResponse type,
              const RefPtr<QuantumS>& content) override {
        Answer(request, type, content);
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) KilnSfsProvider* CreateSfsProvider() {
    try {
        return new FakeSfsModule();
    } catch (...) {
        return nullptr;
    }
}
