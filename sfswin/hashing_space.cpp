// CheckFile and SpaceAvail: digests of a byte range of a file, block by
// block, with an algorithm that the client and the cryptographic provider
// both know; and the size and free space of the volume behind a path.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include "crypto/zu.h"
#include "nocrtlib/dll_loader.h"
#include "sfswin/error_mapping.h"
#include "sfswin/file_io.h"
#include "sfswin/handle_closer.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

constexpr uint32_t kMinBlockSize = 256;
constexpr uint32_t kMaxChunk = 128 * 1024;
constexpr uint32_t kMinChunk = 1024;
constexpr uint64_t kAllBits = ~uint64_t{0};

constexpr char16_t kBlockSizeMessage[] = u"Block size must be least 256 bytes in size.";
constexpr char16_t kUnsupportedHashMessage[] =
    u"Unsupported hash algorithm proposed. Supported hash algorithms: ";
constexpr char16_t kDriveListName[] = u"logical drives";
constexpr char16_t kDriveListMessage[] = u"Operation is not supported on this particular path.";

// The four fields that both CheckFile requests carry.
struct HashRange {
    std::u16string_view algorithms;
    uint64_t startOffset;
    uint64_t length;
    uint32_t blockSize;
};

template <class Content>
HashRange RangeOf(const Content& content) {
    return HashRange{
        content.m_hashAlgList ? content.m_hashAlgList->Str().sv() : std::u16string_view(),
        content.m_startOffset, content.m_length, content.m_blockSize};
}

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

bool EqualFoldingAscii(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

// Calls `visit` with each comma-separated name; stops when it answers true.
template <class Visit>
bool AnyName(std::u16string_view list, Visit&& visit) {
    for (;;) {
        size_t comma = list.find(u',');
        if (visit(list.substr(0, comma))) return true;
        if (comma == std::u16string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

// The first name of the provider's list that the client also proposed: the
// provider's order decides, so a client cannot talk it into a weaker digest
// by naming that one first. Empty when there is none.
std::u16string_view ChooseAlgorithm(std::u16string_view supported, std::u16string_view proposed) {
    std::u16string_view chosen;
    AnyName(supported, [&](std::u16string_view name) {
        if (name.empty()) return false;
        bool wanted = AnyName(proposed, [&](std::u16string_view candidate) {
            return EqualFoldingAscii(name, candidate);
        });
        if (wanted) chosen = name;
        return wanted;
    });
    return chosen;
}

uint64_t FileSizeOf(HANDLE file) {
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return kAllBits;
    return (static_cast<uint64_t>(high) << 32) | low;
}

// Small ranges are read in one call with a small buffer, large ones 128 KiB
// at a time.
uint32_t ChunkSize(uint64_t size, uint64_t position, uint64_t remaining) {
    if (position > size) return kMinChunk;
    const uint64_t n = std::min(remaining, size - position);
    uint32_t chunk = kMaxChunk;
    while (chunk > kMinChunk && n <= 0xFFFFFFFFu && chunk / 2 >= n) chunk /= 2;
    return chunk;
}

// How many digests the range asks for, on a file of this size.
uint64_t BlocksIn(uint64_t size, const HashRange& range) {
    if (range.startOffset >= size) return 0;
    uint64_t n = size - range.startOffset;
    if (range.length != 0) n = std::min(n, range.length);
    if (range.blockSize == 0) return 1;
    return n / range.blockSize + (n % range.blockSize != 0 ? 1 : 0);
}

// The refusal of a reply that cannot reach the client in one packet.
[[noreturn]] void RefuseLargeReply(KilnSfsWin& provider, const QtSfsRequest& request,
                                   std::u16string_view action, uint64_t digestBytes) {
    const WString message = u"The reply would carry " + NumberToText(digestBytes) +
                            u" bytes of digests, more than the " +
                            NumberToText(provider.MaxCheckFileReply()) +
                            u" that fit in one reply. Ask for larger blocks or a shorter range.";
    provider.LogRequest(request, SfsLogType::Error,
                        u"KilnSfsWin: " + WString(action) + u" failed. " + message);
    RaiseStatus(KilnSfsWin::MakeStatus(SfsStatusCode::Failure, message.sv()));
}

// The digests of the range, one per block in file order. The number of
// digests is checked against the reply bound before anything is read (and
// again as they come, should the file grow meanwhile), so memory stays
// bounded whatever the range; the client's leaving stops the work.
RefPtr<QtVectS<QtBytes>> HashBlocks(KilnSfsWin& provider, const QtSfsRequest& request,
                                    std::u16string_view action, HANDLE file, const HashRange& range,
                                    Zu::Hash& hash) {
    const uint32_t digestSize = hash.DigestSize();
    const uint64_t maxBlocks = provider.MaxCheckFileReply() / std::max<uint32_t>(digestSize, 1);
    const uint64_t size = FileSizeOf(file);
    const uint64_t blocks = BlocksIn(size, range);
    if (blocks > maxBlocks) RefuseLargeReply(provider, request, action, blocks * digestSize);

    auto hashes = MakeRef<QtVectS<QtBytes>>();
    uint64_t remaining = range.length != 0 ? range.length : kAllBits;
    // Kept in 64 bits: a whole range of more than 4 GiB is still one block.
    const uint64_t blockSize = range.blockSize != 0 ? range.blockSize : kAllBits;
    uint64_t blockRemainder = blockSize;
    uint64_t bytesInBlock = 0;
    uint64_t position = range.startOffset;

    const uint32_t chunk = ChunkSize(size, position, remaining);
    datavect<uint8_t> buffer;
    if (!buffer.reserve(chunk)) throw SystemError(u"", ERROR_NOT_ENOUGH_MEMORY);

    bool endOfFile = false;
    while (!endOfFile && remaining != 0) {
        if (position != range.startOffset) provider.StopIfInputEnded(request, action);
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(chunk, remaining));
        endOfFile = OverlappedRead(provider, file, position, count, buffer);
        const size_t bytesRead = buffer.size();
        // A read that brings nothing would otherwise be asked again forever.
        if (bytesRead == 0) endOfFile = true;
        position += bytesRead;

        size_t walked = 0;
        do {
            const auto step = static_cast<uint32_t>(
                std::min({blockRemainder, remaining, static_cast<uint64_t>(bytesRead - walked)}));
            if (step != 0) hash.Update(buffer.data() + walked, step);
            walked += step;
            remaining -= step;
            blockRemainder -= step;
            bytesInBlock += step;
            if (blockRemainder == 0 || remaining == 0 || endOfFile) {
                if (bytesInBlock != 0) {
                    if (hashes->Count() >= maxBlocks)
                        RefuseLargeReply(provider, request, action,
                                         (hashes->Count() + 1) * digestSize);
                    auto digest = MakeRef<QtBytes>();
                    if (!digest->Storage().resize(digestSize) || !hashes->Append(digest))
                        throw SystemError(u"", ERROR_NOT_ENOUGH_MEMORY);
                    hash.Digest(digest->Storage().data(), digestSize);
                    bytesInBlock = 0;
                }
                if (blockRemainder == 0) blockRemainder = blockSize;
            }
        } while (walked < bytesRead && remaining != 0);
    }
    return hashes;
}

HANDLE OpenForHashing(const WString& callPath) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(callPath.c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES, kShare,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    // Some files grant reading the data but not the attributes.
    file = CreateFileW(callPath.c_str(), FILE_READ_DATA, kShare, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw SystemError(u"CreateFile()", GetLastError());
    return file;
}

}  // namespace

void KilnSfsWin::CheckFile(const QtSfsRequest& request) {
    HandleCloser opened;  // the file CheckFile opened by name
    HANDLE file = INVALID_HANDLE_VALUE;
    WString path;
    HashRange range{};

    if (request.m_type == SfsRequest::CheckFileName) {
        const auto& content = dynamic_cast<const QtSfsCheckFileName&>(*request.m_content);
        range = RangeOf(content);
        path = ExtractSfsPath(request);
        const WString callPath = CallPath(path.sv());
        const DWORD attributes = GetFileAttributesW(callPath.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            LogRequest(request, SfsLogType::Error,
                       u"KilnSfsWin: Hashing file failed with FileIsADirectory.");
            RaiseStatus(SfsStatusCode::FileIsADirectory);
        }
        file = WithWindowsErrors(*this, request, u"Hashing file '" + path + u"'",
                                 [&] { return OpenForHashing(callPath); });
        opened.Hold(file);
    } else {
        const auto& content = dynamic_cast<const QtSfsCheckFileHandle&>(*request.m_content);
        range = RangeOf(content);
        FsFile* object = Extract(request).AsFile();
        if (object == nullptr) {
            LogRequest(request, SfsLogType::Error,
                       u"KilnSfsWin: Hashing file failed with InvalidHandle.");
            RaiseStatus(SfsStatusCode::InvalidHandle);
        }
        path = object->WinPath()->Str();
        file = object->m_file;
    }

    const WString action = u"Hashing file '" + path + u"'";
    if (range.blockSize != 0 && range.blockSize < kMinBlockSize) {
        LogRequest(
            request, SfsLogType::Error,
            u"KilnSfsWin: " + action + u" failed with InvalidParameter. " + kBlockSizeMessage);
        RaiseStatus(MakeStatus(SfsStatusCode::InvalidParameter, kBlockSizeMessage));
    }

    RefPtr<QtSfsCheckFileReply> reply;
    try {
        reply = WithWindowsErrors(*this, request, action.sv(), [&] {
            RefPtr<Zu::Provider> provider = Zu::Provider::Get();
            const WString supported = provider->UnkeyedHashList();
            const WString chosen(ChooseAlgorithm(supported.sv(), range.algorithms));
            if (chosen.empty()) {
                const WString message = kUnsupportedHashMessage + supported;
                LogRequest(request, SfsLogType::Error,
                           u"KilnSfsWin: " + action + u" failed with InvalidParameter. " + message);
                RaiseStatus(MakeStatus(SfsStatusCode::InvalidParameter, message.sv()));
            }
            Zu::Hash hash(provider, chosen.c_str());
            auto result = MakeRef<QtSfsCheckFileReply>();
            result->m_hashAlgUsed = MakeStr(chosen.sv());
            result->m_hashes = HashBlocks(*this, request, action.sv(), file, range, hash);
            return result;
        });
    } catch (const ZuException& error) {
        // The client learns why, the loader's message above all, since
        // nothing else tells it that hashing is out of service.
        const WString description = error.Description();
        LogRequest(request, SfsLogType::Error,
                   u"KilnSfsWin: " + action + u" failed. " + description);
        RaiseStatus(MakeStatus(SfsStatusCode::Failure, description.sv()));
    }

    LogRequest(request, u"KilnSfsWin: Hashed file '" + path + u"'.");
    AnswerCheckFileReply(request, reply);
}

void KilnSfsWin::SpaceAvail(const QtSfsRequest& request) {
    const WString path = ExtractSfsPath(request);
    if (path.empty()) {
        LogRequest(request, SfsLogType::Error,
                   WString(u"KilnSfsWin: Querying available space on ") + kDriveListName +
                       u"' failed. Operation is not supported for " + kDriveListName + u".");
        RaiseStatus(MakeStatus(SfsStatusCode::Failure, kDriveListMessage));
    }
    const WString action = u"Querying available space on " + path + u"'";

    WString root;
    if (sysentry::HasGetVolumePathName()) {
        const WString callPath = CallPath(path.sv());
        // Room for the zero and for the backslash that ends a volume root:
        // a path that names a mount point itself comes back one longer.
        WString volume;
        if (!volume.resize(callPath.size() + 1)) {
            FailRequest(*this, request,
                        DescribeHandlerFailure(action, SystemError(u"", ERROR_NOT_ENOUGH_MEMORY)));
        }
        if (!sysentry::GetVolumePathNameW(callPath.c_str(), volume.mutable_data(),
                                          static_cast<DWORD>(volume.stored_length()))) {
            FailRequest(*this, request,
                        DescribeHandlerFailure(
                            action, SystemError(u"GetVolumePathName()", GetLastError())));
        }
        volume = WString(std::u16string_view(volume.c_str()));
        if (volume.size() > 3 && volume.sv().starts_with(u"\\\\?\\"))
            // The volume root usually lies above the provider's root, so the
            // check of the converted path does not matter here.
            root = FromLongPath(volume.sv()).path;
        else
            root = volume;
    } else {
        const std::u16string_view view = path.sv();
        if (view.size() < 3 ||
            (view[1] != u':' && view.find(u'\\', 2) != std::u16string_view::npos)) {
            LogRequest(request, SfsLogType::Error,
                       u"KilnSfsWin: " + action + u" failed with NoSuchPath. Path is invalid.");
            RaiseStatus(SfsStatusCode::NoSuchPath);
        }
        root = WString(view.substr(0, 3));
    }
    if (root.empty() || root[root.size() - 1] != u'\\') root += u'\\';
    // A name yet to be made (where an upload will go) is answered for the
    // volume of its directory; a path whose directory is missing, or lies
    // outside the root, is answered as missing.
    if (GetFileAttributesW(CallPath(path.sv()).c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        const size_t slash = path.sv().rfind(u'\\');
        DWORD directory = INVALID_FILE_ATTRIBUTES;
        if (error == ERROR_FILE_NOT_FOUND && slash != std::u16string_view::npos) {
            const size_t end = slash <= 2 ? slash + 1 : slash;  // "C:\" keeps its backslash
            directory = GetFileAttributesW(CallPath(path.sv().substr(0, end)).c_str());
        }
        if (directory == INVALID_FILE_ATTRIBUTES || !(directory & FILE_ATTRIBUTE_DIRECTORY))
            FailRequest(*this, request,
                        DescribeHandlerFailure(action, SystemError(u"GetFileAttributes()", error)));
    }

    auto reply = WithWindowsErrors(*this, request, action.sv(), [&] {
        DWORD sectorsPerCluster = 0;
        DWORD bytesPerSector = 0;
        DWORD freeClusters = 0;
        DWORD totalClusters = 0;
        if (!GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                               &totalClusters))
            throw SystemError(u"GetDiskFreeSpace()", GetLastError());
        ULARGE_INTEGER freeToCaller{};
        ULARGE_INTEGER totalBytes{};
        ULARGE_INTEGER totalFree{};
        if (!GetDiskFreeSpaceExW(root.c_str(), &freeToCaller, &totalBytes, &totalFree))
            throw SystemError(u"GetDiskFreeSpaceEx()", GetLastError());
        auto result = MakeRef<QtSfsSpaceAvailReply>();
        result->m_bytesOnDevice = totalBytes.QuadPart;
        result->m_unusedBytesOnDevice = totalFree.QuadPart;
        result->m_bytesAvailableToUser = 0;
        result->m_unusedBytesAvailableToUser = freeToCaller.QuadPart;
        result->m_bytesPerAllocationUnit = sectorsPerCluster * bytesPerSector;
        return result;
    });

    LogRequest(request, u"KilnSfsWin: Queried available space on " + path + u"'.");
    AnswerSpaceAvailReply(request, reply);
}

}  // namespace kiln::KilnSfsWin
