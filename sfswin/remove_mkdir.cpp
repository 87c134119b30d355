// Remove, MkDir and RmDir: one Windows call each. When Remove or RmDir fails,
// a second look at the path tells a client that it named the wrong kind of
// object rather than leaving it with "access denied". MkDir applies what the
// creation itself cannot set afterwards; a step that fails there leaves the
// directory in place and only the log says that it is incomplete.
#include "sfswin/attrs_translation.h"
#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/handle_closer.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kSettableAttributes = 0x31A7;

// INVALID_FILE_ATTRIBUTES when the look itself fails: the mapped status
// stands then.
DWORD SecondLook(const WString& callPath) {
    return GetFileAttributesW(callPath.c_str());
}

HANDLE OpenNewDirectory(const WString& callPath, DWORD access, DWORD share) {
    HANDLE handle = CreateFileW(callPath.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) ThrowLastError(u"CreateFile()");
    return handle;
}

// What the creation of a directory leaves to do afterwards, each step on its
// own: a failure is a warning and marks the result partial.
class NewDirectorySteps {
  public:
    NewDirectorySteps(KilnSfsWin& provider, const QtSfsRequest& request, const WString& path,
                      const WString& callPath)
        : m_provider(provider), m_request(request), m_path(path), m_callPath(callPath) {}

    bool Partial() const { return m_partial; }

    void ApplyTimes(const NativeFileTimes& times) {
        if (!times.Any()) return;
        try {
            HANDLE handle = OpenNewDirectory(m_callPath, FILE_WRITE_ATTRIBUTES, kShareAll);
            HandleCloser closer(handle);
            if (!SetFileTime(handle, times.creation.Get(), times.access.Get(),
                             times.modification.Get()))
                ThrowLastError(u"SetFileTime()");
        } catch (const SystemError& error) {
            Warn(u"Setting file times for", error);
        }
    }

    void ApplyBits(const QtSfsAttrs& attrs) {
        if ((attrs.m_validAttrFlags & SfsAttrFlags::Bits) == 0) return;
        DWORD current = GetFileAttributesW(m_callPath.c_str());
        if (current == INVALID_FILE_ATTRIBUTES) {
            Warn(u"Setting attributes for", SystemError(u"GetFileAttributes()", GetLastError()));
            return;
        }
        DWORD wanted = ApplyAttrBits(attrs, current);
        if (((wanted ^ current) & kSettableAttributes) != 0 &&
            !SetFileAttributesW(m_callPath.c_str(), wanted & kSettableAttributes))
            Warn(u"Setting attributes for", SystemError(u"SetFileAttributes()", GetLastError()));

        if (Differs(attrs, SfsAttrBits::Compressed, current, FILE_ATTRIBUTE_COMPRESSED)) {
            const bool compress = (attrs.m_attrBits & SfsAttrBits::Compressed) != 0;
            try {
                HANDLE handle =
                    OpenNewDirectory(m_callPath, FILE_READ_DATA | FILE_WRITE_DATA, kShareAll);
                HandleCloser closer(handle);
                SetCompression(m_provider, handle, compress);
            } catch (const SystemError& error) {
                Warn(compress ? u"Enabling compression for" : u"Disabling compression for", error);
            }
        }
        if (Differs(attrs, SfsAttrBits::Encrypted, current, FILE_ATTRIBUTE_ENCRYPTED)) {
            const bool encrypt = (attrs.m_attrBits & SfsAttrBits::Encrypted) != 0;
            try {
                m_provider.RunEncryption(m_callPath, encrypt);
            } catch (const SystemError& error) {
                Warn(encrypt ? u"Enabling encryption for" : u"Disabling encryption for", error);
            }
        }
        // Sparse means nothing for a directory.
    }

  private:
    static bool Differs(const QtSfsAttrs& attrs, uint32_t bit, DWORD current, DWORD attribute) {
        if ((attrs.m_attrBitsValid & bit) == 0) return false;
        return ((attrs.m_attrBits & bit) != 0) != ((current & attribute) != 0);
    }

    void Warn(std::u16string_view action, const SystemError& error) {
        m_partial = true;
        m_provider.LogRequest(m_request, SfsLogType::Warning,
                              WString(u"KilnSfsWin: ") + action + u" newly created directory '" +
                                  m_path + u"' failed. " + error.Description());
    }

    KilnSfsWin& m_provider;
    const QtSfsRequest& m_request;
    const WString& m_path;
    const WString& m_callPath;
    bool m_partial = false;
};

}  // namespace

void KilnSfsWin::Remove(const QtSfsRequest& request) {
    WString path = ExtractSfsPath(request);
    WString callPath = CallPath(path);
    if (DeleteFileW(callPath.c_str())) {
        LogRequest(request, u"KilnSfsWin: Removed file '" + path + u"'.");
        return AnswerCode(request, SfsStatusCode::Ok);
    }
    SystemError error(u"DeleteFile()", GetLastError());
    SfsStatusCode code = MapWindowsError(error.Code());
    DWORD attributes = SecondLook(callPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        code = SfsStatusCode::FileIsADirectory;
    FailRequest(*this, request,
                DescribeHandlerFailure(u"Removing file '" + path + u"'", code, error));
}

void KilnSfsWin::RmDir(const QtSfsRequest& request) {
    WString path = ExtractSfsPath(request);
    WString callPath = CallPath(path);
    if (RemoveDirectoryW(callPath.c_str())) {
        LogRequest(request, u"KilnSfsWin: Removed directory '" + path + u"'.");
        return AnswerCode(request, SfsStatusCode::Ok);
    }
    SystemError error(u"RemoveDirectory()", GetLastError());
    SfsStatusCode code = MapWindowsError(error.Code());
    DWORD attributes = SecondLook(callPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        code = SfsStatusCode::NotADirectory;
    FailRequest(*this, request,
                DescribeHandlerFailure(u"Removing directory '" + path + u"'", code, error));
}

void KilnSfsWin::MkDir(const QtSfsRequest& request) {
    WString path = ExtractSfsPath(request);
    RequestAttrs attrs = ExtractSfsAttrs(request);
    NativeFileTimes times = NativeTimes(*this, request, attrs, path);
    std::unique_ptr<NativeFileSecurity> security =
        NativeSecurity(*this, request, attrs, path, nullptr, nullptr, true);

    WString callPath = CallPath(path);
    SECURITY_ATTRIBUTES securityAttributes{};
    securityAttributes.nLength = sizeof securityAttributes;
    securityAttributes.lpSecurityDescriptor = security ? security->Descriptor() : nullptr;
    securityAttributes.bInheritHandle = FALSE;
    if (!CreateDirectoryW(callPath.c_str(), &securityAttributes)) {
        SystemError error(u"CreateDirectory()", GetLastError());
        FailRequest(*this, request,
                    DescribeHandlerFailure(u"Creating directory '" + path + u"'", error));
    }

    NewDirectorySteps steps(*this, request, path, callPath);
    steps.ApplyTimes(times);
    steps.ApplyBits(*attrs.attrs);

    WString text = u"KilnSfsWin: Created directory '" + path + u"'.";
    if (steps.Partial()) text += u" Unable to apply all attributes.";
    LogRequest(request, text);
    AnswerCode(request, SfsStatusCode::Ok);
}

}  // namespace kiln::KilnSfsWin
