// Intrusive, atomically counted references. A new object's count holds the
// sentinel INIT_REFCOUNT until the first reference is taken; once the last
// reference goes, the count becomes DESTROY_REFCOUNT while the object is
// destroyed. The destructor checks that nobody still holds a reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "nocrtlib/datavect.h"

namespace kiln {

class RefCountable {
public:
    static constexpr uint32_t INIT_REFCOUNT = 0x60000000;
    static constexpr uint32_t DESTROY_REFCOUNT = 0x40000000;

    RefCountable() = default;
    RefCountable(const RefCountable&) : m_refCount(INIT_REFCOUNT) {}
    RefCountable& operator=(const RefCountable&) { return *this; }
    virtual ~RefCountable() noexcept(false);

    void AddRef() const {
        uint32_t expected = INIT_REFCOUNT;
        if (!m_refCount.compare_exchange_strong(expected, 1, std::memory_order_relaxed))
            m_refCount.fetch_add(1, std::memory_order_relaxed);
    }
    void Release() const;
    uint32_t RefCount() const { return m_refCount.load(std::memory_order_relaxed); }

private:
    mutable std::atomic<uint32_t> m_refCount{INIT_REFCOUNT};
};

template <class T>
class RefPtr {
public:
    RefPtr() = default;
    RefPtr(std::nullptr_t) {}  // NOLINT
    RefPtr(T* p) : m_ptr(p) {  // NOLINT: adopting a raw pointer takes a reference
        if (m_ptr) m_ptr->AddRef();
    }
    RefPtr(const RefPtr& o) : RefPtr(o.m_ptr) {}
    RefPtr(RefPtr&& o) noexcept : m_ptr(std::exchange(o.m_ptr, nullptr)) {}
    template <class U>
    RefPtr(const RefPtr<U>& o) : RefPtr(static_cast<T*>(o.get())) {}  // NOLINT
    template <class U>
    RefPtr(RefPtr<U>&& o) noexcept : m_ptr(o.release()) {}  // NOLINT
    ~RefPtr() {
        if (m_ptr) m_ptr->Release();
    }
    RefPtr& operator=(RefPtr o) noexcept {
        std::swap(m_ptr, o.m_ptr);
        return *this;
    }

    T* get() const { return m_ptr; }
    T* operator->() const {
        KILN_ASSERT_AT(m_ptr != 0, "NoCrtLib/RefPtr", __LINE__);
        return m_ptr;
    }
    T& operator*() const {
        KILN_ASSERT_AT(m_ptr != 0, "NoCrtLib/RefPtr", __LINE__);
        return *m_ptr;
    }
    explicit operator bool() const { return m_ptr != nullptr; }
    // Gives up the reference without dropping it.
    T* release() { return std::exchange(m_ptr, nullptr); }
    void reset() { RefPtr().swap(*this); }
    void swap(RefPtr& o) noexcept { std::swap(m_ptr, o.m_ptr); }

    friend bool operator==(const RefPtr& a, const RefPtr& b) { return a.m_ptr == b.m_ptr; }
    friend bool operator==(const RefPtr& a, std::nullptr_t) { return a.m_ptr == nullptr; }

private:
    T* m_ptr = nullptr;
};

// A reference that gives only constant access.
template <class T>
class RefPtrConst {
public:
    RefPtrConst() = default;
    RefPtrConst(std::nullptr_t) {}  // NOLINT
    RefPtrConst(const T* p) : m_ptr(p) {  // NOLINT
        if (m_ptr) m_ptr->AddRef();
    }
    RefPtrConst(const RefPtr<T>& o) : RefPtrConst(o.get()) {}  // NOLINT
    RefPtrConst(const RefPtrConst& o) : RefPtrConst(o.m_ptr) {}
    RefPtrConst(RefPtrConst&& o) noexcept : m_ptr(std::exchange(o.m_ptr, nullptr)) {}
    ~RefPtrConst() {
        if (m_ptr) m_ptr->Release();
    }
    RefPtrConst& operator=(RefPtrConst o) noexcept {
        std::swap(m_ptr, o.m_ptr);
        return *this;
    }
    const T* get() const { return m_ptr; }
    const T* operator->() const {
        KILN_ASSERT_AT(m_ptr != 0, "NoCrtLib/RefPtr", __LINE__);
        return m_ptr;
    }
    const T& operator*() const {
        KILN_ASSERT_AT(m_ptr != 0, "NoCrtLib/RefPtr", __LINE__);
        return *m_ptr;
    }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    const T* m_ptr = nullptr;
};

// Makes a new object and returns the first reference to it.
template <class T, class... Args>
RefPtr<T> MakeRef(Args&&... args) {
    return RefPtr<T>(new T(std::forward<Args>(args)...));
}

// A vector of references. Appending returns false when memory runs out.
template <class T>
class RefPtrVect {
public:
    RefPtrVect() = default;
    RefPtrVect(const RefPtrVect& o) {
        for (T* p : o.v_) push_back(RefPtr<T>(p));
    }
    RefPtrVect& operator=(const RefPtrVect& o) {
        if (this != &o) {
            RefPtrVect copy(o);
            std::swap(v_, copy.v_);
        }
        return *this;
    }
    ~RefPtrVect() { clear(); }

    size_t size() const { return v_.size(); }
    bool empty() const { return v_.empty(); }
    T* operator[](size_t i) const {
        KILN_ASSERT_TEXT_AT(i < v_.size(), "!af_ && i<s_", "NoCrtLib/RefPtrVect", __LINE__);
        return v_[i];
    }
    RefPtr<T> at(size_t i) const { return RefPtr<T>((*this)[i]); }
    bool push_back(const RefPtr<T>& p) {
        if (!v_.push_back(p.get())) return false;
        if (p) p->AddRef();
        return true;
    }
    bool reserve(size_t n) { return v_.reserve(n); }
    void clear() {
        for (T* p : v_)
            if (p) p->Release();
        v_.clear();
    }
    T* const* begin() const { return v_.begin(); }
    T* const* end() const { return v_.end(); }

private:
    datavect<T*> v_;
};

}  // namespace kiln
