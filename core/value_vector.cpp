#include "value_vector.h"

#include <limits>
#include <new>

namespace jadefox {

Shared<ValueVector> ValueVector::allocate(std::size_t length, std::size_t capacity) {
    constexpr std::size_t max_values =
        (std::numeric_limits<std::size_t>::max() - sizeof(ValueVector)) / sizeof(double);
    if (capacity < length) capacity = length;
    if (capacity > max_values) throw std::bad_alloc();
    void* memory = ::operator new(sizeof(ValueVector) + capacity * sizeof(double));
    return Shared<ValueVector>(new (memory) ValueVector(length, capacity));
}

void ValueVector::destroy(ValueVector* v) noexcept {
    v->~ValueVector();
    ::operator delete(static_cast<void*>(v));
}

}  // namespace jadefox
