#pragma once

#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "simple/ElementPolicy.h"

namespace Simple {

// A growable array of T in one block from the C allocator. Policy says what
// happens to an element when the vector gives it up (SValue, SOwnedPtr);
// Arg is the type Add takes its element as.
template <typename T, typename Policy, typename Arg = T>
class CVector {
    // The block is moved by realloc, so an element must survive a byte copy.
    static_assert(std::is_trivially_copyable<T>::value, "CVector elements are moved by realloc");

public:
    CVector() : count_(0), capacity_(0), items_(nullptr) {}
    CVector(const CVector&) = delete;
    CVector& operator=(const CVector&) = delete;

    virtual ~CVector() {
        RemoveAll();
        free(items_);
    }

    // Appends item. When memory cannot be had: false, the vector unchanged,
    // and the caller keeps ownership of item.
    bool Add(Arg item) {
        if (count_ == capacity_ && !Grow())
            return false;
        items_[count_] = item;
        count_++;
        return true;
    }

    int32_t GetCount() const { return count_; }
    int32_t GetCapacity() const { return capacity_; }

    // No bounds check: index must lie in [0, GetCount()).
    T& operator[](int32_t index) { return items_[index]; }
    const T& operator[](int32_t index) const { return items_[index]; }

    // Gives up every element through the policy, first to last. The block
    // stays allocated for later additions until the vector is destroyed.
    void RemoveAll() {
        for (int32_t i = 0; i < count_; i++)
            Policy::Release(items_[i]);
        count_ = 0;
    }

private:
    static constexpr int32_t kMinCapacity = 16;

    // Room for twice the new count, at least 16: capacities run 16, 34,
    // 70, 142, ... A capacity or byte size that would not fit its type
    // counts as memory that cannot be had.
    bool Grow() {
        if (count_ > INT32_MAX / 2 - 1)
            return false;
        int32_t capacity = 2 * (count_ + 1);
        if (capacity < kMinCapacity)
            capacity = kMinCapacity;
        if (static_cast<size_t>(capacity) > PTRDIFF_MAX / sizeof(T))
            return false;
        size_t bytes = static_cast<size_t>(capacity) * sizeof(T);
        void* block = items_ ? realloc(items_, bytes) : malloc(bytes);
        if (!block)
            return false;
        items_ = static_cast<T*>(block);
        capacity_ = capacity;
        return true;
    }

    int32_t count_;
    int32_t capacity_;
    T* items_;  // null exactly while capacity_ is 0
};

}  // namespace Simple
