// Arithmetic on records: pairwise (aligned on the receiver's keys), scalar,
// reset and the two reductions. Every element is one IEEE 754 double
// operation, rounded to nearest, with the receiver's value on the left; no
// operand is tested, so division by zero gives an infinity or a NaN.
#pragma once

#include "record.h"

namespace jadefox {

enum class BinaryOp { add, subtract, multiply, divide };

// result[p] = receiver[p] OP x, where x is other's value for the receiver's
// key at p, or `fill` where other lacks it. The result shares the receiver's
// key index and owns one new value vector. Throws std::bad_alloc.
Record combine(const Record& receiver, const Record& other, BinaryOp op, double fill);

// result[p] = receiver[p] OP value. Throws std::bad_alloc.
Record apply_scalar(const Record& receiver, BinaryOp op, double value);

// result[p] = value, every element with the bits of `value`. Throws std::bad_alloc.
Record reset(const Record& receiver, double value);

// -0.0 + v[0] + v[1] + ... in position order, one accumulator.
double sum(const Record& record) noexcept;

// 1.0 * v[0] * v[1] * ... in position order, one accumulator.
double product(const Record& record) noexcept;

}  // namespace jadefox
