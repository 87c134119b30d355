// A provider over a fresh temporary root for the directory and name requests
// (listing, remove, mkdir, rmdir, real path, rename, links), with helpers to
// make files on disk and to read what one request answered and logged.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sfswin_test_support.h"
#include "support/wine.h"

namespace kiln::KilnSfsWin::test {

// What one request brought back: its response and the log records it wrote.
struct Reply {
    RefPtr<QtSfsResponse> response;
    std::vector<RefPtr<QtSfsLog>> logs;

    SfsStatusCode Status() const {
        auto* status = response ? dynamic_cast<QtSfsStatus*>(response->m_content.get()) : nullptr;
        return status ? status->m_statusCode : SfsStatusCode::Ok;
    }
    bool IsStatus() const {
        return response && dynamic_cast<QtSfsStatus*>(response->m_content.get()) != nullptr;
    }
    std::u16string StatusText() const {
        auto* status = response ? dynamic_cast<QtSfsStatus*>(response->m_content.get()) : nullptr;
        return status ? S(status->m_errorMessage) : u"<no status>";
    }
    template <class T>
    T* As() const {
        return response ? dynamic_cast<T*>(response->m_content.get()) : nullptr;
    }
    // The only record of the given type; fails the test when there is not
    // exactly one.
    std::u16string Log(SfsLogType type) const {
        std::u16string found;
        int count = 0;
        for (const auto& log : logs)
            if (log->m_type == type) {
                found = S(log->m_message);
                ++count;
            }
        EXPECT_EQ(count, 1) << "records of type " << static_cast<int>(type);
        return found;
    }
    bool HasLog(SfsLogType type) const {
        for (const auto& log : logs)
            if (log->m_type == type) return true;
        return false;
    }
};

inline std::u16string U(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}
// For failure messages only: ASCII as it is, anything else as '?'.
inline std::string N(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

class DirOpsTest : public testing::Test {
  protected:
    // Starts the provider over the temporary root; `params` come on top of
    // MountPath and RootPath.
    void Start(const Params& params = {}, std::u16string mountPath = u"/mnt") {
        Params all{{u"MountPath", mountPath}, {u"RootPath", m_root.WinPath()}};
        all.insert(all.end(), params.begin(), params.end());
        StartWith(all);
    }
    void StartWith(const Params& params) {
        m_run =
            m_create ? std::make_unique<ProviderRun>(m_create()) : std::make_unique<ProviderRun>();
        m_run->Init(params);
        m_run->Sync();
    }

    Reply Ask(SfsRequest type, RefPtr<QuantumS> content) {
        size_t before = m_run->Logs().size();
        Reply reply;
        reply.response = m_run->Ask(m_run->MakeRequest(type, std::move(content)));
        // A round trip without a log port: everything the request logged has
        // arrived once it is answered.
        m_run->Sync();
        std::vector<RefPtr<QtSfsLog>> logs = m_run->Logs();
        reply.logs.assign(logs.begin() + static_cast<std::ptrdiff_t>(before), logs.end());
        return reply;
    }

    // ---- Requests ---------------------------------------------------------------
    Reply OpenDir(std::u16string_view path) {
        auto content = MakeRef<QtSfsOpenDir>();
        content->m_path = MakeStr(path);
        return Ask(SfsRequest::OpenDir, content);
    }
    Reply ReadDir(const RefPtr<QtBytes>& handle) {
        auto content = MakeRef<QtSfsReadDir>();
        content->m_handle = handle;
        return Ask(SfsRequest::ReadDir, content);
    }
    // The handle of a successful OpenDir.
    RefPtr<QtBytes> OpenedDir(std::u16string_view path) {
        Reply reply = OpenDir(path);
        auto* handle = reply.As<QtSfsHandle>();
        EXPECT_NE(handle, nullptr) << "OpenDir failed: " << static_cast<int>(reply.Status());
        return handle ? handle->m_handle : MakeRef<QtBytes>();
    }
    // Every name listed until Eof, batch by batch.
    std::vector<std::vector<std::u16string>> ListAll(std::u16string_view path) {
        RefPtr<QtBytes> handle = OpenedDir(path);
        std::vector<std::vector<std::u16string>> batches;
        for (int guard = 0; guard < 1000; ++guard) {
            Reply reply = ReadDir(handle);
            auto* names = reply.As<QtSfsNames>();
            if (!names) {
                EXPECT_EQ(reply.Status(), SfsStatusCode::Eof);
                break;
            }
            std::vector<std::u16string> batch;
            for (QtSfsName* name : *names->m_names) batch.push_back(S(name->m_fileName));
            batches.push_back(batch);
        }
        return batches;
    }

    Reply Remove(std::u16string_view path) {
        auto content = MakeRef<QtSfsRemove>();
        content->m_fileName = MakeStr(path);
        return Ask(SfsRequest::Remove, content);
    }
    Reply RmDir(std::u16string_view path) {
        auto content = MakeRef<QtSfsRmDir>();
        content->m_path = MakeStr(path);
        return Ask(SfsRequest::RmDir, content);
    }
    Reply MkDir(std::u16string_view path, RefPtr<QtSfsAttrs> attrs = MakeRef<QtSfsAttrs>()) {
        auto content = MakeRef<QtSfsMkDir>();
        content->m_path = MakeStr(path);
        content->m_attrs = std::move(attrs);
        return Ask(SfsRequest::MkDir, content);
    }
    Reply RealPath(std::u16string_view path, SfsRealPath control) {
        auto content = MakeRef<QtSfsRealPath>();
        content->m_originalPath = MakeStr(path);
        content->m_controlByte = control;
        return Ask(SfsRequest::RealPath, content);
    }
    Reply Rename(std::u16string_view from, std::u16string_view to, uint32_t flags) {
        auto content = MakeRef<QtSfsRename>();
        content->m_oldPath = MakeStr(from);
        content->m_newPath = MakeStr(to);
        content->m_flags = flags;
        return Ask(SfsRequest::Rename, content);
    }
    Reply ReadLink(std::u16string_view path) {
        auto content = MakeRef<QtSfsReadLink>();
        content->m_path = MakeStr(path);
        return Ask(SfsRequest::ReadLink, content);
    }
    Reply Link(std::u16string_view newLink, std::u16string_view existing, bool symbolic) {
        auto content = MakeRef<QtSfsLink>();
        content->m_newLinkPath = MakeStr(newLink);
        content->m_existingPath = MakeStr(existing);
        content->m_symlink = symbolic;
        return Ask(SfsRequest::Link, content);
    }

    // ---- The disk below the root ----------------------------------------------------
    std::string Disk(const std::string& relative) const {
        return relative.empty() ? m_root.LinuxPath() : m_root.LinuxPath() + "/" + relative;
    }
    // The Windows path of a name below the root, as log texts quote it.
    std::u16string Win(const std::string& relative) const {
        std::u16string path = m_root.WinPath();
        if (!relative.empty()) path += u"\\";
        for (char c : relative) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
        return path;
    }
    void MakeFile(const std::string& relative, const std::string& text = "data") const {
        std::ofstream(Disk(relative)) << text;
    }
    void MakeDir(const std::string& relative) const {
        std::filesystem::create_directories(Disk(relative));
    }
    void MakeLink(const std::string& target, const std::string& relative) const {
        MakeDiskLink(target, Disk(relative));
    }
    // Whether the name exists, a dangling link included.
    bool Exists(const std::string& linuxPath) const {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(linuxPath, error));
    }
    std::string ReadText(const std::string& linuxPath) const {
        std::ifstream in(linuxPath);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The factory of a loaded module; unset, the tests run the static twin.
    KilnSfsProvider* (*m_create)() = nullptr;
    TempRoot m_root;
    TempRoot m_outside;  // a directory the provider must never reach
    std::unique_ptr<ProviderRun> m_run;
};

}  // namespace kiln::KilnSfsWin::test
