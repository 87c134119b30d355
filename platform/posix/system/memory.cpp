// Local memory and task memory. Local blocks carry a small header with their
// size, so that LocalSize reports what was asked for (the ACL code writes that
// size into the ACL header) and LocalFree recognises blocks that are not ours.
#include <cstdlib>
#include <cstring>

#include "platform/win32_system.h"

namespace {

constexpr uint64_t kLocalMagic = 0x4B494C4E4C4F4341ull;  // "KILNLOCA"
constexpr uint64_t kFreedMagic = 0x4B494C4E46524545ull;  // "KILNFREE"

// Sixteen bytes, so that the caller's block keeps malloc's alignment.
struct alignas(16) LocalHeader {
    uint64_t magic;
    uint64_t size;
};
static_assert(sizeof(LocalHeader) == 16);

LocalHeader* HeaderOf(HLOCAL block) {
    if (!block || reinterpret_cast<uintptr_t>(block) % alignof(LocalHeader) != 0) return nullptr;
    auto* header = static_cast<LocalHeader*>(block) - 1;
    return header->magic == kLocalMagic ? header : nullptr;
}

constexpr UINT kKnownLocalFlags =
    LMEM_ZEROINIT | 0x0010u /* LMEM_NOCOMPACT */ | 0x0020u /* LMEM_NODISCARD */;

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~kKnownLocalFlags) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (uBytes > SIZE_MAX - sizeof(LocalHeader)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* raw = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, sizeof(LocalHeader) + uBytes)
                                         : std::malloc(sizeof(LocalHeader) + uBytes);
    if (!raw) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* header = static_cast<LocalHeader*>(raw);
    header->magic = kLocalMagic;
    header->size = uBytes;
    return header + 1;
}

HLOCAL LocalFree(HLOCAL hMem) {
    if (!hMem) return nullptr;
    LocalHeader* header = HeaderOf(hMem);
    if (!header) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    header->magic = kFreedMagic;
    std::free(header);
    return nullptr;
}

SIZE_T LocalSize(HLOCAL hMem) {
    LocalHeader* header = HeaderOf(hMem);
    if (!header) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<SIZE_T>(header->size);
}

LPVOID CoTaskMemAlloc(SIZE_T cb) {
    // A zero-byte request still gives a distinct block, as on Windows.
    return std::malloc(cb ? cb : 1);
}

void CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}
