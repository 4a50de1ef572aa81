// Pairwise, scalar, reset and the reductions.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "jadefox_core.h"

using namespace jadefox;

namespace {
using Entries = std::vector<std::pair<std::string, double>>;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr BinaryOp kOps[] = {BinaryOp::add, BinaryOp::subtract, BinaryOp::multiply, BinaryOp::divide};

std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}
double from_bits(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}
const std::uint64_t kPlusZero = 0, kMinusZero = 0x8000000000000000ULL;
bool is_nan(double d) { return d != d; }

Record build(const Entries& entries) {
    std::size_t text = 0;
    for (const auto& e : entries) text += e.first.size();
    EntryMap map(entries.size(), text);
    for (const auto& [k, v] : entries) map.insert(k, v);
    return build_from_entries(std::move(map));
}

double apply(BinaryOp op, double a, double b) {
    switch (op) {
        case BinaryOp::add: return a + b;
        case BinaryOp::subtract: return a - b;
        case BinaryOp::multiply: return a * b;
        case BinaryOp::divide: break;
    }
    return a / b;
}

std::vector<std::uint64_t> value_bits(const Record& r) {
    std::vector<std::uint64_t> out;
    for (std::size_t p = 0; p < r.size(); ++p) out.push_back(bits(r.values->data()[p]));
    return out;
}

double at(const Record& r, std::string_view key) { return lookup(r, key).value(); }

// What every value-producing operation promises about its result.
void check_derived(const Record& result, const Record& receiver, const std::vector<std::uint64_t>& receiver_bits) {
    CHECK(result.keys.get() == receiver.keys.get());
    CHECK(result.values.get() != receiver.values.get());
    CHECK(result.values->holders() == 1);
    CHECK(result.size() == receiver.size());
    CHECK(value_bits(receiver) == receiver_bits);
}
}  // namespace

TEST_CASE("combine gives the same bits on the positional and the keyed path") {
    const std::size_t n = 300;
    const double specials[] = {-0.0, 0.0, inf, -inf, from_bits(0x7FF8000000000123ULL), 1e308, 5e-324};
    Entries mine, theirs;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string k = "key" + std::to_string(i);
        mine.emplace_back(k, i % 11 == 0 ? specials[i % 7] : 0.1 * double(i) - 3.0);
        theirs.emplace_back(k, i % 13 == 0 ? specials[(i + 3) % 7] : 1.0 / (double(i) - 150.5));
    }
    Record receiver = build(mine);
    const auto receiver_bits = value_bits(receiver);

    // Shares the receiver's key index, with other values.
    Record derived = share(receiver);
    ValueVector& w = make_writable(derived.values);
    for (std::size_t i = 0; i < n; ++i) w.data()[i] = theirs[i].second;
    Record equal_index = build(theirs);
    Record reversed = build(Entries(theirs.rbegin(), theirs.rend()));
    REQUIRE(same_key_index(*receiver.keys, *equal_index.keys));
    REQUIRE_FALSE(same_key_index(*receiver.keys, *reversed.keys));

    for (BinaryOp op : kOps) {
        CAPTURE(static_cast<int>(op));
        std::vector<std::uint64_t> expected;
        for (std::size_t i = 0; i < n; ++i) expected.push_back(bits(apply(op, mine[i].second, theirs[i].second)));
        for (const Record* other : {&derived, &equal_index, &reversed}) {
            Record result = combine(receiver, *other, op, 42.0);
            CHECK(value_bits(result) == expected);
            check_derived(result, receiver, receiver_bits);
            CHECK(result.values.get() != other->values.get());
        }
    }
    CHECK(receiver.keys->holders() == 2);  // receiver and derived
    CHECK(receiver.values->holders() == 1);
}

TEST_CASE("combine: fill stands in for missing keys; the receiver is the left operand") {
    Record r = build({{"a", 1.0}, {"b", 2.0}, {"c", -0.0}, {"z", 1.0}});
    Record o = build({{"d", 100.0}, {"b", 10.0}, {"z", 0.0}});
    const auto r_bits = value_bits(r);

    Record sum = combine(r, o, BinaryOp::add, 5.0);
    check_derived(sum, r, r_bits);
    CHECK(at(sum, "a") == 6.0);
    CHECK(at(sum, "b") == 12.0);
    CHECK(at(sum, "c") == 5.0);
    CHECK_FALSE(lookup(sum, "d").has_value());  // keys only in other are ignored

    Record diff = combine(r, o, BinaryOp::subtract, 5.0);
    CHECK(at(diff, "a") == -4.0);
    CHECK(at(diff, "b") == -8.0);
    Record quot = combine(r, o, BinaryOp::divide, 4.0);
    CHECK(at(quot, "a") == 0.25);
    CHECK(at(quot, "b") == 0.2);  // 2.0 / 10.0, not 10.0 / 2.0
    CHECK(at(quot, "z") == inf);  // present zero divisor

    Record by_zero = combine(build({{"p", 1.0}, {"n", -1.0}, {"z", 0.0}, {"m", 1.0}}),
                             build({{"m", -0.0}}), BinaryOp::divide, 0.0);
    CHECK(at(by_zero, "p") == inf);
    CHECK(at(by_zero, "n") == -inf);
    CHECK(is_nan(at(by_zero, "z")));
    CHECK(at(by_zero, "m") == -inf);

    Record empty = build({});
    Record from_empty = combine(empty, o, BinaryOp::add, 1.0);
    CHECK(from_empty.size() == 0);
    CHECK(from_empty.keys.get() == empty.keys.get());
    CHECK(combine(empty, build({}), BinaryOp::multiply, 1.0).size() == 0);
}

TEST_CASE("combine with an empty other applies fill everywhere") {
    const double nan_payload = from_bits(0x7FF800000000BEEFULL);
    Record r = build({{"nz", -0.0}, {"pz", 0.0}, {"x", 3.5}, {"nan", nan_payload}, {"inf", -inf}});
    const auto r_bits = value_bits(r);
    Record empty = build({});
    // With the default fills.
    Record add = combine(r, empty, BinaryOp::add, 0.0);
    CHECK(bits(at(add, "nz")) == kPlusZero);  // -0.0 + 0.0
    CHECK(bits(at(add, "x")) == bits(3.5));
    Record sub = combine(r, empty, BinaryOp::subtract, 0.0);
    CHECK(bits(at(sub, "nz")) == kMinusZero);  // -0.0 - 0.0
    CHECK(bits(at(sub, "pz")) == kPlusZero);
    CHECK(value_bits(combine(r, empty, BinaryOp::multiply, 1.0)) == r_bits);
    CHECK(value_bits(combine(r, empty, BinaryOp::divide, 1.0)) == r_bits);
    // Other fills.
    Record mul = combine(r, empty, BinaryOp::multiply, -2.0);
    CHECK(bits(at(mul, "pz")) == kMinusZero);
    CHECK(at(mul, "x") == -7.0);
    CHECK(at(mul, "inf") == inf);
    check_derived(mul, r, r_bits);
}

TEST_CASE("apply_scalar and reset") {
    Record r = build({{"tenth", 0.1}, {"nz", -0.0}, {"three", 3.0}, {"inf", inf}});
    const auto r_bits = value_bits(r);
    for (BinaryOp op : kOps) {
        Record out = apply_scalar(r, op, 0.0);
        check_derived(out, r, r_bits);
    }
    Record add = apply_scalar(r, BinaryOp::add, 0.0);
    CHECK(bits(at(add, "nz")) == kPlusZero);
    CHECK(at(add, "three") == 3.0);
    Record sub = apply_scalar(r, BinaryOp::subtract, 1.0);
    CHECK(at(sub, "three") == 2.0);
    CHECK(at(sub, "nz") == -1.0);
    Record mul = apply_scalar(r, BinaryOp::multiply, 0.0);
    CHECK(is_nan(at(mul, "inf")));
    CHECK(bits(at(mul, "nz")) == kMinusZero);
    CHECK(at(mul, "three") == 0.0);
    Record div = apply_scalar(r, BinaryOp::divide, 10.0);
    CHECK(bits(at(div, "tenth")) == bits(0.01));  // a true division, not 0.1 * (1 / 10.0)
    CHECK(bits(at(div, "tenth")) != bits(0.1 * (1.0 / 10.0)));
    CHECK(at(div, "three") == 0.3);
    Record by_zero = apply_scalar(r, BinaryOp::divide, -0.0);
    CHECK(at(by_zero, "three") == -inf);
    CHECK(is_nan(at(by_zero, "nz")));

    for (double v : {from_bits(0xFFF0000000000001ULL | 0x0008000000000000ULL), -0.0, inf}) {
        Record filled = reset(r, v);
        check_derived(filled, r, r_bits);
        CHECK(value_bits(filled) == std::vector<std::uint64_t>(r.size(), bits(v)));
    }
    CHECK(reset(build({}), 1.0).size() == 0);
}

TEST_CASE("sum and product fold strictly in position order") {
    auto sum_of = [](Entries e) { return sum(build(e)); };
    auto product_of = [](Entries e) { return product(build(e)); };
    CHECK(bits(sum_of({})) == kMinusZero);
    CHECK(bits(sum_of({{"a", 0.0}})) == kPlusZero);
    CHECK(bits(sum_of({{"a", -0.0}, {"b", -0.0}})) == kMinusZero);
    CHECK(bits(sum_of({{"a", 1e16}, {"b", 1.0}, {"c", -1e16}})) == kPlusZero);
    CHECK(sum_of({{"a", 1e16}, {"b", -1e16}, {"c", 1.0}}) == 1.0);
    CHECK(sum_of({{"a", 1.0}, {"b", 1e16}, {"c", 1.0}, {"d", -1e16}}) == 0.0);  // not pairwise
    CHECK(sum_of({{"a", 1.7e308}, {"b", 1.7e308}}) == inf);
    CHECK(is_nan(sum_of({{"a", inf}, {"b", -inf}})));

    CHECK(product_of({}) == 1.0);
    CHECK(product_of({{"a", 2.0}, {"b", -3.0}}) == -6.0);
    CHECK(product_of({{"a", 1e200}, {"b", 1e200}}) == inf);
    CHECK(is_nan(product_of({{"a", 1e200}, {"b", 1e200}, {"c", 0.0}})));
    CHECK(product_of({{"a", 1e300}, {"b", 1e300}, {"c", 1e-300}}) == inf);
    CHECK(product_of({{"a", 1e300}, {"b", 1e-300}, {"c", 1e300}}) == 1e300 * 1e-300 * 1e300);
    CHECK(product_of({{"a", 1e-300}, {"b", 1e-300}, {"c", 1e300}}) == 0.0);
    CHECK(bits(product_of({{"a", -1.0}, {"b", 0.0}})) == kMinusZero);
}

TEST_CASE("a large keyed combine matches a brute-force expectation") {
    const std::size_t n = 50000;
    Entries mine, theirs;
    std::unordered_map<std::string, double> other_values;
    for (std::size_t i = 0; i < n; ++i) mine.emplace_back("item-" + std::to_string(i), double(i) * 0.75);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = (j * 7919) % n;  // another order
        if (i % 2 == 0) theirs.emplace_back(mine[i].first, 1.0 / double(i + 1));
    }
    for (std::size_t i = 0; i < 5000; ++i) theirs.emplace_back("other-" + std::to_string(i), 1e9);
    for (const auto& [k, v] : theirs) other_values.emplace(k, v);
    Record r = build(mine);
    Record o = build(theirs);
    Record result = combine(r, o, BinaryOp::subtract, -1.5);
    REQUIRE(result.size() == n);
    std::size_t mismatches = 0;
    for (std::size_t p = 0; p < n; ++p) {
        auto it = other_values.find(mine[p].first);
        const double x = it == other_values.end() ? -1.5 : it->second;
        if (bits(result.values->data()[p]) != bits(mine[p].second - x)) ++mismatches;
    }
    CHECK(mismatches == 0);
}
