#include "arithmetic.h"

#include <algorithm>
#include <cstdint>

// Every intermediate must be a double. On 32-bit x86 that needs SSE2
// arithmetic; the x87 unit would keep 80-bit intermediates and round twice.
#if defined(__i386__) && !(defined(__SSE2_MATH__) || (defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ == 0))
#error "build with -msse2 -mfpmath=sse: x87 arithmetic rounds twice"
#endif

namespace jadefox {
namespace {

// The element-wise loops are compiled for several instruction sets and the
// widest the CPU has is picked at load time: they are bandwidth-bound, and
// every vector width computes each element as the same single IEEE
// operation, so the results are bit for bit those of the scalar loop.
// ThreadSanitizer instruments the load-time selector, which then runs before
// its runtime is up; its builds keep the one baseline loop.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define JADEFOX_WIDE_LOOP __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define JADEFOX_WIDE_LOOP
#endif

#define JADEFOX_ELEMENT_LOOPS(name, OP)                                                                \
    JADEFOX_WIDE_LOOP void name##_arrays(const double* __restrict r, const double* __restrict x,       \
                                         double* __restrict out, std::size_t n) noexcept {             \
        for (std::size_t i = 0; i < n; ++i) out[i] = r[i] OP x[i];                                     \
    }                                                                                                  \
    JADEFOX_WIDE_LOOP void name##_scalar(const double* __restrict r, double x, double* __restrict out, \
                                         std::size_t n) noexcept {                                     \
        for (std::size_t i = 0; i < n; ++i) out[i] = r[i] OP x;                                        \
    }                                                                                                  \
    struct name {                                                                                      \
        static double apply(double a, double b) noexcept { return a OP b; }                            \
        static void arrays(const double* r, const double* x, double* out, std::size_t n) noexcept {    \
            name##_arrays(r, x, out, n);                                                               \
        }                                                                                              \
        static void scalar(const double* r, double x, double* out, std::size_t n) noexcept {           \
            name##_scalar(r, x, out, n);                                                               \
        }                                                                                              \
    };

JADEFOX_ELEMENT_LOOPS(Add, +)
JADEFOX_ELEMENT_LOOPS(Subtract, -)
JADEFOX_ELEMENT_LOOPS(Multiply, *)
JADEFOX_ELEMENT_LOOPS(Divide, /)

JADEFOX_WIDE_LOOP void fill_values(double* __restrict out, double value, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = value;
}

// Calls f with the operator type for `op`, so each loop is compiled once per
// operator with the operation inlined (and vectorised where possible).
template <class F>
decltype(auto) with_op(BinaryOp op, F&& f) {
    switch (op) {
        case BinaryOp::add: return f(Add{});
        case BinaryOp::subtract: return f(Subtract{});
        case BinaryOp::multiply: return f(Multiply{});
        case BinaryOp::divide: break;
    }
    return f(Divide{});
}

// The results are computed straight into a fresh vector rather than into a
// copy of the receiver's values: bit for bit the same, one pass less, and the
// receiver's vector is never written.
Record with_new_values(const Record& receiver, Shared<ValueVector> values) noexcept {
    return Record(receiver.keys.share(), std::move(values));
}

// One hash with other's seeds and one probe per receiver key. A probe into
// a large index costs dependent cache misses (slot, offsets, text, value);
// keys are handled in batches whose passes each issue one level of those
// loads for the whole batch, so the misses overlap instead of adding up.
template <class Op>
void keyed(const Record& receiver, const KeyIndex& other_keys, const double* x, double fill,
           double* __restrict out) noexcept {
    const KeyIndex& keys = *receiver.keys;
    const double* r = receiver.values->data();
    const std::size_t n = keys.size();
    if (other_keys.empty()) {
        for (std::size_t p = 0; p < n; ++p) out[p] = Op::apply(r[p], fill);
        return;
    }
    constexpr std::size_t batch = 32;
    std::uint64_t hashes[batch];
    Position candidates[batch];
    for (std::size_t start = 0; start < n; start += batch) {
        const std::size_t count = std::min(n - start, batch);
        for (std::size_t i = 0; i < count; ++i) {
            hashes[i] = other_keys.hash(keys.key(start + i));
            other_keys.prefetch(hashes[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            candidates[i] = other_keys.prefetch_offsets(hashes[i]);
            if (candidates[i] != KeyIndex::npos) __builtin_prefetch(x + candidates[i]);
        }
        for (std::size_t i = 0; i < count; ++i) other_keys.prefetch_text(candidates[i]);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t p = start + i;
            const Position q = other_keys.find_hashed(keys.key(p), hashes[i], candidates[i]);
            out[p] = Op::apply(r[p], q == KeyIndex::npos ? fill : x[q]);
        }
    }
}

}  // namespace

Record combine(const Record& receiver, const Record& other, BinaryOp op, double fill) {
    const std::size_t n = receiver.size();
    Shared<ValueVector> out = ValueVector::allocate(n);
    with_op(op, [&](auto o) {
        using Op = decltype(o);
        if (same_key_index(*receiver.keys, *other.keys)) {
            Op::arrays(receiver.values->data(), other.values->data(), out->data(), std::min(n, other.size()));
        } else {
            keyed<Op>(receiver, *other.keys, other.values->data(), fill, out->data());
        }
    });
    return with_new_values(receiver, std::move(out));
}

Record apply_scalar(const Record& receiver, BinaryOp op, double value) {
    const std::size_t n = receiver.size();
    Shared<ValueVector> out = ValueVector::allocate(n);
    with_op(op, [&](auto o) { decltype(o)::scalar(receiver.values->data(), value, out->data(), n); });
    return with_new_values(receiver, std::move(out));
}

Record reset(const Record& receiver, double value) {
    const std::size_t n = receiver.size();
    Shared<ValueVector> out = ValueVector::allocate(n);
    fill_values(out->data(), value, n);
    return with_new_values(receiver, std::move(out));
}

// The reductions must stay one strictly sequential fold: their order is part
// of the result. The compiler keeps it so, since it may not reassociate
// floating-point additions without fast-math, which this project never uses.
double sum(const Record& record) noexcept {
    const double* v = record.values->data();
    double acc = -0.0;
    for (std::size_t p = 0, n = record.size(); p < n; ++p) acc += v[p];
    return acc;
}

double product(const Record& record) noexcept {
    const double* v = record.values->data();
    double acc = 1.0;
    for (std::size_t p = 0, n = record.size(); p < n; ++p) acc *= v[p];
    return acc;
}

}  // namespace jadefox
