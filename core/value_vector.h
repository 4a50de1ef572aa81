// The value vector: contiguous doubles indexed by position.
#pragma once

#include <cstddef>

#include "shared.h"

namespace jadefox {

// One allocation: this header followed by `length` doubles. Values are stored
// and copied bit for bit; nothing here looks at them. The header fills one
// cache line so the values start on a cache-line boundary, where the widest
// vector loads never straddle two lines.
class alignas(64) ValueVector : public HolderCount {
public:
    // A vector of `length` uninitialised values, with room for `capacity`
    // (>= length). Throws std::bad_alloc when memory is exhausted.
    static Shared<ValueVector> allocate(std::size_t length, std::size_t capacity);
    static Shared<ValueVector> allocate(std::size_t length) { return allocate(length, length); }
    static void destroy(ValueVector* v) noexcept;

    std::size_t size() const noexcept { return length_; }
    std::size_t capacity() const noexcept { return capacity_; }
    double* data() noexcept { return reinterpret_cast<double*>(this + 1); }
    const double* data() const noexcept { return reinterpret_cast<const double*>(this + 1); }

    // Appends within the capacity given at allocation; the caller checks room.
    void push_unchecked(double v) noexcept { data()[length_++] = v; }

private:
    ValueVector(std::size_t length, std::size_t capacity) noexcept : length_(length), capacity_(capacity) {}

    std::size_t length_;
    std::size_t capacity_;
};

static_assert(sizeof(ValueVector) == 64);

}  // namespace jadefox
