#include "platform/posix/handle_table.h"

#include <mutex>
#include <vector>

namespace kiln::platform {
namespace {

// Handle values are multiples of 4 starting at 4, like Windows handles, so
// that they never collide with null, the pseudo handles (-1, -2) or
// INVALID_HANDLE_VALUE.
constexpr uintptr_t kHandleStep = 4;
constexpr size_t kMaxHandles = 1u << 20;

struct Table {
    std::mutex lock;
    std::vector<std::shared_ptr<KernelObject>> slots;
    std::vector<size_t> freeSlots;
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: handles may be closed during exit
    return *table;
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
    if (SlotOf(handle, &slot)) {
        Table& table = TheTable();
        std::lock_guard guard(table.lock);
        if (slot < table.slots.size() && table.slots[slot]) {
            object = std::move(table.slots[slot]);
            table.slots[slot].reset();
            table.freeSlots.push_back(slot);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    object->OnClose();  // outside the table lock: closing may block or take other locks
    return true;
}

}  // namespace kiln::platform

BOOL CloseHandle(HANDLE hObject) {
    return kiln::platform::UnregisterHandle(hObject) ? TRUE : FALSE;
}
