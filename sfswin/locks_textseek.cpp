// Block, Unblock and TextSeek: byte-range locks on an open file, and moving
// the text position of a file opened in text mode to the start of a line.
// All three take a file handle; directories and the drive list are refused.
#include <algorithm>

#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr char16_t kFilesOnly[] = u"Operation is supported for files only.";
constexpr char16_t kInvalidBlockFlag[] = u"The block flag specified is invalid.";
constexpr char16_t kNotTextMode[] = u"The file was not opened in text mode.";
constexpr char16_t kRangePast2To64[] = u"The range ends past the largest file offset.";
constexpr char16_t kTooManyLocks[] = u"Too many byte-range locks are held.";

// The scan reads a small file in one chunk that just holds it and a large one
// (or one of unknown size) in chunks of this size.
constexpr uint32_t kLargestScanChunk = 0x20000;
constexpr uint32_t kSmallestScanChunk = 1024;

WString Quoted(const FsObj& object) {
    return u"'" + WString(object.WinPath()->Str()) + u"'";
}

// Block and Unblock refuse anything but a file, each with its own status.
FsFile& RequireLockableFile(KilnSfsWin& provider, const QtSfsRequest& request, const char16_t* verb,
                            SfsStatusCode refusal) {
    FsObj& object = provider.Extract(request);
    if (FsFile* file = object.AsFile()) return *file;
    WString text(u"KilnSfsWin: ");
    text += verb;
    text += object.AsRoot() ? WString(u" logical drives") : u" directory " + Quoted(object);
    text += u" failed. ";
    text += kFilesOnly;
    provider.LogRequest(request, SfsLogType::Error, text);
    RaiseStatus(KilnSfsProvider::MakeStatus(refusal, kFilesOnly));
}

// Runs a lock call that was started on the shared record; SystemError with
// the call's name when it fails, or GetOverlappedResult's when it failed
// while pending.
template <class Start>
void RunLockCall(KilnSfsWin& provider, HANDLE file, uint64_t offset, const char16_t* callName,
                 Start&& start) {
    OVERLAPPED& overlapped = provider.Overlapped();
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    overlapped.Internal = 0;
    overlapped.InternalHigh = 0;
    ResetEvent(overlapped.hEvent);
    if (start(overlapped)) return;
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) throw SystemError(callName, error);
    DWORD ignored = 0;
    if (!AwaitOverlapped(provider, file, &ignored))
        throw SystemError(u"GetOverlappedResult()", GetLastError());
}

uint32_t ScanChunkSize(HANDLE file) {
    uint32_t chunk = kLargestScanChunk;
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return chunk;
    if (high != 0) return chunk;
    while (chunk > kSmallestScanChunk && chunk / 2 >= low) chunk /= 2;
    return chunk;
}

}  // namespace

void KilnSfsWin::Block(const QtSfsRequest& request) {
    const auto& content = dynamic_cast<const QtSfsBlock&>(*request.m_content);
    FsFile& file = RequireLockableFile(*this, request, u"Blocking", SfsStatusCode::Failure);

    const uint32_t flags = content.m_flags;
    if (!(flags & (SfsBlockFlags::BlockRead | SfsBlockFlags::BlockWrite))) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Blocking file " + Quoted(file) + u" failed" +
                       StatusSuffix(SfsStatusCode::InvalidParameter) + u". " + kInvalidBlockFlag);
        RaiseStatus(MakeStatus(SfsStatusCode::InvalidParameter, kInvalidBlockFlag));
    }
    const bool exclusive = (flags & SfsBlockFlags::BlockWrite) != 0;
    const DWORD lockFlags =
        LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : DWORD{0});
    const WString range =
        NumberToText(content.m_length) + u" bytes at position " + NumberToText(content.m_offset) +
        u" in " + (exclusive ? u"exclusive" : u"shared") + u" mode for file " + Quoted(file);
    try {
        RunLockCall(*this, file.m_file, content.m_offset, u"LockFileEx()", [&](OVERLAPPED& ov) {
            return LockFileEx(file.m_file, lockFlags, 0, static_cast<DWORD>(content.m_length),
                              static_cast<DWORD>(content.m_length >> 32), &ov);
        });
    } catch (const SystemError& error) {
        // A range someone else holds is refused as such, not as a conflict
        // with the whole file; a range past 2^64 and a lock beyond the
        // platform's bounds say so to the client.
        SfsStatusCode code = MapWindowsError(error.Code());
        std::u16string_view text;
        if (error.Code() == ERROR_LOCK_VIOLATION) code = SfsStatusCode::RangeLockRefused;
        if (error.Code() == ERROR_INVALID_LOCK_RANGE) {
            code = SfsStatusCode::InvalidParameter;
            text = kRangePast2To64;
        }
        if (error.Code() == ERROR_NOT_ENOUGH_QUOTA) {
            code = SfsStatusCode::QuotaExceeded;
            text = kTooManyLocks;
        }
        const HandlerFailure failure = DescribeHandlerFailure(u"Blocking " + range, code, error);
        if (text.empty()) FailRequest(*this, request, failure);
        LogRequest(request, SfsLogType::Error, failure.logText);
        RaiseStatus(MakeStatus(code, text));
    }
    LogRequest(request, u"KilnSfsWin: Blocked " + range + u".");
    AnswerCode(request, SfsStatusCode::Ok);
}

void KilnSfsWin::Unblock(const QtSfsRequest& request) {
    const auto& content = dynamic_cast<const QtSfsUnblock&>(*request.m_content);
    FsFile& file =
        RequireLockableFile(*this, request, u"Unblocking", SfsStatusCode::NoMatchingByteRangeLock);

    const WString range = NumberToText(content.m_length) + u" bytes at position " +
                          NumberToText(content.m_offset) + u" for file " + Quoted(file);
    try {
        RunLockCall(*this, file.m_file, content.m_offset, u"UnlockFileEx()", [&](OVERLAPPED& ov) {
            return UnlockFileEx(file.m_file, 0, static_cast<DWORD>(content.m_length),
                                static_cast<DWORD>(content.m_length >> 32), &ov);
        });
    } catch (const SystemError& error) {
        SfsStatusCode code = error.Code() == ERROR_NOT_LOCKED
                                 ? SfsStatusCode::NoMatchingByteRangeLock
                                 : MapWindowsError(error.Code());
        FailRequest(*this, request, DescribeHandlerFailure(u"Unblocking " + range, code, error));
    }
    LogRequest(request, u"KilnSfsWin: Unblocked " + range + u".");
    AnswerCode(request, SfsStatusCode::Ok);
}

void KilnSfsWin::TextSeek(const QtSfsRequest& request) {
    const auto& content = dynamic_cast<const QtSfsTextSeek&>(*request.m_content);
    FsFile* file = Extract(request).AsFile();
    if (file == nullptr) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Moving position of text file failed with InvalidHandle.");
        RaiseStatus(SfsStatusCode::InvalidHandle);
    }
    if (!file->m_textMode) {
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: Moving position of text file " + Quoted(*file) + u" failed" +
                       StatusSuffix(SfsStatusCode::InvalidParameter) + u". " + kNotTextMode);
        RaiseStatus(MakeStatus(SfsStatusCode::InvalidParameter, kNotTextMode));
    }
    const uint64_t line = content.m_lineNumber;
    if (line == 0) {
        file->m_textPosition = 0;
        return AnswerCode(request, SfsStatusCode::Ok);
    }

    const WString action =
        u"Moving position of text file " + Quoted(*file) + u" to line " + NumberToText(line);
    uint64_t remaining = line;
    uint64_t position = 0;
    bool ranOffTheEnd = false;
    WithWindowsErrors(*this, request, action, [&] {
        const uint32_t chunkSize = ScanChunkSize(file->m_file);
        datavect<uint8_t> chunk;
        uint8_t previous = 0;
        for (;;) {
            if (position != 0) StopIfInputEnded(request, action);
            const bool endOfFile = OverlappedRead(*this, file->m_file, position, chunkSize, chunk);
            size_t walked = 0;
            // A line ends with a CR-LF pair only, and the pair may straddle
            // two chunks.
            while (remaining != 0 && walked < chunk.size()) {
                const uint8_t byte = chunk[walked];
                const uint8_t before = walked == 0 ? previous : chunk[walked - 1];
                ++walked;
                if (byte == 0x0A && before == 0x0D) --remaining;
            }
            position += walked;
            if (!chunk.empty()) previous = chunk[chunk.size() - 1];
            // A chunk that came back empty without end of file would leave
            // the scan standing still.
            if (remaining != 0 && (endOfFile || chunk.empty())) {
                ranOffTheEnd = true;
                return;
            }
            if (remaining == 0) return;
        }
    });

    if (ranOffTheEnd) {
        file->m_textPosition = kEndOfFilePosition;
        LogRequest(request, u"KilnSfsWin: Moved position of text file " + Quoted(*file) +
                                u" to Eof - at the end of line " + NumberToText(line - remaining) +
                                u".");
        return AnswerCode(request, SfsStatusCode::Ok);
    }
    file->m_textPosition = position;
    LogRequest(request, u"KilnSfsWin: Moved position of text file " + Quoted(*file) + u" to " +
                            NumberToText(position) + u" - at the begining of line " +
                            NumberToText(line) + u".");
    AnswerCode(request, SfsStatusCode::Ok);
}

}  // namespace kiln::KilnSfsWin
