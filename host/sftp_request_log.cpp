#include "host/sftp_request_log.h"

#include <ctime>
#include <iterator>

#include "host/host_os.h"
#include "host/sftp_attrs.h"

namespace kiln::sftp {

std::string LogPath(const SftpSession&, std::string_view clientPath) {
    return EscapeForLog(clientPath);
}

void LogSentStatus(Logger& log, uint32_t code) {
    // OpenSSH's words for the codes of version 3; the later drafts' names
    // for the rest, which its server never sends.
    static constexpr const char* kTexts[] = {"Success",
                                             "End of file",
                                             "No such file",
                                             "Permission denied",
                                             "Failure",
                                             "Bad message",
                                             "No connection",
                                             "Connection lost",
                                             "Operation unsupported",
                                             "Invalid handle",
                                             "No such path",
                                             "File already exists",
                                             "Write protected",
                                             "No media",
                                             "No space on file system",
                                             "Quota exceeded",
                                             "Unknown principal",
                                             "Lock conflict",
                                             "Directory not empty",
                                             "Not a directory",
                                             "Invalid file name",
                                             "Link loop",
                                             "Cannot delete",
                                             "Invalid parameter",
                                             "File is a directory",
                                             "Byte range lock conflict",
                                             "Byte range lock refused",
                                             "Delete pending",
                                             "File corrupt",
                                             "Owner invalid",
                                             "Group invalid",
                                             "No matching byte range lock"};
    const LogLevel level = code <= 1 ? LogLevel::Debug : LogLevel::Info;
    if (!log.Enabled(level)) return;
    const char* text = code < std::size(kTexts) ? kTexts[code] : "Unknown error";
    log.Log(level, std::string("sent status ") + text);
}

std::string OpenFlagsText(uint32_t access, uint32_t flags) {
    std::string text;
    auto add = [&text](const char* word) {
        if (!text.empty()) text += ',';
        text += word;
    };
    if (access & SfsAccessMask::ReadData) add("READ");
    if (access & SfsAccessMask::WriteData) add("WRITE");
    if (flags & SfsOpenFlags::AppendData) add("APPEND");
    switch (flags & SfsOpenFlags::AccessDisposition) {
        case SfsOpenFlags::CreateNew:
            add("CREATE");
            add("EXCL");
            break;
        case SfsOpenFlags::CreateTruncate:
            add("CREATE");
            add("TRUNCATE");
            break;
        case SfsOpenFlags::OpenOrCreate:
            add("CREATE");
            break;
        case SfsOpenFlags::TruncateExisting:
            add("TRUNCATE");
            break;
        default:
            break;
    }
    return text;
}

void LogSetAttrs(SftpSession& s, std::string_view clientPath, const QtSfsAttrs& a) {
    if (!s.Log().Enabled(LogLevel::Info)) return;
    const std::string prefix = "set \"" + LogPath(s, clientPath) + "\" ";
    const uint32_t f = a.m_validAttrFlags;
    if (f & SfsAttrFlags::Size)
        LogInfo(s, [&] { return prefix + "size " + std::to_string(a.m_size); });
    if (f & SfsAttrFlags::Permissions) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", a.m_permissions);
        LogInfo(s, [&] { return prefix + "mode " + mode; });
    }
    if (f & SfsAttrFlags::ModifyTime) {
        char when[64] = "";
        const time_t t = static_cast<time_t>(a.m_modifyTime);
        tm local{};
        if (os::LocalTime(t, local)) std::strftime(when, sizeof when, "%Y%m%d-%H:%M:%S", &local);
        LogInfo(s, [&] { return prefix + "modtime " + when; });
    }
    if ((f & SfsAttrFlags::OwnerGroup) && a.m_owner && a.m_group) {
        // Numbers where the names are Linux accounts, as OpenSSH logs them;
        // the names as given otherwise.
        auto uid = UidOfPrincipal(a.m_owner->sv());
        auto gid = GidOfPrincipal(a.m_group->sv());
        LogInfo(s, [&] {
            return prefix + "owner " + (uid ? std::to_string(*uid) : Narrow(a.m_owner->sv())) +
                   " group " + (gid ? std::to_string(*gid) : Narrow(a.m_group->sv()));
        });
    }
}

}  // namespace kiln::sftp
