// Growable arrays of plain records: one contiguous buffer, byte copies, room for 64
// elements at first and growth in steps of 64. CSortedArray keeps its elements in
// ascending order without duplicates when filled through add().
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

// Equality used by find(). Element types other than plain numbers and pointers declare
// an overload of arrayElementEquals next to their definition.
template <typename T>
    requires(std::is_arithmetic_v<T> || std::is_pointer_v<T>)
inline bool arrayElementEquals(const T& a, const T& b) {
    return a == b;
}

template <typename T>
class MCArray {
    static_assert(std::is_trivially_copyable_v<T>, "array elements are copied byte for byte");

public:
    static constexpr int32_t kGrowStep = 64;

    MCArray() {
        if (allocate(kGrowStep)) capacity = kGrowStep;
    }
    MCArray(const MCArray&) = delete;
    MCArray& operator=(const MCArray&) = delete;
    virtual ~MCArray() {
        capacity = 0;
        count = 0;
        free(data);
        data = nullptr;
    }

    // Appends a copy of the element; returns its index or -1 when the array cannot grow.
    virtual int32_t add(const T& element) {
        if (!grow()) return -1;
        memcpy(static_cast<void*>(data + count), &element, sizeof(T));
        return count++;
    }

    // Inserts at index (count appends); -1 for a bad index or when the array cannot grow.
    virtual int32_t insertAt(int32_t index, const T& element) {
        if (index < 0 || index > count) return -1;
        if (!grow()) return -1;
        memmove(static_cast<void*>(data + index + 1), data + index, size_t(count - index) * sizeof(T));
        memcpy(static_cast<void*>(data + index), &element, sizeof(T));
        ++count;
        return index;
    }

    // No bounds check: index must lie below count.
    virtual T* getAt(int32_t index) { return data + index; }
    virtual T* elementAt(int32_t index) { return getAt(index); }
    const T* getAt(int32_t index) const { return data + index; }

    virtual int32_t find(int32_t start, const T& element) const {
        if (start < 0 || start >= count) return -1;
        for (int32_t i = start; i < count; ++i)
            if (arrayElementEquals(element, data[i])) return i;
        return -1;
    }

    virtual int32_t removeAt(int32_t index) {
        if (index < 0 || index >= count) return 0;
        --count;
        memmove(static_cast<void*>(data + index), data + index + 1, size_t(count - index) * sizeof(T));
        return 1;
    }

    virtual void removeAll() { count = 0; }
    virtual int32_t getCount() const { return count; }

    // Sets count to n, enlarging the buffer to the next multiple of 64 above n when needed.
    // New elements keep whatever the buffer held. False (nothing changed) when the buffer
    // cannot be enlarged.
    [[nodiscard]] virtual bool setSize(int32_t n) {
        if (n < 0) return false;
        if (n > capacity) {
            int64_t newCapacity = (int64_t(n) / kGrowStep + 1) * kGrowStep;
            if (!reallocate(newCapacity)) return false;
        }
        count = n;
        return true;
    }

    virtual T* getData() { return data; }
    const T* getData() const { return data; }
    int32_t getCapacity() const { return capacity; }

    // Makes room for one more element: capacity grows by exactly 64 when the array is full.
    [[nodiscard]] virtual bool grow() {
        if (count < capacity) return true;
        return reallocate(int64_t(capacity) + kGrowStep);
    }

protected:
    T* data = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;

private:
    // A byte count that does not fit in 32 bits is treated as an allocation failure.
    static bool byteCount(int64_t elements, size_t& bytes) {
        if (elements <= 0 || elements > INT32_MAX) return false;
        uint64_t b = uint64_t(elements) * sizeof(T);
        if (b > UINT32_MAX) return false;
        bytes = size_t(b);
        return true;
    }

    static void constructSlots(T* first, int64_t n) {
        if constexpr (!std::is_trivially_default_constructible_v<T>)
            for (int64_t i = 0; i < n; ++i) new (first + i) T();
    }

    bool allocate(int64_t elements) {
        size_t bytes;
        if (!byteCount(elements, bytes)) return false;
        data = static_cast<T*>(malloc(bytes));
        if (!data) return false;
        constructSlots(data, elements);
        return true;
    }

    bool reallocate(int64_t newCapacity) {
        size_t bytes;
        if (!byteCount(newCapacity, bytes)) return false;
        T* p = static_cast<T*>(realloc(static_cast<void*>(data), bytes));
        if (!p) return false;
        constructSlots(p + capacity, newCapacity - capacity);
        data = p;
        capacity = int32_t(newCapacity);
        return true;
    }
};

template <typename T>
class CSortedArray : public MCArray<T> {
public:
    // key first, array element second: negative, 0 or positive.
    using CompareFn = int (*)(const T* key, const T* element);

    explicit CSortedArray(CompareFn fn) : compare(fn) {}

    // Inserts in order; an element already present is not added again and its index is
    // returned. -1 when the array cannot grow.
    int32_t add(const T& element) override {
        if (this->count == 0) return MCArray<T>::add(element);
        int32_t pos = 0;
        if (search(element, pos)) return pos;
        return this->insertAt(pos, element);
    }

    // Binary search. True with pos at a matching element; false with pos at the place
    // where the key would be inserted to keep the order.
    virtual bool search(const T& key, int32_t& pos) const {
        pos = 0;
        int32_t low = -1;
        int32_t high = this->count;
        if (this->count == 0) return false;
        while (low + 1 != high) {
            int32_t middle = (low + high) / 2;
            int r = compare(&key, this->data + middle);
            if (r == 0) {
                pos = middle;
                return true;
            }
            if (r > 0) {
                pos = middle + 1;
                low = middle;
            } else {
                pos = middle;
                high = middle;
            }
        }
        return false;
    }

private:
    CompareFn compare;
};
