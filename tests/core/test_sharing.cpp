// Holder counts, release, and copy on write, also across threads.
#include <doctest/doctest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "jadefox_core.h"

using namespace jadefox;

namespace {
Record build_sequence(std::size_t n) {
    EntryMap m(n, 8 * n);
    for (std::size_t i = 0; i < n; ++i) m.insert("k" + std::to_string(i), double(i) + 0.25);
    return build_from_entries(std::move(m));
}

bool same_bits(const ValueVector& a, const ValueVector& b) {
    return a.size() == b.size() &&
           (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}
}  // namespace

TEST_CASE("share takes a hold on both parts; release and destruction give it back") {
    Record r = build_sequence(3);
    REQUIRE(r.keys->holders() == 1);
    REQUIRE(r.values->holders() == 1);
    {
        Record s = share(r);
        CHECK(s.keys.get() == r.keys.get());
        CHECK(s.values.get() == r.values.get());
        Record t = share(s);
        CHECK(r.keys->holders() == 3);
        CHECK(r.values->holders() == 3);
        release(std::move(t));
        CHECK_FALSE(t.keys);
        CHECK_FALSE(t.values);
        t.release();  // a second release is harmless
        CHECK(r.keys->holders() == 2);
        CHECK(r.values->holders() == 2);

        Record u = share(r);
        u = share(r);  // assignment gives up the old holds
        CHECK(r.values->holders() == 3);
        u = build_sequence(1);
        CHECK(r.keys->holders() == 2);
        CHECK(r.values->holders() == 2);
    }
    CHECK(r.keys->holders() == 1);
    CHECK(r.values->holders() == 1);

    // A share keeps both parts alive after the original lets go.
    Record s = share(r);
    r.release();
    CHECK(s.keys->holders() == 1);
    CHECK(*lookup(s, "k2") == 2.25);
}

TEST_CASE("make_writable copies only a shared vector") {
    Record r = build_sequence(4);
    ValueVector* original = r.values.get();

    SUBCASE("sole holder: the same vector, nothing copied") {
        ValueVector& w = make_writable(r.values);
        CHECK(&w == original);
        CHECK(r.values.get() == original);
        CHECK(original->holders() == 1);
        w.data()[0] = -7.0;
        CHECK(*lookup(r, "k0") == -7.0);
    }
    SUBCASE("shared: a private copy; the other holder's vector is never written") {
        Record s = share(r);
        std::vector<double> before(original->data(), original->data() + original->size());
        ValueVector& w = make_writable(s.values);
        CHECK(&w != original);
        CHECK(s.values.get() == &w);
        CHECK(w.holders() == 1);
        CHECK(original->holders() == 1);
        CHECK(r.keys->holders() == 2);  // the key index is untouched
        CHECK(same_bits(w, *original));
        for (std::size_t i = 0; i < w.size(); ++i) w.data()[i] = -1.0;
        CHECK(std::memcmp(original->data(), before.data(), before.size() * sizeof(double)) == 0);
        CHECK(&make_writable(s.values) == &w);  // now sole: no second copy
    }
    SUBCASE("shared empty vector") {
        Record e = build_sequence(0);
        Record s = share(e);
        ValueVector& w = make_writable(s.values);
        CHECK(&w != e.values.get());
        CHECK(w.size() == 0);
        CHECK(e.values->holders() == 1);
    }
    CHECK(r.keys->holders() == 1);
    CHECK(r.values->holders() == 1);
}

TEST_CASE("threads share, copy and release one record consistently") {
    Record r = build_sequence(64);
    const ValueVector* original = r.values.get();
    const std::vector<double> before(original->data(), original->data() + original->size());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                Record s = share(r);
                Record extra = share(s);
                bool ok = s.values.get() == original && same_bits(*s.values, *original);
                ValueVector& w = make_writable(s.values);  // r and extra still hold it
                ok = ok && &w != original && w.holders() == 1 && same_bits(w, *original);
                for (std::size_t p = 0; p < w.size(); ++p) w.data()[p] = t * 1000.0 + i;
                release(std::move(extra));
                Record copy = share(s);
                ValueVector& w2 = make_writable(copy.values);  // s holds w: copies again
                ok = ok && &w2 != &w && w2.data()[63] == t * 1000.0 + i;
                copy.release();
                ok = ok && &make_writable(s.values) == &w;  // sole holder again
                ok = ok && *lookup(s, "k5") == t * 1000.0 + i;
                if (!ok) failures.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(failures.load() == 0);
    CHECK(r.keys->holders() == 1);
    CHECK(r.values->holders() == 1);
    CHECK(std::memcmp(original->data(), before.data(), before.size() * sizeof(double)) == 0);
}

TEST_CASE("writing in place after another thread lets go never disturbs its reads") {
    // The reader releases its share while the writer asks for a writable
    // vector: the writer may copy or write in place, but the reader must have
    // seen the original values either way (TSan checks the ordering).
    std::atomic<int> failures{0};
    for (int i = 0; i < 200; ++i) {
        Record writer = build_sequence(32);
        Record reader = share(writer);
        std::thread th([&] {
            double total = 0;
            for (std::size_t p = 0; p < 32; ++p) total += reader.values->data()[p];
            if (total != 32 * 15.5 + 8.0) failures.fetch_add(1);
            reader.release();
        });
        ValueVector& w = make_writable(writer.values);
        for (std::size_t p = 0; p < w.size(); ++p) w.data()[p] = -1.0;
        th.join();
        if (writer.values->holders() != 1 || writer.keys->holders() != 1) failures.fetch_add(1);
    }
    CHECK(failures.load() == 0);
}
