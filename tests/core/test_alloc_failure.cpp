// Native allocation failure: every core operation that allocates, with its
// k-th allocation failing, for every k up to past its last one. The failure
// must come out as std::bad_alloc, leave its inputs as they were and give
// back every block it took.
//
// This file replaces the global operator new and delete for the whole test
// binary: allocations go to malloc and free (so the sanitizers still see
// every block), are counted, and fail on demand on the arming thread only.
#include <doctest/doctest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "support.h"

namespace {

// Armed when >= 0: the number of further operator new calls on this thread
// that succeed before one fails.
thread_local long fail_after = -1;
thread_local long attempted = 0;     // calls counted while armed
thread_local long live_blocks = 0;   // blocks of this thread not given back

void* allocate(std::size_t n, std::size_t alignment) {
    if (fail_after >= 0) {
        ++attempted;
        if (fail_after-- == 0) throw std::bad_alloc();
    }
    if (n == 0) n = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(n);
    } else if (posix_memalign(&p, alignment, n) != 0) {
        p = nullptr;
    }
    if (!p) throw std::bad_alloc();
    ++live_blocks;
    return p;
}

void deallocate(void* p) noexcept {
    if (!p) return;
    --live_blocks;
    std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n, 0); }
void* operator new[](std::size_t n) { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n, 0);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    try {
        return allocate(n, static_cast<std::size_t>(a));
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t& t) noexcept {
    return operator new(n, a, t);
}
void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }

using namespace jadefox;
using jadefox::testing::bits;
using jadefox::testing::build;
using jadefox::testing::Entries;

namespace {

// Everything a record shows, bit for bit, and its holder counts.
struct Seen {
    std::vector<std::string> keys;
    std::vector<std::uint64_t> values;
    std::size_t key_holders, value_holders;
    bool operator==(const Seen&) const = default;
};

Seen seen(const Record& r) {
    Seen s{{}, {}, r.keys->holders(), r.values->holders()};
    for (Position p = 0; p < r.keys->size(); ++p) {
        s.keys.emplace_back(r.keys->key(p));
        s.values.push_back(bits(r.values->data()[p]));
    }
    return s;
}

// Runs `op` with its k-th allocation failing, k = 0, 1, ..., until it runs
// through without reaching a failure. Returns how many failures it met.
int fail_each_allocation(const char* what, const std::vector<const Record*>& inputs,
                         const std::function<void()>& op) {
    std::vector<Seen> before;
    for (const Record* r : inputs) before.push_back(seen(*r));
    int failures = 0;
    for (long k = 0;; ++k) {
        INFO(what << ", allocation " << k << " failing");
        const long blocks = live_blocks;
        attempted = 0;
        fail_after = k;
        bool threw = false;
        try {
            op();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        fail_after = -1;
        CHECK(live_blocks == blocks);  // what op made is gone, failed or not
        for (std::size_t i = 0; i < inputs.size(); ++i) CHECK(seen(*inputs[i]) == before[i]);
        if (!threw) {
            CHECK(attempted <= k);  // it never reached the failing allocation
            break;
        }
        ++failures;
        REQUIRE(k < 10000);
    }
    return failures;
}

Entries sample(std::size_t n, const char* prefix) {
    Entries e;
    for (std::size_t i = 0; i < n; ++i) e.emplace_back(prefix + std::to_string(i) + "-with-some-length", i * 0.5 - 3.0);
    return e;
}

}  // namespace

TEST_CASE("every allocating core operation fails cleanly at each of its allocations") {
    const Record r = build(sample(40, "k"));
    const Record derived = apply_scalar(r, BinaryOp::add, 1.0);
    Entries half = sample(40, "k");
    half.resize(20);
    const Record other = build(half);
    const std::vector<const Record*> all = {&r, &derived, &other};

    int total = 0;
    total += fail_each_allocation("build_from_entries", all, [] { Record x = build(sample(30, "b")); });
    total += fail_each_allocation("entry map grown past its size", all, [] {
        EntryMap m(2, 4);  // room for 2 short keys; 50 long ones make it grow
        for (int i = 0; i < 50; ++i) m.insert("grown-key-" + std::to_string(i), i);
        for (int i = 0; i < 50; i += 7) m.insert("grown-key-" + std::to_string(i), -i);  // replacements
    });
    total += fail_each_allocation("insert_batch past its size", all, [] {
        EntryMap m(1, 1);
        std::vector<std::string> texts;
        for (int i = 0; i < 40; ++i) texts.push_back("batch-key-" + std::to_string(i));
        std::vector<std::string_view> views(texts.begin(), texts.end());
        std::vector<double> values(texts.size(), 2.5);
        m.insert_batch(views.data(), values.data(), views.size());
    });
    total += fail_each_allocation("export_entries", all, [&] { EntryMap m = export_entries(r); });
    total += fail_each_allocation("KeyIndex::clone", all, [&] { Shared<KeyIndex> c = r.keys->clone(); });
    for (BinaryOp op : {BinaryOp::add, BinaryOp::subtract, BinaryOp::multiply, BinaryOp::divide}) {
        total += fail_each_allocation("combine, one key index", all, [&] { Record x = combine(r, derived, op, 2.0); });
        total += fail_each_allocation("combine, keyed", all, [&] { Record x = combine(r, other, op, 2.0); });
        total += fail_each_allocation("apply_scalar", all, [&] { Record x = apply_scalar(r, op, 3.0); });
    }
    total += fail_each_allocation("reset", all, [&] { Record x = reset(r, 7.0); });
    total += fail_each_allocation("make_writable of a shared vector", all, [&] {
        Record s = share(derived);
        make_writable(s.values).data()[0] = 99.0;
    });
    MESSAGE("injected native allocation failures: " << total);
    CHECK(total > 20);
}
