// Pairwise, scalar, reset and the reductions.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "jadefox_core.h"
#include "support.h"

using namespace jadefox;
using namespace jadefox::testing;

namespace {
using Bits = std::vector<std::uint64_t>;
constexpr double inf = INFINITY;
constexpr BinaryOp kOps[] = {BinaryOp::add, BinaryOp::subtract, BinaryOp::multiply, BinaryOp::divide};
constexpr std::uint64_t kPlusZero = 0, kMinusZero = 0x8000000000000000ULL;


double apply(BinaryOp op, double a, double b) {
    switch (op) {
        case BinaryOp::add: return a + b;
        case BinaryOp::subtract: return a - b;
        case BinaryOp::multiply: return a * b;
        case BinaryOp::divide: break;
    }
    return a / b;
}

Bits value_bits(const Record& r) {
    Bits out;
    for (std::size_t p = 0; p < r.size(); ++p) out.push_back(bits(r.values->data()[p]));
    return out;
}

std::uint64_t at(const Record& r, std::string_view key) { return bits(lookup(r, key).value()); }

// What every value-producing operation promises: the receiver's key index,
// a new vector of its own, and an untouched receiver.
void check_derived(const Record& result, const Record& receiver, const Bits& receiver_bits) {
    CHECK(result.keys.get() == receiver.keys.get());
    CHECK(result.values.get() != receiver.values.get());
    CHECK(result.values->holders() == 1);
    CHECK(result.size() == receiver.size());
    CHECK(value_bits(receiver) == receiver_bits);
}
}  // namespace

TEST_CASE("combine gives the same bits on the positional and the keyed path") {
    const double unusual[] = {-0.0, 0.0, inf, -inf, NAN, 1e308, 5e-324};
    Entries mine, theirs;
    for (std::size_t i = 0; i < 300; ++i) {
        const std::string k = "key" + std::to_string(i);
        mine.emplace_back(k, i % 11 == 0 ? unusual[i % 7] : 0.1 * double(i) - 3.0);
        theirs.emplace_back(k, i % 13 == 0 ? unusual[(i + 3) % 7] : 1.0 / (double(i) - 150.5));
    }
    Record receiver = build(mine);
    const Bits receiver_bits = value_bits(receiver);
    Record derived = share(receiver);  // the receiver's own key index, other values
    ValueVector& w = make_writable(derived.values);
    for (std::size_t i = 0; i < theirs.size(); ++i) w.data()[i] = theirs[i].second;
    Record equal_index = build(theirs);
    Record reversed = build(Entries(theirs.rbegin(), theirs.rend()));
    REQUIRE(same_key_index(*receiver.keys, *equal_index.keys));
    REQUIRE_FALSE(same_key_index(*receiver.keys, *reversed.keys));

    for (BinaryOp op : kOps) {
        CAPTURE(static_cast<int>(op));
        Bits expected;
        for (std::size_t i = 0; i < mine.size(); ++i) expected.push_back(bits(apply(op, mine[i].second, theirs[i].second)));
        for (const Record* other : {&derived, &equal_index, &reversed}) {
            Record result = combine(receiver, *other, op, 42.0);
            CHECK(value_bits(result) == expected);
            check_derived(result, receiver, receiver_bits);
        }
    }
    CHECK(receiver.keys->holders() == 2);  // receiver and derived: the results are gone
}

TEST_CASE("combine: fill stands in for missing keys; the receiver is the left operand") {
    Record r = build({{"a", 1.0}, {"b", 2.0}, {"c", -0.0}, {"z", 1.0}});
    Record o = build({{"d", 100.0}, {"b", 10.0}, {"z", 0.0}});
    const Bits r_bits = value_bits(r);
    Record sum = combine(r, o, BinaryOp::add, 5.0);
    check_derived(sum, r, r_bits);
    CHECK(at(sum, "a") == bits(6.0));
    CHECK(at(sum, "b") == bits(12.0));
    CHECK(at(sum, "c") == bits(5.0));
    CHECK_FALSE(lookup(sum, "d").has_value());  // keys only in other are ignored
    Record diff = combine(r, o, BinaryOp::subtract, 5.0);
    CHECK(at(diff, "a") == bits(-4.0));
    CHECK(at(diff, "b") == bits(-8.0));
    Record quot = combine(r, o, BinaryOp::divide, 4.0);
    CHECK(at(quot, "a") == bits(0.25));
    CHECK(at(quot, "b") == bits(0.2));
    CHECK(at(quot, "z") == bits(inf));

    Record by_zero = combine(build({{"p", 1.0}, {"n", -1.0}, {"z", 0.0}, {"m", 1.0}}), build({{"m", -0.0}}),
                             BinaryOp::divide, 0.0);
    CHECK(at(by_zero, "p") == bits(inf));
    CHECK(at(by_zero, "n") == bits(-inf));
    CHECK(std::isnan(lookup(by_zero, "z").value()));
    CHECK(at(by_zero, "m") == bits(-inf));

    Record empty = build({});
    Record from_empty = combine(empty, o, BinaryOp::add, 1.0);
    CHECK(from_empty.size() == 0);
    CHECK(from_empty.keys.get() == empty.keys.get());
    CHECK(combine(empty, build({}), BinaryOp::multiply, 1.0).size() == 0);

    // An empty other: fill everywhere. With the default fills only signed zeros change.
    Record z = build({{"nz", -0.0}, {"pz", 0.0}, {"x", 3.5}, {"nan", -NAN}, {"inf", -inf}});
    const Bits z_bits = value_bits(z);
    CHECK(at(combine(z, empty, BinaryOp::add, 0.0), "nz") == kPlusZero);
    CHECK(at(combine(z, empty, BinaryOp::subtract, 0.0), "nz") == kMinusZero);
    CHECK(value_bits(combine(z, empty, BinaryOp::subtract, 0.0)) == z_bits);
    CHECK(value_bits(combine(z, empty, BinaryOp::multiply, 1.0)) == z_bits);
    CHECK(value_bits(combine(z, empty, BinaryOp::divide, 1.0)) == z_bits);
    Record mul = combine(z, empty, BinaryOp::multiply, -2.0);
    CHECK(at(mul, "pz") == kMinusZero);
    CHECK(at(mul, "x") == bits(-7.0));
    CHECK(at(mul, "inf") == bits(inf));
}

TEST_CASE("apply_scalar and reset") {
    Record r = build({{"tenth", 0.1}, {"nz", -0.0}, {"three", 3.0}, {"inf", inf}});
    const Bits r_bits = value_bits(r);
    for (BinaryOp op : kOps) check_derived(apply_scalar(r, op, 0.0), r, r_bits);
    CHECK(at(apply_scalar(r, BinaryOp::add, 0.0), "nz") == kPlusZero);
    Record sub = apply_scalar(r, BinaryOp::subtract, 1.0);
    CHECK(at(sub, "three") == bits(2.0));
    CHECK(at(sub, "nz") == bits(-1.0));
    Record mul = apply_scalar(r, BinaryOp::multiply, 0.0);
    CHECK(std::isnan(lookup(mul, "inf").value()));
    CHECK(at(mul, "nz") == kMinusZero);
    Record div = apply_scalar(r, BinaryOp::divide, 10.0);
    CHECK(at(div, "tenth") == bits(0.01));  // a true division: 0.1 * (1 / 10.0) is 0.010000000000000002
    CHECK(at(div, "three") == bits(0.3));
    Record by_zero = apply_scalar(r, BinaryOp::divide, -0.0);
    CHECK(at(by_zero, "three") == bits(-inf));
    CHECK(std::isnan(lookup(by_zero, "nz").value()));

    const std::uint64_t payload_nan = 0xFFF800000000BEEFULL;
    double nan_value;
    std::memcpy(&nan_value, &payload_nan, sizeof nan_value);
    for (double v : {nan_value, -0.0, inf}) {
        Record filled = reset(r, v);
        check_derived(filled, r, r_bits);
        CHECK(value_bits(filled) == Bits(r.size(), bits(v)));
    }
    CHECK(reset(build({}), 1.0).size() == 0);
}

TEST_CASE("sum and product fold strictly in position order") {
    auto sum_of = [](const Entries& e) { return bits(sum(build(e))); };
    auto product_of = [](const Entries& e) { return bits(product(build(e))); };
    CHECK(sum_of({}) == kMinusZero);
    CHECK(sum_of({{"a", 0.0}}) == kPlusZero);
    CHECK(sum_of({{"a", -0.0}, {"b", -0.0}}) == kMinusZero);
    CHECK(sum_of({{"a", 1e16}, {"b", 1.0}, {"c", -1e16}}) == kPlusZero);
    CHECK(sum_of({{"a", 1e16}, {"b", -1e16}, {"c", 1.0}}) == bits(1.0));
    CHECK(sum_of({{"a", 1.0}, {"b", 1e16}, {"c", 1.0}, {"d", -1e16}}) == kPlusZero);  // not pairwise
    CHECK(sum_of({{"a", 1.7e308}, {"b", 1.7e308}}) == bits(inf));
    CHECK(product_of({}) == bits(1.0));
    CHECK(product_of({{"a", 2.0}, {"b", -3.0}}) == bits(-6.0));
    CHECK(product_of({{"a", -1.0}, {"b", 0.0}}) == kMinusZero);
    CHECK(product_of({{"a", 1e200}, {"b", 1e200}}) == bits(inf));
    CHECK(std::isnan(product(build({{"a", 1e200}, {"b", 1e200}, {"c", 0.0}}))));
    CHECK(product_of({{"a", 1e300}, {"b", 1e300}, {"c", 1e-300}}) == bits(inf));
    CHECK(product_of({{"a", 1e300}, {"b", 1e-300}, {"c", 1e300}}) == bits(1e300 * 1e-300 * 1e300));
    CHECK(product_of({{"a", 1e-300}, {"b", 1e-300}, {"c", 1e300}}) == kPlusZero);
}

TEST_CASE("a large keyed combine matches a brute-force expectation") {
    const std::size_t n = 50000;
    Entries mine, theirs;
    for (std::size_t i = 0; i < n; ++i) mine.emplace_back("item-" + std::to_string(i), double(i) * 0.75);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = (j * 7919) % n;  // another order, every second key
        if (i % 2 == 0) theirs.emplace_back(mine[i].first, 1.0 / double(i + 1));
    }
    for (std::size_t i = 0; i < 5000; ++i) theirs.emplace_back("other-" + std::to_string(i), 1e9);
    const std::unordered_map<std::string, double> other_values(theirs.begin(), theirs.end());
    Record result = combine(build(mine), build(theirs), BinaryOp::subtract, -1.5);
    REQUIRE(result.size() == n);
    std::size_t mismatches = 0;
    for (std::size_t p = 0; p < n; ++p) {
        auto it = other_values.find(mine[p].first);
        const double x = it == other_values.end() ? -1.5 : it->second;
        if (bits(result.values->data()[p]) != bits(mine[p].second - x)) ++mismatches;
    }
    CHECK(mismatches == 0);
}
