// A provider rooted in a fresh directory, with helpers for the file requests
// (open, close, read, write, locks, text seek) and for looking at the files
// on disk and at the log records each request wrote.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "sfswin_test_support.h"

namespace kiln::KilnSfsWin::test {

inline constexpr uint32_t kRead = SfsAccessMask::ReadData | SfsAccessMask::ReadAttributes;
inline constexpr uint32_t kWrite = SfsAccessMask::WriteData | SfsAccessMask::WriteAttributes;
inline constexpr uint32_t kReadWrite = kRead | kWrite;

inline RefPtr<QtBytes> Bytes(std::string_view text) {
    return MakeRef<QtBytes>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
inline std::string Text(const QtBytes& bytes) {
    return std::string(bytes.View());
}

// What one request brought back: its answer and the log records it wrote.
struct Exchange {
    RefPtr<QtSfsResponse> response;
    std::vector<RefPtr<QtSfsLog>> logs;

    // The status code, or nullopt when the answer is not a status.
    std::optional<SfsStatusCode> Status() const {
        auto* status = response ? dynamic_cast<QtSfsStatus*>(response->m_content.get()) : nullptr;
        if (!status) return std::nullopt;
        return status->m_statusCode;
    }
    std::u16string StatusText() const {
        auto* status = response ? dynamic_cast<QtSfsStatus*>(response->m_content.get()) : nullptr;
        return status ? S(status->m_errorMessage) : u"<no status>";
    }
    RefPtr<QtBytes> Handle() const {
        auto* handle = response ? dynamic_cast<QtSfsHandle*>(response->m_content.get()) : nullptr;
        return handle ? handle->m_handle : nullptr;
    }
    QtSfsData* Data() const {
        return response ? dynamic_cast<QtSfsData*>(response->m_content.get()) : nullptr;
    }
    // The only log record, its type and text; "<n records>" otherwise.
    std::u16string Log() const {
        if (logs.size() != 1) return u"<" + S(NumberToText(uint64_t{logs.size()})) + u" records>";
        return S(logs[0]->m_message);
    }
    SfsLogType LogType() const { return logs.empty() ? SfsLogType{} : logs.back()->m_type; }
};

class FileOpsTest : public ::testing::Test {
  protected:
    void SetUp() override { Start({}); }

    // A new provider over the same root, with extra initialisation parameters.
    void Start(const Params& extra) {
        m_run.reset();
        m_run = std::make_unique<ProviderRun>();
        Params params{{u"MountPath", u"/"}, {u"RootPath", m_root.WinPath()}};
        for (const auto& parameter : extra) {
            auto same = std::find_if(params.begin(), params.end(),
                                     [&](const auto& p) { return p.first == parameter.first; });
            if (same != params.end()) {
                same->second = parameter.second;
            } else {
                params.push_back(parameter);
            }
        }
        m_run->Init(params);
        m_run->Sync();
        m_seenLogs = m_run->Logs().size();
    }

    ProviderRun& Run() { return *m_run; }

    // The Windows path that log texts quote for an SFS path below the root.
    std::u16string Win(std::u16string_view sfsPath) const {
        std::u16string path = m_root.WinPath();
        for (char16_t c : sfsPath) path += c == u'/' ? u'\\' : c;
        return path;
    }
    std::string Disk(std::string_view sfsPath) const {
        return m_root.LinuxPath() + std::string(sfsPath);
    }
    void Put(std::string_view sfsPath, std::string_view content) {
        std::ofstream(Disk(sfsPath), std::ios::binary) << content;
    }
    std::optional<std::string> Get(std::string_view sfsPath) const {
        std::ifstream in(Disk(sfsPath), std::ios::binary);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    Exchange Ask(SfsRequest type, RefPtr<QuantumS> content) {
        Exchange exchange;
        exchange.response = m_run->Ask(m_run->MakeRequest(type, std::move(content)));
        std::vector<RefPtr<QtSfsLog>> logs = m_run->Logs();
        exchange.logs.assign(logs.begin() + static_cast<std::ptrdiff_t>(m_seenLogs), logs.end());
        m_seenLogs = logs.size();
        return exchange;
    }

    Exchange Open(std::u16string_view path, uint32_t flags, uint32_t access = kReadWrite,
                  RefPtr<QtSfsAttrs> attrs = nullptr,
                  RefPtr<SfsFileTransferPort> transfer = nullptr) {
        auto open = MakeRef<QtSfsOpen>();
        open->m_fileName = MakeStr(path);
        open->m_flags = flags;
        open->m_desiredAccess = access;
        open->m_attrs = std::move(attrs);
        open->m_outFileTransfer = std::move(transfer);
        return Ask(SfsRequest::Open, open);
    }
    // Opens and insists on a handle.
    RefPtr<QtBytes> OpenOk(std::u16string_view path, uint32_t flags, uint32_t access = kReadWrite) {
        Exchange opened = Open(path, flags, access);
        EXPECT_TRUE(opened.Handle())
            << "open of " << std::string(path.begin(), path.end())
            << " failed: " << std::string(opened.Log().begin(), opened.Log().end());
        return opened.Handle() ? opened.Handle() : MakeRef<QtBytes>();
    }
    Exchange Close(const RefPtr<QtBytes>& handle) {
        auto close = MakeRef<QtSfsClose>();
        close->m_handle = handle;
        return Ask(SfsRequest::Close, close);
    }
    Exchange Read(const RefPtr<QtBytes>& handle, uint64_t offset, uint32_t length) {
        auto read = MakeRef<QtSfsRead>();
        read->m_handle = handle;
        read->m_offset = offset;
        read->m_length = length;
        return Ask(SfsRequest::Read, read);
    }
    // The bytes a read answered; "<status>" when it answered a status.
    std::string ReadText(const RefPtr<QtBytes>& handle, uint64_t offset, uint32_t length) {
        Exchange read = Read(handle, offset, length);
        return read.Data() ? Text(*read.Data()->m_data) : "<status>";
    }
    Exchange Write(const RefPtr<QtBytes>& handle, uint64_t offset, std::string_view data) {
        auto write = MakeRef<QtSfsWrite>();
        write->m_handle = handle;
        write->m_offset = offset;
        write->m_data = Bytes(data);
        return Ask(SfsRequest::Write, write);
    }
    Exchange Block(const RefPtr<QtBytes>& handle, uint64_t offset, uint64_t length,
                   uint32_t flags) {
        auto block = MakeRef<QtSfsBlock>();
        block->m_handle = handle;
        block->m_offset = offset;
        block->m_length = length;
        block->m_flags = flags;
        return Ask(SfsRequest::Block, block);
    }
    Exchange Unblock(const RefPtr<QtBytes>& handle, uint64_t offset, uint64_t length) {
        auto unblock = MakeRef<QtSfsUnblock>();
        unblock->m_handle = handle;
        unblock->m_offset = offset;
        unblock->m_length = length;
        return Ask(SfsRequest::Unblock, unblock);
    }
    Exchange TextSeek(const RefPtr<QtBytes>& handle, uint64_t line) {
        auto seek = MakeRef<QtSfsTextSeek>();
        seek->m_handle = handle;
        seek->m_lineNumber = line;
        return Ask(SfsRequest::TextSeek, seek);
    }
    Exchange OpenDir(std::u16string_view path) {
        auto open = MakeRef<QtSfsOpenDir>();
        open->m_path = MakeStr(path);
        return Ask(SfsRequest::OpenDir, open);
    }

    TempRoot m_root;
    std::unique_ptr<ProviderRun> m_run;
    size_t m_seenLogs = 0;
};

#ifndef _WIN32  // a switch of the Linux platform layer
// Makes overlapped operations complete later on a helper thread while alive.
class PendingIo {
  public:
    PendingIo() { platform::SetOverlappedPendingForTests(true); }
    ~PendingIo() {
        platform::HoldOverlappedCompletionsForTests(false);
        platform::SetOverlappedPendingForTests(false);
    }
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;
};
#endif

inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace kiln::KilnSfsWin::test
