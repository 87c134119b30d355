// RealPath, Rename, ReadLink and Link: the requests that work on names rather
// than on contents. RealPath answers the path as the host sent it (the host
// canonicalises); ReadLink answers a link's own text, and only when that
// leads inside the provider: anything else looks like a path that does not
// exist, so that a link cannot tell a client where outside it points.
#include <cstddef>
#include <cstring>

#include "nocrtlib/dll_loader.h"
#include "sfswin/attrs_read.h"
#include "sfswin/error_mapping.h"
#include "sfswin/handle_closer.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr char16_t kNtPrefix[] = u"\\??\\";
constexpr char16_t kNoSymlinks[] = u"Symbolic links are not supported by the OS.";
constexpr char16_t kNoHardLinks[] = u"Hard links are not supported by the OS.";
constexpr char16_t kNotALink[] = u"The path specified is not a symbolic link.";
constexpr char16_t kLinkWouldLeave[] =
    u"The symbolic link would lead outside this provider from its new place.";

// A failed rename or hard link; one that would carry a symbolic link to a
// place from which its text leads outside is refused with its own text.
[[noreturn]] void FailNameChange(KilnSfsWin& provider, const QtSfsRequest& request,
                                 const WString& action, const SystemError& error) {
    if (error.Code() != ERROR_CANT_ACCESS_FILE)
        FailRequest(provider, request, DescribeHandlerFailure(action, error));
    const HandlerFailure failure =
        DescribeHandlerFailure(action, SfsStatusCode::PermissionDenied, error);
    provider.LogRequest(request, SfsLogType::Error, failure.logText);
    RaiseStatus(KilnSfsProvider::MakeStatus(SfsStatusCode::PermissionDenied, kLinkWouldLeave));
}

[[noreturn]] void FailWithText(KilnSfsWin& provider, const QtSfsRequest& request,
                               const WString& logText, SfsStatusCode code,
                               std::u16string_view message) {
    provider.LogRequest(request, SfsLogType::Error, logText);
    RaiseStatus(KilnSfsProvider::MakeStatus(code, message));
}

// The virtual directory of logical drives has no file behind it to ask.
RefPtr<QtSfsAttrs> LogicalDrivesAttrs() {
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = SfsAttrFlags::Size | SfsAttrFlags::LinkCount;
    attrs->m_type = SfsType::Directory;
    attrs->m_size = 0;
    attrs->m_linkCount = 1;
    return attrs;
}

// The attributes of the path itself; a final link is not followed.
RefPtr<QtSfsAttrs> AttrsOfPath(const WString& callPath) {
    PathInfo info = GetInfoByPath(callPath, false);
    const bool isLink = (info.openFlags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    return AttrsFromHandleInfo(info.info, isLink);
}

// A symbolic link's own text, as its reparse data holds it.
struct LinkText {
    WString text;  // relative: as made; absolute: a plain Windows path
    bool relative = false;
};

// The name may have been replaced since it was looked at, by a directory or
// a file: it is opened as either, and one that is no link fails with
// ERROR_NOT_A_REPARSE_POINT.
LinkText ReadLinkText(const WString& callPath) {
    HANDLE link =
        CreateFileW(callPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (link == INVALID_HANDLE_VALUE) ThrowLastError(u"CreateFile()");
    HandleCloser closer(link);
    datavect<BYTE> buffer;
    if (!buffer.resize(MAXIMUM_REPARSE_DATA_BUFFER_SIZE))
        throw SystemError(u"DeviceIoControl()", ERROR_OUTOFMEMORY);
    DWORD returned = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &returned, nullptr))
        ThrowLastError(u"DeviceIoControl()");
    const auto* data = reinterpret_cast<const REPARSE_DATA_BUFFER*>(buffer.data());
    const auto& symlink = data->SymbolicLinkReparseBuffer;
    const size_t names = offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
    if (returned < names || data->ReparseTag != IO_REPARSE_TAG_SYMLINK ||
        size_t{symlink.SubstituteNameOffset} + symlink.SubstituteNameLength > returned - names ||
        symlink.SubstituteNameLength % sizeof(char16_t) != 0)
        throw SystemError(u"DeviceIoControl()", ERROR_INVALID_REPARSE_DATA);
    std::u16string text(symlink.SubstituteNameLength / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), buffer.data() + names + symlink.SubstituteNameOffset,
                symlink.SubstituteNameLength);
    LinkText read;
    read.relative = (symlink.Flags & SYMLINK_FLAG_RELATIVE) != 0;
    read.text = WString(std::u16string_view(text));
    return read;
}

// Windows refuses to put a file in the place of a directory, or the
// reverse, as access denied; the client learns which of the two it was.
SfsStatusCode RenameStatus(const WString& oldCallPath, const WString& newCallPath, DWORD error) {
    if (error == ERROR_ACCESS_DENIED) {
        const DWORD from = GetFileAttributesW(oldCallPath.c_str());
        const DWORD to = GetFileAttributesW(newCallPath.c_str());
        if (from != INVALID_FILE_ATTRIBUTES && to != INVALID_FILE_ATTRIBUTES) {
            const bool fromDir = from & FILE_ATTRIBUTE_DIRECTORY;
            const bool toDir = to & FILE_ATTRIBUTE_DIRECTORY;
            if (!fromDir && toDir) return SfsStatusCode::FileIsADirectory;
            if (fromDir && !toDir) return SfsStatusCode::NotADirectory;
        }
    }
    return MapWindowsError(error);
}

}  // namespace

void KilnSfsWin::RealPath(const QtSfsRequest& request) {
    auto* content = dynamic_cast<const QtSfsRealPath*>(request.m_content.get());
    if (content->m_composePaths && content->m_composePaths->Count() != 0)
        throw Exit(ErrCls::Kiln, 0,
                   u"KilnSfsWin: Received unexpected ComposePaths in " + EnumText(request.m_type) +
                       u" packet");
    std::u16string_view sfsPath =
        content->m_originalPath ? content->m_originalPath->Str().sv() : std::u16string_view();
    MappedPath mapped = MapSfsPath(sfsPath);
    const SfsRealPath control = content->m_controlByte;
    const bool statAlways = control == SfsRealPath::StatAlways;

    RefPtr<QtSfsAttrs> attrs;
    if (control != SfsRealPath::NoCheck) {
        if (mapped.check != PathCheck::Valid) {
            // Logs the reason and answers NoSuchPath.
            if (statAlways) ExtractSfsPath(request);
        } else if (mapped.path.empty()) {
            attrs = LogicalDrivesAttrs();
        } else {
            try {
                attrs = AttrsOfPath(CallPath(mapped.path));
            } catch (const SystemError& error) {
                if (statAlways) {
                    SfsStatusCode code = MapWindowsError(error.Code());
                    LogRequest(request, SfsLogType::Error,
                               u"KilnSfsWin: Querying real path for '" + mapped.path + u"' failed" +
                                   StatusSuffix(code) +
                                   u". Failed at reading basic path attributes. " +
                                   error.Description());
                    RaiseStatus(code);
                }
            }
        }
    }

    if (attrs) {
        // A success: logged as every other one is, whatever the attributes.
        LogRequest(request, SfsLogType::Info,
                   u"KilnSfsWin: Queried real path with attributes for '" + mapped.path + u"'.");
    } else {
        attrs = MakeRef<QtSfsAttrs>();
        LogRequest(request, SfsLogType::Trace,
                   u"KilnSfsWin: Queried real path for '" + mapped.path + u"'.");
    }
    auto name = MakeRef<QtSfsName>();
    name->m_fileName = content->m_originalPath ? content->m_originalPath : MakeStr(u"");
    name->m_attrs = attrs;
    AnswerName(request, name);
}

void KilnSfsWin::Rename(const QtSfsRequest& request) {
    auto* content = dynamic_cast<const QtSfsRename*>(request.m_content.get());
    PathPair paths = ExtractSfsPaths(request);
    const WString& oldPath = paths.first;
    const WString& newPath = paths.second;
    DWORD flags = 0;
    if (content->m_flags & SfsRenameFlags::Overwrite) flags |= MOVEFILE_REPLACE_EXISTING;
    // Only a rename that need not be atomic may cross volumes by copying.
    if ((content->m_flags & SfsRenameFlags::Atomic) == 0) flags |= MOVEFILE_COPY_ALLOWED;

    if (!MoveFileExW(CallPath(oldPath).c_str(), CallPath(newPath).c_str(), flags)) {
        SystemError error(u"MoveFileEx()", GetLastError());
        const WString action = u"Moving '" + oldPath + u"' to '" + newPath + u"'";
        if (error.Code() == ERROR_CANT_ACCESS_FILE) FailNameChange(*this, request, action, error);
        FailRequest(
            *this, request,
            DescribeHandlerFailure(
                action, RenameStatus(CallPath(oldPath), CallPath(newPath), error.Code()), error));
    }
    LogRequest(request, u"KilnSfsWin: Moved '" + oldPath + u"' to '" + newPath + u"'.");
    AnswerCode(request, SfsStatusCode::Ok);
}

// A link answers its own text: a relative text as made (it stays relative
// for the client too, so a tree keeps working where it is moved or restored),
// an absolute one as the client's path of its target. Either way the target
// must lie inside the provider as seen lexically from the link's directory;
// whether it exists does not matter, so a dangling link reads as well.
void KilnSfsWin::ReadLink(const QtSfsRequest& request) {
    WString path = ExtractSfsPath(request);
    WString callPath = CallPath(path);
    const WString action = u"Resolving symbolic link '" + path + u"'";
    if (!SymbolicLinkSupport())
        FailWithText(*this, request,
                     u"KilnSfsWin: " + action + u" failed with OpUnsupported. " + kNoSymlinks,
                     SfsStatusCode::OpUnsupported, kNoSymlinks);

    LinkText link;
    const auto notALink = [&] {
        FailWithText(*this, request, u"KilnSfsWin: " + action + u" failed. " + kNotALink,
                     SfsStatusCode::Failure, kNotALink);
    };
    WithWindowsErrors(*this, request, action, [&] {
        DWORD attributes = GetFileAttributesW(callPath.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError(u"GetFileAttributes()");
        if (!IsSymlink(callPath, &attributes)) notALink();
        try {
            link = ReadLinkText(callPath);
        } catch (const SystemError& error) {
            if (error.Code() == ERROR_NOT_A_REPARSE_POINT) notALink();
            throw;
        }
    });

    const std::u16string_view text = link.text.sv();
    MappedPath target;
    if (link.relative) {
        target = ResolveLinkText(RootPath(), path, text);
    } else if (text.substr(0, 4) == kNtPrefix) {
        target = FromLongPath(u"\\\\?\\" + WString(text.substr(4)));
    } else {
        target = MappedPath{CheckWinPath(text), link.text};
    }
    const WString& shown = target.path.empty() ? link.text : target.path;
    if (target.check != PathCheck::Valid) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: " + action + u" to '" + shown + u"' failed with NoSuchPath. " +
                       (target.check == PathCheck::Outside
                            ? u" Resolved path points outside this provider."
                            : u" Resolved path is invalid."));
        RaiseStatus(SfsStatusCode::NoSuchPath);
    }

    // A text relative to the link's own directory goes back as made; one
    // taken from the volume's root is absolute for the client.
    const bool keepText = link.relative && (text.empty() || text[0] != u'\\');
    const WString& answered = keepText ? link.text : target.path;
    auto name = MakeRef<QtSfsName>();
    name->m_fileName = MakeStr(keepText ? LinkTextToSfs(text) : MapWinPathToSfs(target.path));
    name->m_attrs = MakeRef<QtSfsAttrs>();
    LogRequest(request,
               u"KilnSfsWin: Resolved symbolic link '" + path + u"' to '" + answered + u"'.");
    AnswerName(request, name);
}

void KilnSfsWin::Link(const QtSfsRequest& request) {
    auto* content = dynamic_cast<const QtSfsLink*>(request.m_content.get());
    PathPair paths = ExtractSfsPaths(request);
    const WString& newLink = paths.first;
    const WString& existing = paths.second;
    const bool symbolic = content->m_symlink;
    const char16_t* typeWord = symbolic ? u" symbolic" : u" hard";
    const bool available = symbolic ? SymbolicLinkSupport() && sysentry::HasCreateSymbolicLink()
                                    : sysentry::HasCreateHardLink();
    if (!available) {
        const char16_t* sentence = symbolic ? kNoSymlinks : kNoHardLinks;
        FailWithText(*this, request,
                     WString(u"KilnSfsWin: Creating") + typeWord + u" link '" + newLink +
                         u"' to '" + existing + u"' failed with OpUnsupported. " + sentence,
                     SfsStatusCode::OpUnsupported, sentence);
    }

    WString newCall = CallPath(newLink);
    WString existingCall = CallPath(existing);
    const char16_t* targetWord = u"";
    const char16_t* remark = u"";
    try {
        if (symbolic) {
            DWORD flags = 0;
            targetWord = u" file";
            DWORD attributes = GetFileAttributesW(existingCall.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES) {
                if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    targetWord = u" directory";
                    flags = SYMBOLIC_LINK_FLAG_DIRECTORY;
                }
            } else {
                SystemError error(u"GetFileAttributes()", GetLastError());
                remark = u" Warning: failed to query target path type.";
                LogRequest(request, SfsLogType::Warning,
                           WString(u"KilnSfsWin: Querying file type for") + typeWord +
                               u" link target '" + newLink + u"' failed. " + error.Description());
            }
            // A relative target is made with its text, which the link keeps.
            const RefPtr<QtStr>& given = content->m_existingPath;
            const bool relative = given && !given->sv().empty() && given->sv()[0] != u'/';
            const WString linkText = relative ? LinkTextToWindows(given->sv()) : existingCall;
            if (!sysentry::CreateSymbolicLinkW(newCall.c_str(), linkText.c_str(), flags))
                ThrowLastError(u"CreateSymbolicLink()");
        } else {
            if (!sysentry::CreateHardLinkW(newCall.c_str(), existingCall.c_str(), nullptr))
                ThrowLastError(u"CreateHardLink()");
        }
    } catch (const SystemError& error) {
        FailNameChange(*this, request,
                       WString(u"Creating") + typeWord + u" link '" + newLink + u"' to" +
                           targetWord + u" '" + existing + u"'",
                       error);
    }
    LogRequest(request, WString(u"KilnSfsWin: Created") + typeWord + u" link '" + newLink +
                            u"' to" + targetWord + u" '" + existing + u"'." + remark);
    AnswerCode(request, SfsStatusCode::Ok);
}

}  // namespace kiln::KilnSfsWin
