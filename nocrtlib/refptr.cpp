#include "nocrtlib/refptr.h"

#include <exception>

#include "nocrtlib/assertion.h"

namespace kiln {

void RefCountable::Release() const {
    // Acquire, so that the sole owner that skips the decrement below sees
    // every write other owners made before they let go.
    uint32_t count = m_refCount.load(std::memory_order_acquire);
    KILN_ASSERT_TEXT_AT(count > 0 && count < INIT_REFCOUNT,
                        "m_refCount > 0 && m_refCount < INIT_REFCOUNT", "NoCrtLib/RefPtr", 57);
    if (count == 1 || m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        m_refCount.store(DESTROY_REFCOUNT, std::memory_order_relaxed);
        delete this;
    }
}

RefCountable::~RefCountable() noexcept(false) {
    uint32_t count = m_refCount.load(std::memory_order_relaxed);
    if (count == DESTROY_REFCOUNT || count == INIT_REFCOUNT) return;
    static const char kCondition[] =
        "m_refCount == DESTROY_REFCOUNT || m_refCount == INIT_REFCOUNT";
    // Throwing while another exception unwinds would terminate without a
    // word; stop with a report instead.
    if (std::uncaught_exceptions() > 0) FatalAssertionStop("RefPtr", 23, kCondition);
    AssertionFailure("RefPtr", 25, kCondition);
}

}  // namespace kiln
