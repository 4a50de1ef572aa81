// Entry maps, construction, lookup, export and key index comparison.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "jadefox_core.h"
#include "support.h"

using namespace jadefox;
using namespace jadefox::testing;

namespace {


// Keys that must stay distinct: case, NFC/NFD, embedded NUL, prefixes, "".
const Entries kTricky = {
    {"Key", 1.0}, {"key", -0.0}, {"\xC3\xA9", 0.0}, {"e\xCC\x81", -NAN},
    {std::string("a\0b", 3), -INFINITY}, {"a", INFINITY}, {"", 5e-324}, {std::string("\0", 1), -2.5},
};

// Positions follow first insertion; lookup returns every value bit for bit.
void check_holds_exactly(const Record& r, const Entries& entries) {
    REQUIRE(r.size() == entries.size());
    REQUIRE(r.keys->size() == entries.size());
    std::size_t wrong = 0;
    for (std::size_t p = 0; p < entries.size(); ++p) {
        const auto v = lookup(r, entries[p].first);
        if (r.keys->key(p) != entries[p].first || !v || bits(*v) != bits(entries[p].second)) ++wrong;
    }
    CHECK(wrong == 0);
}
}  // namespace

TEST_CASE("EntryMap keeps first-insertion order; a repeated key keeps its place") {
    EntryMap m(4, 8);
    for (auto [k, v] : {std::pair{"b", 1.0}, {"a", 2.0}, {"c", 3.0}, {"a", -0.0}}) m.insert(k, v);
    REQUIRE(m.size() == 3);
    CHECK(m.key(1) == "a");
    CHECK(bits(m.value(1)) == bits(-0.0));
    CHECK(bits(*m.find("a")) == bits(-0.0));
    CHECK_FALSE(m.find("A").has_value());
    check_holds_exactly(build_from_entries(std::move(m)), {{"b", 1.0}, {"a", -0.0}, {"c", 3.0}});
}

TEST_CASE("lookup matches exact key texts only") {
    Record r = build(kTricky);
    check_holds_exactly(r, kTricky);
    for (std::string_view absent : {"KEY", "e", "\xCC\x81", "ab", "b", "Key ", "\xC3"})
        CHECK_FALSE(lookup(r, absent).has_value());
    CHECK_FALSE(lookup(r, std::string_view("a\0", 2)).has_value());
    CHECK_FALSE(lookup(r, std::string_view("\0\0", 2)).has_value());
    Record empty = build({});
    CHECK(empty.size() == 0);
    CHECK_FALSE(lookup(empty, "").has_value());
}

TEST_CASE("a probe rejects a key whose hash tag and start slot collide") {
    // Two equally long texts whose hashes agree in the top 32 bits (the tag)
    // and the low 3 bits (the start slot of an 8-slot table): only the text
    // comparison can tell them apart.
    const HashSeeds seeds{1, 2};
    std::unordered_map<std::uint64_t, std::string> seen;
    std::string first, second;
    char text[16];
    for (unsigned i = 0; i < (1u << 22) && second.empty(); ++i) {
        std::snprintf(text, sizeof text, "%08x", i);
        const std::uint64_t h = hash_key(seeds, text);
        auto [it, added] = seen.emplace((h >> 32) << 3 | (h & 7), text);
        if (!added) first = it->second, second = text;
    }
    REQUIRE_FALSE(second.empty());
    auto index = KeyIndex::create(seeds, 1, 8);
    REQUIRE(index->slot_count() == 8);
    CHECK(index->insert(first) == std::pair<Position, bool>(0, true));
    CHECK(index->find(second) == KeyIndex::npos);
    CHECK(index->insert(second) == std::pair<Position, bool>(1, true));
    CHECK(index->find(first) == 0);
    CHECK(index->find(second) == 1);
    // A lookup that starts from the first slot's candidate: `second`'s first
    // slot holds `first` under the same tag, so the candidate is wrong and
    // the probe must go on; any other candidate gives the same answers.
    auto both = KeyIndex::create(seeds, 2, 16);  // both keys fit the 8 slots
    both->insert(first);
    both->insert(second);
    REQUIRE(both->slot_count() == 8);
    const std::uint64_t h1 = both->hash(first), h2 = both->hash(second);
    CHECK(both->prefetch_offsets(h2) == 0);
    for (Position candidate : {Position{0}, Position{1}, KeyIndex::npos}) {
        CHECK(both->find_hashed(first, h1, candidate) == 0);
        CHECK(both->find_hashed(second, h2, candidate) == 1);
        CHECK(both->find_hashed("absent", both->hash("absent"), candidate) == KeyIndex::npos);
    }
}

TEST_CASE("the candidate of a probe is the first slot on its way with the text's tag") {
    // In an 8-slot table: `home` in its first slot, then `displaced`, which
    // starts at the same slot under another tag and so lies one further on.
    const HashSeeds seeds{3, 4};
    auto index = KeyIndex::create(seeds, 2, 32);
    REQUIRE(index->slot_count() == 8);
    const std::string home = "home";
    const std::uint64_t hh = index->hash(home);
    std::string displaced;
    for (unsigned i = 0; displaced.empty(); ++i) {
        const std::string t = "d" + std::to_string(i);
        const std::uint64_t h = index->hash(t);
        if ((h & 7) == (hh & 7) && (h >> 32) != (hh >> 32)) displaced = t;
    }
    CHECK(index->prefetch_offsets(hh) == KeyIndex::npos);  // empty table: the probe ends at once
    index->insert(home);
    index->insert(displaced);
    const std::uint64_t hd = index->hash(displaced);
    CHECK(index->prefetch_offsets(hh) == 0);
    CHECK(index->prefetch_offsets(hd) == 1);  // walked past `home`'s slot
    CHECK(index->find_hashed(displaced, hd, index->prefetch_offsets(hd)) == 1);
    for (unsigned i = 0; i < 64; ++i) {  // absent texts: npos or a position, never past the table
        const std::string t = "absent" + std::to_string(i);
        const std::uint64_t h = index->hash(t);
        const Position c = index->prefetch_offsets(h);
        CHECK((c == KeyIndex::npos || c < 2));
        CHECK(index->find_hashed(t, h, c) == KeyIndex::npos);
    }
}

TEST_CASE("export_entries copies in position order and stays independent of the record") {
    for (const Entries& entries : {kTricky, Entries{{"", 7.0}}, Entries{}}) {
        Record r = build(entries);
        EntryMap x = export_entries(r);
        CHECK(r.keys->holders() == 1);
        CHECK(r.values->holders() == 1);
        check_holds_exactly(r, entries);
        r.release();  // the export must own copies of everything
        REQUIRE(x.size() == entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            CHECK(x.key(i) == entries[i].first);
            CHECK(bits(x.value(i)) == bits(entries[i].second));
        }
        x.insert("fresh", 1.5);  // still a working map, growing past its exact size
        if (!entries.empty()) x.insert(entries[0].first, 9.0);
        Record again = build_from_entries(std::move(x));
        CHECK(again.size() == entries.size() + 1);
        CHECK(*lookup(again, "fresh") == 1.5);
        if (!entries.empty()) CHECK(*lookup(again, entries[0].first) == 9.0);
    }
}

TEST_CASE("same_key_index compares texts and positions") {
    Record r = build({{"a", 1}, {"b", 2}, {"c", 3}});
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
}

namespace {
// The per-key decision: every key of `a`, looked up in `b` with b's seeds,
// sits at the same position. same_key_index must decide exactly as this does.
bool same_by_lookup(const KeyIndex& a, const KeyIndex& b) {
    if (a.size() != b.size()) return false;
    for (Position p = 0; p < a.size(); ++p) {
        if (b.find(a.key(p)) != p) return false;
    }
    return true;
}

// Both decisions, both ways round, agree with each other and with `equal`.
void check_decision(const KeyIndex& a, const KeyIndex& b, bool equal) {
    CHECK(same_by_lookup(a, b) == equal);
    CHECK(same_by_lookup(b, a) == equal);
    CHECK(same_key_index(a, b) == equal);
    CHECK(same_key_index(b, a) == equal);
}

Entries keyed(std::initializer_list<std::string> texts) {
    Entries out;
    for (const auto& t : texts) out.emplace_back(t, 1.0);
    return out;
}

// n keys of varied lengths (empty, NUL, multi-byte UTF-8 among them), enough
// for several blocks of the sequential comparison.
Entries many_keys(std::size_t n) {
    Entries out;
    for (std::size_t i = 0; i < n; ++i) {
        std::string k = std::to_string(i);
        if (i % 5 == 1) k = std::string("\0", 1) + k;
        if (i % 7 == 2) k += "\xE6\x9D\xB1\xE4\xBA\xAC";
        if (i % 11 == 3) k = std::string(i % 40, 'z') + k;
        out.emplace_back(i == 17 ? std::string() : k, double(i));
    }
    return out;
}
}  // namespace

TEST_CASE("same_key_index decides exactly as a lookup of every key would") {
    SUBCASE("small indexes: orders, splits, empty keys and NUL") {
        Entries base = kTricky;
        const std::vector<std::pair<Entries, Entries>> equal_pairs = {
            {base, base},
            {keyed({""}), keyed({""})},
            {keyed({std::string("\0", 1)}), keyed({std::string("\0", 1)})},
            {keyed({"", "", "a"}), keyed({"", "a"})},  // a repeated text is held once
            {keyed({"a", "b", "a", "c"}), keyed({"a", "b", "c"})},
            {keyed({"only"}), keyed({"only"})},
        };
        const std::vector<std::pair<Entries, Entries>> unequal_pairs = {
            {base, Entries(base.rbegin(), base.rend())},
            {keyed({"a", "b"}), keyed({"b", "a"})},
            {keyed({"a", "b", "c"}), keyed({"b", "c", "a"})},      // every key moved
            {keyed({"a", "b", "c", "d"}), keyed({"a", "c", "b", "d"})},  // one key moved
            {keyed({"ab", "c"}), keyed({"a", "bc"})},              // one arena, other splits
            {keyed({"", "abc"}), keyed({"abc", ""})},
            {keyed({"", "a"}), keyed({"a", ""})},
            {keyed({std::string("a\0", 2), "b"}), keyed({"a", std::string("\0b", 2)})},
            {keyed({std::string("\0", 1)}), keyed({""})},
            {keyed({std::string("\0", 1)}), keyed({std::string("\x01", 1)})},
            {keyed({"abc", "def"}), keyed({"abc", "deg"})},        // one byte changed
            {keyed({"abc", "def"}), keyed({"bbc", "def"})},
            {keyed({"\xC3\xA9"}), keyed({"e\xCC\x81"})},
            {keyed({"a", "b"}), keyed({"a", "b", "c"})},
            {keyed({"a", "b", "a"}), keyed({"b", "a"})},
            {keyed({}), keyed({""})},
        };
        for (const auto& [x, y] : equal_pairs) check_decision(*build(x).keys, *build(y).keys, true);
        for (const auto& [x, y] : unequal_pairs) check_decision(*build(x).keys, *build(y).keys, false);
        check_decision(*build({}).keys, *build({}).keys, true);
    }

    SUBCASE("large indexes: a difference in any block, in offsets or in text") {
        const Entries base = many_keys(10000);
        Record a = build(base);
        const std::size_t n = base.size();
        check_decision(*a.keys, *build(base).keys, true);
        check_decision(*a.keys, *a.keys->clone(), true);
        {  // made with far too little room: it grows, yet lays out the same
            EntryMap tight(0, 0);
            for (const auto& [k, v] : base) tight.insert(k, v);
            check_decision(*a.keys, *build_from_entries(std::move(tight)).keys, true);
        }
        for (std::size_t at : {std::size_t{0}, std::size_t{4095}, std::size_t{4096}, std::size_t{8999}, n - 1}) {
            CAPTURE(at);
            Entries changed = base;  // same lengths, one byte differs
            changed[at].first.back() = static_cast<char>(changed[at].first.back() ^ 0x80);
            Record b = build(changed);
            REQUIRE(b.keys->size() == n);
            REQUIRE(b.keys->text_bytes() == a.keys->text_bytes());
            check_decision(*a.keys, *b.keys, false);

            Entries moved = base;  // the key at `at` moved to the end, or to the front
            auto key = moved[at];
            moved.erase(moved.begin() + static_cast<std::ptrdiff_t>(at));
            if (at + 1 == n) {
                moved.insert(moved.begin(), key);
            } else {
                moved.push_back(key);
            }
            check_decision(*a.keys, *build(moved).keys, false);
        }
        {  // the same arena bytes split differently between keys 5000 and 5001
            Entries resplit = base;
            std::string& left = resplit[5000].first;
            resplit[5001].first.insert(0, 1, left.back());
            left.pop_back();
            Record b = build(resplit);
            REQUIRE(b.keys->text_bytes() == a.keys->text_bytes());
            check_decision(*a.keys, *b.keys, false);
        }
        {  // two neighbours swapped in a late block
            Entries swapped = base;
            std::swap(swapped[9001], swapped[9002]);
            check_decision(*a.keys, *build(swapped).keys, false);
        }
    }
}

TEST_CASE("maps grow past the room they were made with; batches insert like single calls") {
    Entries expected;
    std::vector<std::string> texts;
    std::vector<double> values;
    for (int i = 0; i < 3000; ++i) {
        texts.push_back(std::string(static_cast<std::size_t>(i % 23), 'x') + std::to_string(i));
        values.push_back(i * 0.5);
        expected.emplace_back(texts.back(), values.back());
        if (i % 7 == 0) {  // a repeat, also within one batch and when values are full
            texts.push_back(expected[static_cast<std::size_t>(i / 2)].first);
            values.push_back(-i);
            expected[static_cast<std::size_t>(i / 2)].second = -i;
        }
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    for (auto [capacity, text_bytes] : {std::pair<std::size_t, std::size_t>{0, 0}, {1, 1}, {5, 3}}) {
        CAPTURE(capacity);
        EntryMap one_by_one(capacity, text_bytes), batched(capacity, text_bytes);
        for (std::size_t i = 0; i < views.size(); ++i) one_by_one.insert(views[i], values[i]);
        batched.insert_batch(views.data(), values.data(), 5);
        batched.insert_batch(views.data() + 5, values.data() + 5, views.size() - 5);
        check_holds_exactly(build_from_entries(std::move(one_by_one)), expected);
        check_holds_exactly(build_from_entries(std::move(batched)), expected);
    }
    EntryMap none(0, 0);
    none.insert_batch(nullptr, nullptr, 0);
    CHECK(none.size() == 0);
}

TEST_CASE("100k keys round trip; clones equal the original") {
    constexpr std::size_t n = 100000;
    Entries entries;
    for (std::size_t i = 0; i < n; ++i) entries.emplace_back("key/" + std::to_string(i * 7919 % n), double(i));
    Record r = build(entries);
    check_holds_exactly(r, entries);
    CHECK_FALSE(lookup(r, "key/" + std::to_string(n)).has_value());

    // One index built for exactly its size, one with a much larger table.
    EntryMap roomy(4096, 1 << 16);
    for (std::size_t i = 0; i < 100; ++i) roomy.insert(entries[i].first, entries[i].second);
    Record small = build_from_entries(std::move(roomy));
    for (const Record* src : {&r, &small}) {
        Shared<KeyIndex> copy = src->keys->clone();
        CHECK((copy->seeds().k0 == src->keys->seeds().k0 && copy->seeds().k1 == src->keys->seeds().k1));
        CHECK(same_key_index(*src->keys, *copy));
        CHECK(same_key_index(*copy, *src->keys));
        CHECK(copy->find("absent") == KeyIndex::npos);
    }
    CHECK(build({}).keys->clone()->find("") == KeyIndex::npos);
}

TEST_CASE("inserting a text that lives in the map's own arena survives the arena growing") {
    EntryMap m(2, 3);
    m.insert("abc", 1.0);
    m.insert(m.key(0).substr(1), 2.0);  // forces the arena to grow under the view
    REQUIRE(m.size() == 2);
    CHECK(m.key(1) == "bc");
    CHECK(m.find("bc") == 2.0);
}
