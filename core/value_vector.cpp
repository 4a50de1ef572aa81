#include "value_vector.h"

#include <cstdint>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace jadefox {
namespace {

// Very large vectors are streamed through in full by every operation, so the
// TLB misses of 4 KiB pages show. Asks for transparent huge pages on the
// whole 2 MiB pages inside the block (a hint; without it nothing changes).
// Only from 32 MiB on: glibc always maps blocks that large afresh and unmaps
// them on free, whereas huge pages inside its reused heap keep freed memory
// resident.
void advise_huge_pages(void* memory, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t huge = std::size_t{1} << 21;
    if (bytes < (std::size_t{32} << 20)) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)bytes;
#endif
}

}  // namespace

Shared<ValueVector> ValueVector::allocate(std::size_t length, std::size_t capacity) {
    constexpr std::size_t max_values = (std::numeric_limits<std::size_t>::max() - sizeof(ValueVector)) / sizeof(double);
    if (capacity < length) capacity = length;
    if (capacity > max_values) throw std::bad_alloc();
    const std::size_t bytes = sizeof(ValueVector) + capacity * sizeof(double);
    void* memory = ::operator new (bytes, std::align_val_t{alignof(ValueVector)});
    advise_huge_pages(memory, bytes);
    return Shared<ValueVector>(new (memory) ValueVector(length, capacity));
}

void ValueVector::destroy(ValueVector* v) noexcept {
    v->~ValueVector();
    ::operator delete (static_cast<void*>(v), std::align_val_t{alignof(ValueVector)});
}

}  // namespace jadefox
