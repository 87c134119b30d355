#include "sftp_fake_provider.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/sftp_attrs.h"
#include "host/sftp_paths.h"

namespace kiln::test {

FakeProvider::FakeProvider(std::string root) : FakeFileSystem(std::move(root)) {
    RegisterPort(m_init);
    RegisterPort(m_request);
    RegisterPort(m_eof);
}

FakeFileSystem::~FakeFileSystem() noexcept(false) {
    for (auto& [h, o] : m_handles)
        if (o.fd >= 0) close(o.fd);
}

RefPtr<QtSfsProviderInfo> FakeFileSystem::Info() {
    auto info = MakeRef<QtSfsProviderInfo>();
    auto vendor = MakeRef<QtSfsVendorInfo>();
    vendor->m_vendorName = MakeStr(u"Test");
    vendor->m_productName = MakeStr(u"FakeProvider");
    vendor->m_productVersion = MakeStr(u"1.0");
    info->m_vendorInfo = vendor;
    info->m_maxReadSize = 0x400000;
    info->m_supportedAttrFields = 0x2BFD;
    info->m_supportedAttrBits = 0xFF;
    info->m_supportedOpenFlags = 0xBFEF;
    info->m_supportedOpenBlockVector = 0x00FF;
    info->m_supportedBlockVector = 0x000C;
    return info;
}

void FakeProvider::Run() {
    InPort* const first[2] = {&m_init, &m_eof};
    RefPtr<Quantum> q = ReceiveAny(first);
    if (QuantumCast<QtEof>(q)) {
        m_sawEof = true;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_initMessage = QuantumCast<QtSfsInit>(q);
    }
    InPort* const serving[2] = {&m_request, &m_eof};
    for (;;) {
        q = ReceiveAny(serving);
        if (QuantumCast<QtEof>(q)) {
            m_sawEof = true;
            return;
        }
        auto request = QuantumCast<QtSfsRequest>(q);
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_gateChanged.wait(lock, [&] { return m_gateOpen; });
            m_last[request->m_type] = request;
        }
        Serve(*request);
    }
}

void FakeProvider::CloseGate() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_gateOpen = false;
}

void FakeProvider::OpenGate() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_gateOpen = true;
    m_gateChanged.notify_all();
}

RefPtr<QtSfsRequest> FakeProvider::LastRequest(SfsRequest type) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_last.find(type);
    return it == m_last.end() ? nullptr : it->second;
}

RefPtr<QtSfsInit> FakeProvider::InitMessage() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_initMessage;
}

void FakeProvider::Send(const QtSfsRequest& request, SfsResponse type,
                        const RefPtr<QuantumS>& content) {
    auto response = MakeRef<QtSfsResponse>();
    response->m_id = request.m_id;
    response->m_type = type;
    response->m_content = content;
    SendOn(RequireHub(), *request.m_outResponse, response);
}

void FakeFileSystem::Status(const QtSfsRequest& request, SfsStatusCode code) {
    Send(request, SfsResponse::Status, QtSfsStatus::Make(code));
}

void FakeFileSystem::StatusFromErrno(const QtSfsRequest& request, int error) {
    SfsStatusCode code = SfsStatusCode::Failure;
    switch (error) {
        case ENOENT:
            code = SfsStatusCode::NoSuchFile;
            break;
        case EACCES:
        case EPERM:
            code = SfsStatusCode::PermissionDenied;
            break;
        case EEXIST:
            code = SfsStatusCode::FileAlreadyExists;
            break;
        case ENOTEMPTY:
            code = SfsStatusCode::DirNotEmpty;
            break;
        case ENOTDIR:
            code = SfsStatusCode::NotADirectory;
            break;
        case EISDIR:
            code = SfsStatusCode::FileIsADirectory;
            break;
        case EOPNOTSUPP:
            code = SfsStatusCode::OpUnsupported;
            break;
        default:
            break;
    }
    Status(request, code);
}

std::string FakeFileSystem::Local(const RefPtr<QtStr>& sfsPath) const {
    std::string p = sftp::FromSfsPath(sfsPath->sv());
    return p == "/" ? m_root : m_root + p;
}

RefPtr<QtSfsAttrs> FakeFileSystem::AttrsOf(const std::string& path, bool follow, int fd) const {
    struct stat st {};
    int rc = fd >= 0 ? fstat(fd, &st) : follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    if (rc != 0) return nullptr;
    auto a = MakeRef<QtSfsAttrs>();
    a->m_type = S_ISDIR(st.st_mode)   ? SfsType::Directory
                : S_ISLNK(st.st_mode) ? SfsType::Symlink
                                      : SfsType::Regular;
    a->m_size = static_cast<uint64_t>(st.st_size);
    a->m_permissions = st.st_mode & 0777;
    a->m_accessTime = static_cast<uint64_t>(st.st_atim.tv_sec);
    a->m_accessTimeNs = static_cast<uint32_t>(st.st_atim.tv_nsec);
    a->m_modifyTime = static_cast<uint64_t>(st.st_mtim.tv_sec);
    a->m_modifyTimeNs = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    a->m_linkCount = static_cast<uint32_t>(st.st_nlink);
    auto owner = sftp::PrincipalOfUid(st.st_uid);
    auto group = sftp::PrincipalOfGid(st.st_gid);
    a->m_owner = MakeStr(owner.value_or(u"nobody@Unix User"));
    a->m_group = MakeStr(group.value_or(u"nogroup@Unix Group"));
    a->m_validAttrFlags = SfsAttrFlags::Size | SfsAttrFlags::Permissions |
                          SfsAttrFlags::AccessTime | SfsAttrFlags::ModifyTime |
                          SfsAttrFlags::SubsecondTimes | SfsAttrFlags::LinkCount |
                          SfsAttrFlags::OwnerGroup;
    return a;
}

void FakeFileSystem::Serve(const QtSfsRequest& request) {
    const RefPtr<QuantumS>& c = request.m_content;
    // Paths below /status/N are answered with status N, whatever the type.
    auto statusHook = [&](const RefPtr<QtStr>& path) {
        std::string p = path ? Narrow(path->sv()) : "";
        if (p == "/die") throw KilnComponent::Exit(ErrCls::Kiln, 0, u"FakeProvider: told to die");
        if (p.rfind("/status/", 0) != 0) return false;
        Status(request, static_cast<SfsStatusCode>(std::stoul(p.substr(8))));
        return true;
    };
    auto handleOf = [&](const RefPtr<QtBytes>& h) -> Open* {
        auto it = h ? m_handles.find(std::string(h->View())) : m_handles.end();
        if (it == m_handles.end()) {
            Status(request, SfsStatusCode::InvalidHandle);
            return nullptr;
        }
        return &it->second;
    };
    auto newHandle = [&](Open open) {
        std::string h = "h" + std::to_string(m_nextHandle++);
        m_handles[h] = std::move(open);
        auto reply = MakeRef<QtSfsHandle>();
        reply->m_handle = MakeRef<QtBytes>(reinterpret_cast<const uint8_t*>(h.data()), h.size());
        Send(request, SfsResponse::Handle, reply);
    };
    auto ok = [&](int rc) {
        rc == 0 ? Status(request, SfsStatusCode::Ok) : StatusFromErrno(request, errno);
    };

    switch (request.m_type) {
        case SfsRequest::Open: {
            auto q = QuantumCast<QtSfsOpen>(c);
            if (statusHook(q->m_fileName)) return;
            int flags = O_CLOEXEC;
            bool rd = q->m_desiredAccess & SfsAccessMask::ReadData;
            bool wr = q->m_desiredAccess & (SfsAccessMask::WriteData | SfsAccessMask::AppendData);
            flags |= rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
            switch (q->m_flags & SfsOpenFlags::AccessDisposition) {
                case SfsOpenFlags::CreateNew:
                    flags |= O_CREAT | O_EXCL;
                    break;
                case SfsOpenFlags::CreateTruncate:
                    flags |= O_CREAT | O_TRUNC;
                    break;
                case SfsOpenFlags::OpenOrCreate:
                    flags |= O_CREAT;
                    break;
                case SfsOpenFlags::TruncateExisting:
                    flags |= O_TRUNC;
                    break;
                default:
                    break;
            }
            if (q->m_flags & SfsOpenFlags::AppendData) flags |= O_APPEND;
            mode_t mode = (q->m_attrs && (q->m_attrs->m_validAttrFlags & SfsAttrFlags::Permissions))
                              ? q->m_attrs->m_permissions
                              : 0666;
            std::string path = Local(q->m_fileName);
            int fd = open(path.c_str(), flags, mode);
            if (fd < 0) return StatusFromErrno(request, errno);
            if (q->m_attrs && (q->m_attrs->m_validAttrFlags & SfsAttrFlags::Permissions))
                fchmod(fd, mode);
            return newHandle(Open{fd, false, false, path});
        }
        case SfsRequest::FSync: {
            auto q = QuantumCast<QtSfsFSync>(c);
            Open* o = handleOf(q->m_handle);
            if (!o) return;
            return ok(fsync(o->fd));
        }
        case SfsRequest::Close: {
            auto q = QuantumCast<QtSfsClose>(c);
            Open* o = handleOf(q->m_handle);
            if (!o) return;
            if (o->fd >= 0) close(o->fd);
            m_handles.erase(std::string(q->m_handle->View()));
            return Status(request, SfsStatusCode::Ok);
        }
        case SfsRequest::Read: {
            auto q = QuantumCast<QtSfsRead>(c);
            Open* o = handleOf(q->m_handle);
            if (!o) return;
            std::vector<uint8_t> buffer(q->m_length);
            ssize_t n = pread(o->fd, buffer.data(), buffer.size(), static_cast<off_t>(q->m_offset));
            if (n < 0) return StatusFromErrno(request, errno);
            if (n == 0) return Status(request, SfsStatusCode::Eof);
            auto data = MakeRef<QtSfsData>();
            data->m_data = MakeRef<QtBytes>(buffer.data(), static_cast<size_t>(n));
            return Send(request, SfsResponse::Data, data);
        }
        case SfsRequest::Write: {
            auto q = QuantumCast<QtSfsWrite>(c);
            Open* o = handleOf(q->m_handle);
            if (!o) return;
            ssize_t n = pwrite(o->fd, q->m_data->Data(), q->m_data->Size(),
                               static_cast<off_t>(q->m_offset));
            return ok(n == static_cast<ssize_t>(q->m_data->Size()) ? 0 : -1);
        }
        case SfsRequest::Stat: {
            auto q = QuantumCast<QtSfsStat>(c);
            if (statusHook(q->m_path)) return;
            auto attrs = AttrsOf(Local(q->m_path), q->m_followSymlink);
            if (!attrs) return StatusFromErrno(request, errno);
            return Send(request, SfsResponse::Attrs, attrs);
        }
        case SfsRequest::FStat: {
            auto q = QuantumCast<QtSfsFStat>(c);
            Open* o = handleOf(q->m_handle);
            if (!o) return;
            auto attrs = AttrsOf(o->path, true, o->directory ? -1 : o->fd);
            if (!attrs) return StatusFromErrno(request, errno);
            return Send(request, SfsResponse::Attrs, attrs);
        }
        case SfsRequest::SetStat:
        case SfsRequest::LSetStat: {
            auto q = QuantumCast<QtSfsSetStat>(c);
            if (statusHook(q->m_path)) return;
            std::string path = Local(q->m_path);
            const uint32_t f = q->m_attrs->m_validAttrFlags;
            const int at = request.m_type == SfsRequest::LSetStat ? AT_SYMLINK_NOFOLLOW : 0;
            if ((f & SfsAttrFlags::Size) &&
                truncate(path.c_str(), static_cast<off_t>(q->m_attrs->m_size)) != 0)
                return StatusFromErrno(request, errno);
            if ((f & SfsAttrFlags::Permissions) &&
                fchmodat(AT_FDCWD, path.c_str(), q->m_attrs->m_permissions, at) != 0)
                return StatusFromErrno(request, errno);
            if (f & (SfsAttrFlags::AccessTime | SfsAttrFlags::ModifyTime)) {
                timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
                if (f & SfsAttrFlags::AccessTime)
                    times[0] = {static_cast<time_t>(q->m_attrs->m_accessTime), 0};
                if (f & SfsAttrFlags::ModifyTime)
                    times[1] = {static_cast<time_t>(q->m_attrs->m_modifyTime), 0};
                if (utimensat(AT_FDCWD, path.c_str(), times, at) != 0)
                    return StatusFromErrno(request, errno);
            }
            return Status(request, SfsStatusCode::Ok);
        }
        case SfsRequest::OpenDir: {
            auto q = QuantumCast<QtSfsOpenDir>(c);
            if (statusHook(q->m_path)) return;
            std::string path = Local(q->m_path);
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) return StatusFromErrno(request, errno);
            if (!S_ISDIR(st.st_mode)) return Status(request, SfsStatusCode::NotADirectory);
            return newHandle(Open{-1, true, false, path});
        }
        case SfsRequest::ReadDir: {
            auto q = QuantumCast<QtSfsReadDir>(c);
            Open* o = handleOf(q->m_handle);
            if (!o) return;
            if (!o->directory) return Status(request, SfsStatusCode::InvalidHandle);
            if (o->listed) return Status(request, SfsStatusCode::Eof);
            o->listed = true;
            auto names = MakeRef<QtSfsNames>();
            names->m_names = MakeRef<QtVectS<QtSfsName>>();
            DIR* d = opendir(o->path.c_str());
            while (dirent* e = d ? readdir(d) : nullptr) {
                std::string n = e->d_name;
                if (n == "." || n == "..") continue;
                auto name = MakeRef<QtSfsName>();
                name->m_fileName = MakeStr(sftp::ToSfsPath(n).sv());
                // Like the real backend: a listing has type and size only.
                auto full = AttrsOf(o->path + "/" + n, false);
                auto a = MakeRef<QtSfsAttrs>();
                if (full) {
                    a->m_type = full->m_type;
                    a->m_size = full->m_size;
                    a->m_validAttrFlags = SfsAttrFlags::Size;
                }
                name->m_attrs = a;
                names->m_names->Append(name);
            }
            if (d) closedir(d);
            names->m_endOfList = true;
            return Send(request, SfsResponse::Names, names);
        }
        case SfsRequest::Remove: {
            auto q = QuantumCast<QtSfsRemove>(c);
            if (statusHook(q->m_fileName)) return;
            return ok(unlink(Local(q->m_fileName).c_str()));
        }
        case SfsRequest::MkDir: {
            auto q = QuantumCast<QtSfsMkDir>(c);
            if (statusHook(q->m_path)) return;
            mode_t mode = (q->m_attrs->m_validAttrFlags & SfsAttrFlags::Permissions)
                              ? q->m_attrs->m_permissions
                              : 0777;
            std::string path = Local(q->m_path);
            if (mkdir(path.c_str(), mode) != 0) return StatusFromErrno(request, errno);
            return ok(chmod(path.c_str(), mode));
        }
        case SfsRequest::RmDir: {
            auto q = QuantumCast<QtSfsRmDir>(c);
            if (statusHook(q->m_path)) return;
            return ok(rmdir(Local(q->m_path).c_str()));
        }
        case SfsRequest::Rename: {
            auto q = QuantumCast<QtSfsRename>(c);
            if (statusHook(q->m_oldPath)) return;
            std::string from = Local(q->m_oldPath), to = Local(q->m_newPath);
            if (!(q->m_flags & SfsRenameFlags::Overwrite) && access(to.c_str(), F_OK) == 0)
                return Status(request, SfsStatusCode::FileAlreadyExists);
            return ok(rename(from.c_str(), to.c_str()));
        }
        case SfsRequest::Link: {
            auto q = QuantumCast<QtSfsLink>(c);
            if (statusHook(q->m_newLinkPath)) return;
            // A relative symbolic link target is the link's text, kept as given.
            const bool relative = q->m_symlink && !q->m_existingPath->sv().starts_with(u"/");
            std::string link = Local(q->m_newLinkPath);
            std::string target = relative ? sftp::FromSfsPath(q->m_existingPath->sv())
                                          : Local(q->m_existingPath);
            return ok(q->m_symlink ? symlink(target.c_str(), link.c_str())
                                   : ::link(target.c_str(), link.c_str()));
        }
        case SfsRequest::ReadLink: {
            auto q = QuantumCast<QtSfsReadLink>(c);
            if (statusHook(q->m_path)) return;
            char buffer[4096];
            ssize_t n = readlink(Local(q->m_path).c_str(), buffer, sizeof buffer - 1);
            if (n < 0) return StatusFromErrno(request, errno);
            std::string target(buffer, static_cast<size_t>(n));
            if (target.rfind(m_root, 0) == 0) target = target.substr(m_root.size());
            auto name = MakeRef<QtSfsName>();
            name->m_fileName = MakeStr(sftp::ToSfsPath(target).sv());
            name->m_attrs = MakeRef<QtSfsAttrs>();
            return Send(request, SfsResponse::Name, name);
        }
        case SfsRequest::RealPath: {
            auto q = QuantumCast<QtSfsRealPath>(c);
            if (statusHook(q->m_originalPath)) return;
            auto attrs = AttrsOf(Local(q->m_originalPath), false);
            if (!attrs && q->m_controlByte == SfsRealPath::StatAlways)
                return StatusFromErrno(request, errno);
            auto name = MakeRef<QtSfsName>();
            name->m_fileName = q->m_originalPath;
            name->m_attrs = attrs ? attrs : MakeRef<QtSfsAttrs>();
            return Send(request, SfsResponse::Name, name);
        }
        case SfsRequest::SpaceAvail: {
            auto q = QuantumCast<QtSfsSpaceAvail>(c);
            if (statusHook(q->m_path)) return;
            struct statvfs vfs {};
            if (statvfs(Local(q->m_path).c_str(), &vfs) != 0)
                return StatusFromErrno(request, errno);
            auto reply = MakeRef<QtSfsSpaceAvailReply>();
            reply->m_bytesOnDevice = uint64_t{vfs.f_blocks} * vfs.f_frsize;
            reply->m_unusedBytesOnDevice = uint64_t{vfs.f_bfree} * vfs.f_frsize;
            reply->m_unusedBytesAvailableToUser = uint64_t{vfs.f_bavail} * vfs.f_frsize;
            reply->m_bytesPerAllocationUnit = static_cast<uint32_t>(vfs.f_frsize);
            return Send(request, SfsResponse::SpaceAvailReply, reply);
        }
        default:
            return Status(request, SfsStatusCode::OpUnsupported);
    }
}

}  // namespace kiln::test
