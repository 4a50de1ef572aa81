// Entry maps, construction, lookup, export and key index comparison.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "jadefox_core.h"

using namespace jadefox;

namespace {
using Entries = std::vector<std::pair<std::string, double>>;

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

Record build(const Entries& entries) {
    std::size_t text = 0;
    for (const auto& e : entries) text += e.first.size();
    EntryMap map(entries.size(), text);
    for (const auto& [k, v] : entries) map.insert(k, v);
    return build_from_entries(std::move(map));
}

// Keys that must all stay distinct: case, NFC/NFD, embedded NUL, prefixes, "".
const Entries kTricky = {
    {"Key", 1.0},
    {"key", -0.0},
    {"\xC3\xA9", 0.0},
    {"e\xCC\x81", from_bits(0xFFF8000000000ABCULL)},  // negative NaN with a payload
    {std::string("a\0b", 3), -HUGE_VAL},
    {"a", HUGE_VAL},
    {"", 5e-324},
    {std::string("\0", 1), -2.5},
};

void check_holds_exactly(const Record& r, const Entries& entries) {
    REQUIRE(r.size() == entries.size());
    REQUIRE(r.keys->size() == entries.size());
    for (std::size_t p = 0; p < entries.size(); ++p) {
        CAPTURE(p);
        CHECK(r.keys->key(p) == entries[p].first);
        const auto v = lookup(r, entries[p].first);
        REQUIRE(v.has_value());
        CHECK(bits(*v) == bits(entries[p].second));
    }
}
}  // namespace

TEST_CASE("EntryMap keeps first-insertion order; a repeated key keeps its place") {
    EntryMap m(4, 8);
    m.insert("b", 1.0);
    m.insert("a", 2.0);
    m.insert("c", 3.0);
    m.insert("a", -0.0);
    REQUIRE(m.size() == 3);
    CHECK(m.key(0) == "b");
    CHECK(m.key(1) == "a");
    CHECK(m.key(2) == "c");
    CHECK(bits(m.value(1)) == bits(-0.0));
    CHECK(bits(*m.find("a")) == bits(-0.0));
    CHECK_FALSE(m.find("A").has_value());

    Record r = build_from_entries(std::move(m));
    check_holds_exactly(r, {{"b", 1.0}, {"a", -0.0}, {"c", 3.0}});
}

TEST_CASE("lookup distinguishes exact key texts and returns value bits unchanged") {
    Record r = build(kTricky);
    check_holds_exactly(r, kTricky);
    for (std::string_view absent : {"KEY", "e", "\xCC\x81", "ab", "b", "Key ", "\xC3"})
        CHECK_FALSE(lookup(r, absent).has_value());
    CHECK_FALSE(lookup(r, std::string_view("a\0", 2)).has_value());
    CHECK_FALSE(lookup(r, std::string_view("\0\0", 2)).has_value());

    Record empty = build({});
    CHECK(empty.size() == 0);
    CHECK_FALSE(lookup(empty, "").has_value());
    CHECK_FALSE(lookup(empty, "a").has_value());
}

TEST_CASE("export_entries copies in position order and stays independent of the record") {
    for (const Entries& entries : {kTricky, Entries{{"", 7.0}}, Entries{}}) {
        Record r = build(entries);
        const KeyIndex* keys = r.keys.get();
        const ValueVector* values = r.values.get();
        EntryMap x = export_entries(r);
        CHECK(r.keys.get() == keys);
        CHECK(r.values.get() == values);
        CHECK(r.keys->holders() == 1);
        CHECK(r.values->holders() == 1);
        check_holds_exactly(r, entries);

        r.release();  // the export must own copies of everything
        REQUIRE(x.size() == entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            CHECK(x.key(i) == entries[i].first);
            CHECK(bits(x.value(i)) == bits(entries[i].second));
        }
        // Still a working map: it grows past its exact size.
        x.insert("fresh key", 1.5);
        if (!entries.empty()) x.insert(entries[0].first, 9.0);
        Record again = build_from_entries(std::move(x));
        CHECK(*lookup(again, "fresh key") == 1.5);
        if (!entries.empty()) CHECK(*lookup(again, entries[0].first) == 9.0);
        CHECK(again.size() == entries.size() + 1);
    }
}

TEST_CASE("same_key_index compares texts and positions") {
    const Entries abc = {{"a", 1}, {"b", 2}, {"c", 3}};
    Record r = build(abc);
    Record same_order = build({{"a", 9}, {"b", 8}, {"c", 7}});
    Record reordered = build({{"c", 3}, {"a", 1}, {"b", 2}});
    Record other_key = build({{"a", 1}, {"b", 2}, {"d", 3}});
    Record fewer = build({{"a", 1}, {"b", 2}});
    Record empty1 = build({}), empty2 = build({});

    CHECK(same_key_index(*r.keys, *r.keys));
    CHECK(same_key_index(*r.keys, *same_order.keys));
    CHECK(same_key_index(*same_order.keys, *r.keys));
    CHECK_FALSE(same_key_index(*r.keys, *reordered.keys));
    CHECK_FALSE(same_key_index(*r.keys, *other_key.keys));
    CHECK_FALSE(same_key_index(*r.keys, *fewer.keys));
    CHECK_FALSE(same_key_index(*fewer.keys, *r.keys));
    CHECK(same_key_index(*empty1.keys, *empty2.keys));
    CHECK_FALSE(same_key_index(*empty1.keys, *r.keys));
    CHECK_FALSE(same_key_index(*r.keys, *empty1.keys));
    CHECK(same_key_index(*build({{"k", 1}}).keys, *build({{"k", 2}}).keys));
}

TEST_CASE("EntryMap and KeyIndex grow past the room they were made with") {
    const std::pair<std::size_t, std::size_t> rooms[] = {{0, 0}, {1, 1}, {5, 3}};
    for (auto [capacity, text_bytes] : rooms) {
        CAPTURE(capacity);
        EntryMap m(capacity, text_bytes);
        Entries expected;
        for (int i = 0; i < 3000; ++i) {
            std::string k = std::string(static_cast<std::size_t>(i % 23), 'x') + std::to_string(i);
            m.insert(k, i * 0.5);
            expected.emplace_back(std::move(k), i * 0.5);
            if (i % 7 == 0) {  // replacing must not add an entry, also when values are full
                m.insert(expected[static_cast<std::size_t>(i / 2)].first, -i);
                expected[static_cast<std::size_t>(i / 2)].second = -i;
            }
        }
        REQUIRE(m.size() == expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            CHECK(bits(*m.find(expected[i].first)) == bits(expected[i].second));
        check_holds_exactly(build_from_entries(std::move(m)), expected);
    }

    auto index = KeyIndex::create(next_hash_seeds(), 0, 0);
    CHECK(index->find("") == KeyIndex::npos);
    CHECK(index->insert("") == std::pair<Position, bool>(0, true));
    CHECK(index->insert("zz") == std::pair<Position, bool>(1, true));
    CHECK(index->insert("") == std::pair<Position, bool>(0, false));
    CHECK(index->text_bytes() == 2);
}

TEST_CASE("100k keys round trip; clones equal the original") {
    constexpr std::size_t n = 100000;
    Entries entries;
    entries.reserve(n);
    for (std::size_t i = 0; i < n; ++i) entries.emplace_back("key/" + std::to_string(i * 7919 % n), double(i));
    Record r = build(entries);
    check_holds_exactly(r, entries);
    CHECK_FALSE(lookup(r, "key/" + std::to_string(n)).has_value());
    CHECK_FALSE(lookup(r, "key/").has_value());

    // Built exactly for its size, and built with far more room (a differently
    // sized table) than it uses.
    EntryMap roomy(4096, 1 << 16);
    for (std::size_t i = 0; i < 100; ++i) roomy.insert(entries[i].first, entries[i].second);
    Record small = build_from_entries(std::move(roomy));
    for (const Record* src : {&r, &small}) {
        Shared<KeyIndex> copy = src->keys->clone();
        CHECK(copy.get() != src->keys.get());
        CHECK(copy->holders() == 1);
        CHECK(copy->seeds().k0 == src->keys->seeds().k0);
        CHECK(copy->seeds().k1 == src->keys->seeds().k1);
        CHECK(same_key_index(*src->keys, *copy));
        CHECK(same_key_index(*copy, *src->keys));
        CHECK(copy->find("absent") == KeyIndex::npos);
    }
    Shared<KeyIndex> empty_copy = build({}).keys->clone();
    CHECK(empty_copy->empty());
    CHECK(empty_copy->find("") == KeyIndex::npos);
}
