#include "platform/posix/system/handle_table.h"

#include <malloc.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace kiln::platform {
namespace {

// Handle values are multiples of 4 starting at 4, like Windows handles, so
// that they never collide with null, the pseudo handles (-1, -2) or
// INVALID_HANDLE_VALUE.
constexpr uintptr_t kHandleStep = 4;
constexpr size_t kMaxHandles = 1u << 20;

// Memory goes back to the system once the open objects have halved since
// their last high point, if that point was at least this high. A session
// that opened thousands of files and closed them again would otherwise keep
// the heap it needed for them; a client that opens and closes one file at a
// time never pays for the trimming.
constexpr size_t kGiveBackPeak = 64;

struct Table {
    std::mutex lock;
    std::vector<std::shared_ptr<KernelObject>> slots;
    std::vector<size_t> freeSlots;
    size_t live = 0;
    size_t peak = 0;  // the most live objects since memory was last given back
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: handles may be closed during exit
    return *table;
}

// Drops the free slots at the end of the table and the room of both
// vectors beyond what they hold; with the lock held.
void Shrink(Table& table) {
    while (!table.slots.empty() && !table.slots.back()) table.slots.pop_back();
    table.freeSlots.clear();
    // Lowest last, so that it is reused first and the end stays free.
    for (size_t slot = table.slots.size(); slot-- > 0;)
        if (!table.slots[slot]) table.freeSlots.push_back(slot);
    table.slots.shrink_to_fit();
    table.freeSlots.shrink_to_fit();
}

bool SlotOf(HANDLE handle, size_t* slot) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % kHandleStep != 0) return false;
    *slot = value / kHandleStep - 1;
    return true;
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    size_t slot;
    if (!table.freeSlots.empty()) {
        slot = table.freeSlots.back();
        table.freeSlots.pop_back();
        table.slots[slot] = std::move(object);
    } else {
        if (table.slots.size() >= kMaxHandles) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        slot = table.slots.size();
        table.slots.push_back(std::move(object));
    }
    table.peak = std::max(table.peak, ++table.live);
    return reinterpret_cast<HANDLE>((slot + 1) * kHandleStep);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    size_t slot;
    if (SlotOf(handle, &slot)) {
        Table& table = TheTable();
        std::lock_guard guard(table.lock);
        if (slot < table.slots.size() && table.slots[slot]) return table.slots[slot];
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool UnregisterHandle(HANDLE handle) {
    size_t slot;
    std::shared_ptr<KernelObject> object;
    bool giveBack = false;
    if (SlotOf(handle, &slot)) {
        Table& table = TheTable();
        std::lock_guard guard(table.lock);
        if (slot < table.slots.size() && table.slots[slot]) {
            object = std::move(table.slots[slot]);
            table.slots[slot].reset();
            table.freeSlots.push_back(slot);
            --table.live;
            giveBack = table.peak >= kGiveBackPeak && table.live <= table.peak / 2;
            if (giveBack) {
                Shrink(table);
                table.peak = table.live;
            }
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Outside the table lock: closing may block or take other locks. Out of
    // the table, the object can gain no new holder.
    object->OnClose(object.use_count() == 1);
    object.reset();
#ifdef __GLIBC__
    // Free pages inside the heaps too, not only at their ends: what the
    // closed objects used lies scattered among what is still in use.
    if (giveBack) malloc_trim(0);
#endif
    return true;
}

}  // namespace kiln::platform

BOOL CloseHandle(HANDLE hObject) {
    return kiln::platform::UnregisterHandle(hObject) ? TRUE : FALSE;
}
