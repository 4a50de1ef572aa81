// Holder counts, release, and copy on write, also across threads.
#include <doctest/doctest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "jadefox_core.h"

using namespace jadefox;

namespace {
// Keys k0 .. k(n-1) with values 0.25, 1.25, ...
Record build_sequence(std::size_t n) {
    EntryMap m(n, 8 * n);
    for (std::size_t i = 0; i < n; ++i) m.insert("k" + std::to_string(i), double(i) + 0.25);
    return build_from_entries(std::move(m));
}

bool same_bits(const ValueVector& a, const ValueVector& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void check_holders(const Record& r, std::size_t keys, std::size_t values) {
    CHECK(r.keys->holders() == keys);
    CHECK(r.values->holders() == values);
}
}  // namespace

TEST_CASE("share takes a hold on both parts; release and destruction give it back") {
    Record r = build_sequence(3);
    check_holders(r, 1, 1);
    {
        Record s = share(r);
        CHECK(s.keys.get() == r.keys.get());
        CHECK(s.values.get() == r.values.get());
        Record t = share(s);
        check_holders(r, 3, 3);
        release(std::move(t));
        CHECK_FALSE(t.keys);
        CHECK_FALSE(t.values);
        t.release();  // a second release is harmless
        check_holders(r, 2, 2);
        Record u = share(r);
        u = share(r);  // assignment gives up the old holds
        check_holders(r, 3, 3);
        u = build_sequence(1);
        check_holders(r, 2, 2);
    }
    check_holders(r, 1, 1);
    Record s = share(r);
    r.release();  // the share keeps both parts alive
    check_holders(s, 1, 1);
    CHECK(*lookup(s, "k2") == 2.25);
}

TEST_CASE("make_writable copies only a shared vector") {
    Record r = build_sequence(4);
    ValueVector* original = r.values.get();
    SUBCASE("sole holder: the same vector, nothing copied") {
        CHECK(&make_writable(r.values) == original);
        CHECK(r.values.get() == original);
    }
    SUBCASE("shared: a private copy; the other holder's vector is never written") {
        Record s = share(r);
        const std::vector<double> before(original->data(), original->data() + original->size());
        ValueVector& w = make_writable(s.values);
        CHECK(&w != original);
        CHECK(s.values.get() == &w);
        CHECK(w.holders() == 1);
        check_holders(r, 2, 1);  // the key index stays shared
        CHECK(same_bits(w, *original));
        for (std::size_t i = 0; i < w.size(); ++i) w.data()[i] = -1.0;
        CHECK(std::memcmp(original->data(), before.data(), before.size() * sizeof(double)) == 0);
        CHECK(&make_writable(s.values) == &w);  // now the sole holder: no second copy
    }
    SUBCASE("shared empty vector") {
        Record e = build_sequence(0);
        Record s = share(e);
        CHECK(&make_writable(s.values) != e.values.get());
        CHECK(s.values->size() == 0);
        check_holders(e, 2, 1);
    }
    check_holders(r, 1, 1);
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
                const double mark = t * 10000.0 + i;
                Record s = share(r);
                Record extra = share(s);
                bool ok = s.values.get() == original;
                ValueVector& w = make_writable(s.values);  // r and extra still hold it: a copy
                ok = ok && &w != original && w.holders() == 1 && same_bits(w, *original);
                for (std::size_t p = 0; p < w.size(); ++p) w.data()[p] = mark;
                release(std::move(extra));
                Record copy = share(s);
                ValueVector& w2 = make_writable(copy.values);  // s holds w: another copy
                ok = ok && &w2 != &w && w2.data()[63] == mark;
                copy.release();
                ok = ok && &make_writable(s.values) == &w && *lookup(s, "k5") == mark;
                if (!ok) failures.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(failures.load() == 0);
    check_holders(r, 1, 1);
    CHECK(std::memcmp(original->data(), before.data(), before.size() * sizeof(double)) == 0);
}

TEST_CASE("a writer never disturbs a holder that lets go on another thread") {
    // The writer may copy or write in place, depending on whether the reader
    // has let go yet; the reader must see the original values either way
    // (under TSan this also checks the ordering of the holder counts).
    std::atomic<int> failures{0};
    for (int i = 0; i < 200; ++i) {
        Record writer = build_sequence(32);
        Record reader = share(writer);
        std::thread th([&] {
            double total = 0;
            for (std::size_t p = 0; p < 32; ++p) total += reader.values->data()[p];
            if (total != 504.0) failures.fetch_add(1);
            reader.release();
        });
        ValueVector& w = make_writable(writer.values);
        for (std::size_t p = 0; p < w.size(); ++p) w.data()[p] = -1.0;
        th.join();
        if (writer.values->holders() != 1 || writer.keys->holders() != 1) failures.fetch_add(1);
    }
    CHECK(failures.load() == 0);
}
