// Read and Write: bytes between an open file and the client, through the
// provider's one shared OVERLAPPED record. A file opened in text mode ignores
// the positions in the requests and moves its own text position instead
// (TextSeek sets it); the bytes themselves pass unchanged in both modes.
// FSync makes what was written durable.
#include <algorithm>

#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

// Windows takes at most a DWORD per call; a write longer than this goes in
// several calls, each of them whole.
constexpr size_t kMaxWriteChunk = 0x40000000;

// No file on either system can reach this far, so a position at or beyond it
// (the end-of-file value left by a TextSeek that ran off the end, say) is past
// the end of any file.
constexpr uint64_t kUnreachablePosition = uint64_t{1} << 63;

void PrepareOverlapped(OVERLAPPED& overlapped, uint64_t position) {
    overlapped.Offset = static_cast<DWORD>(position);
    overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
    overlapped.Internal = 0;
    overlapped.InternalHigh = 0;
    ResetEvent(overlapped.hEvent);
}

WString Quoted(const FsObj& object) {
    return u"'" + WString(object.WinPath()->Str()) + u"'";
}

FsFile& RequireFile(KilnSfsWin& provider, const QtSfsRequest& request, const char16_t* action) {
    FsFile* file = provider.Extract(request).AsFile();
    if (file != nullptr) return *file;
    provider.LogRequest(request, SfsLogType::Error,
                        WString(u"KilnSfsWin: ") + action + u" failed with InvalidHandle.");
    RaiseStatus(SfsStatusCode::InvalidHandle);
}

}  // namespace

bool AwaitOverlapped(KilnSfsWin& provider, HANDLE file, DWORD* transferred) {
    OVERLAPPED& overlapped = provider.Overlapped();
    for (;;) {
        provider.WaitOnHub(overlapped.hEvent);
        if (GetOverlappedResult(file, &overlapped, transferred, FALSE)) return true;
        if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
    }
}

bool OverlappedRead(KilnSfsWin& provider, HANDLE file, uint64_t position, uint32_t count,
                    datavect<uint8_t>& buffer) {
    if (position >= kUnreachablePosition) {
        buffer.clear();
        return true;
    }
    // The read fills the buffer, and the size is cut to what it read below.
    if (!buffer.resize_for_overwrite(count)) throw SystemError(u"", ERROR_NOT_ENOUGH_MEMORY);
    OVERLAPPED& overlapped = provider.Overlapped();
    PrepareOverlapped(overlapped, position);
    DWORD bytesRead = 0;
    bool endOfFile = false;
    if (!ReadFile(file, buffer.data(), count, &bytesRead, &overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
            endOfFile = true;
        } else if (error != ERROR_IO_PENDING) {
            throw SystemError(u"ReadFile()", error);
        } else if (!AwaitOverlapped(provider, file, &bytesRead)) {
            error = GetLastError();
            if (error != ERROR_HANDLE_EOF) throw SystemError(u"GetOverlappedResult()", error);
            endOfFile = true;
        }
    }
    buffer.resize(endOfFile ? 0 : std::min<size_t>(bytesRead, count));
    return endOfFile;
}

void OverlappedWrite(KilnSfsWin& provider, HANDLE file, uint64_t position, const uint8_t* data,
                     size_t size) {
    OVERLAPPED& overlapped = provider.Overlapped();
    while (size != 0) {
        const DWORD chunk = static_cast<DWORD>(std::min(size, kMaxWriteChunk));
        PrepareOverlapped(overlapped, position);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, &overlapped)) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) throw SystemError(u"WriteFile()", error);
            if (!AwaitOverlapped(provider, file, &written))
                throw SystemError(u"GetOverlappedResult()", GetLastError());
        }
        // A call that reports success without writing anything would loop
        // forever; the device is not taking the data.
        if (written == 0 || written > chunk) throw SystemError(u"WriteFile()", ERROR_WRITE_FAULT);
        data += written;
        size -= written;
        if (position != kEndOfFilePosition) position += written;
    }
}

void KilnSfsWin::Read(const QtSfsRequest& request) {
    const auto& content = *QuantumPtrCast<const QtSfsRead>(request.m_content.get());
    FsFile& file = RequireFile(*this, request, u"Reading file");

    const uint64_t position = file.m_textMode ? file.m_textPosition : content.m_offset;
    const uint32_t count = std::min(content.m_length, kMaxReadSize);
    // Made only for a failure: every READ of a transfer comes this way.
    auto action = [&] {
        return u"Reading " + NumberToText(count) + u" bytes at position " + NumberToText(position) +
               u" from file " + Quoted(file);
    };

    // The bytes go from the file straight into the buffer that is sent.
    auto bytes = MakeRef<QtBytes>();
    datavect<uint8_t>& buffer = bytes->Storage();
    const bool endOfFile = WithWindowsErrors(*this, request, action, [&] {
        return OverlappedRead(*this, file.m_file, position, count, buffer);
    });
    if (endOfFile) {
        LogRequest(
            request, SfsLogType::Warning,
            u"KilnSfsWin: " + action() + u" failed" + StatusSuffix(SfsStatusCode::Eof) + u".");
        return AnswerCode(request, SfsStatusCode::Eof);
    }
    const size_t bytesRead = buffer.size();
    if (file.m_textMode) file.m_textPosition += bytesRead;
    // A nearly full buffer goes as it is; a short one is not worth keeping
    // the whole allocation for while the answer travels.
    if (bytesRead < buffer.capacity() / 4 * 3) {
        datavect<uint8_t> exact;
        if (exact.reserve(bytesRead) && exact.append(buffer.data(), bytesRead))
            buffer = std::move(exact);
    }
    file.m_accounting.RecordRead(position, bytesRead);
    if (LogWanted(request))
        LogRequest(request, u"KilnSfsWin: Read " + NumberToText(uint64_t{bytesRead}) +
                                u" bytes at position " + NumberToText(position) + u" from file " +
                                Quoted(file) + u".");
    auto data = MakeRef<QtSfsData>();
    data->m_data = bytes;
    data->m_endOfFile = false;
    AnswerData(request, data);
}

void KilnSfsWin::Write(const QtSfsRequest& request) {
    const auto& content = *QuantumPtrCast<const QtSfsWrite>(request.m_content.get());
    FsFile& file = RequireFile(*this, request, u"Writing file");

    const uint64_t position = file.m_append     ? kEndOfFilePosition
                              : file.m_textMode ? file.m_textPosition
                                                : content.m_offset;
    const bool append = position == kEndOfFilePosition;
    const uint8_t* data = content.m_data ? content.m_data->Data() : nullptr;
    const uint64_t length = content.m_data ? content.m_data->Size() : 0;
    // An offset of all ones writes at the end of the file, as Windows takes
    // it; a front end that must refuse it (no file reaches it) does so.

    // Made only for a failure: every WRITE of a transfer comes this way.
    auto action = [&] {
        return append ? u"Appending " + NumberToText(length) + u" bytes to file " + Quoted(file)
                      : u"Writing " + NumberToText(length) + u" bytes at position " +
                            NumberToText(position) + u" to file " + Quoted(file);
    };
    WithWindowsErrors(*this, request, action,
                      [&] { OverlappedWrite(*this, file.m_file, position, data, length); });

    if (file.m_textMode && !append) file.m_textPosition += length;
    if (append) {
        file.m_accounting.RecordAppend(length);
    } else {
        file.m_accounting.RecordWrite(position, length);
    }
    if (LogWanted(request)) {
        WString text(append ? u"KilnSfsWin: Appended " : u"KilnSfsWin: Wrote ");
        text += NumberToText(length);
        text += u" bytes ";
        if (!append) text += u"at position " + NumberToText(position) + u" ";
        text += u"to file " + Quoted(file) + u".";
        LogRequest(request, text);
    }
    AnswerCode(request, SfsStatusCode::Ok);
}

void KilnSfsWin::FSync(const QtSfsRequest& request) {
    FsFile& file = RequireFile(*this, request, u"Flushing file");
    // Windows flushes only through a handle that may write; one that cannot
    // has written nothing of its own to flush, and clients (sshfs's sync of
    // a file it opened for reading) expect the POSIX answer, success. (On
    // Linux the platform flushes the file through such a handle too.)
    const bool canWrite = file.m_accessMask & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE |
                                               GENERIC_ALL | MAXIMUM_ALLOWED);
    WithWindowsErrors(*this, request, u"Flushing file " + Quoted(file), [&] {
        if (!FlushFileBuffers(file.m_file) && (canWrite || GetLastError() != ERROR_ACCESS_DENIED))
            throw SystemError(u"FlushFileBuffers()", GetLastError());
    });
    LogRequest(request, u"KilnSfsWin: Flushed file " + Quoted(file) + u".");
    AnswerCode(request, SfsStatusCode::Ok);
}

}  // namespace kiln::KilnSfsWin
