// The JadeDict record and the operations that build, read, compare, share
// and release it. Plain data: nothing here knows about Python.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "key_index.h"
#include "seeds.h"
#include "shared.h"
#include "value_vector.h"

namespace jadefox {

// A dictionary's data: a key index shared by every dictionary derived from
// one construction, and a value vector with keys->size() values, value p
// belonging to the key at position p. A record handed out is never changed.
struct Record {
    Shared<KeyIndex> keys;
    Shared<ValueVector> values;

    Record() noexcept = default;
    Record(Shared<KeyIndex> k, Shared<ValueVector> v) noexcept : keys(std::move(k)), values(std::move(v)) {}
    Record(Record&&) noexcept = default;
    Record& operator=(Record&& other) noexcept {
        if (this != &other) {
            release();
            keys = std::move(other.keys);
            values = std::move(other.values);
        }
        return *this;
    }
    ~Record() { release(); }

    std::size_t size() const noexcept { return values->size(); }

    // Gives up the hold on the key index, then the one on the value vector.
    void release() noexcept {
        keys.reset();
        values.reset();
    }
};

// Entries on their way into a construction or out of an export: distinct key
// texts with values, listed in the order their texts were first inserted.
// Storage is exactly what a key index and a value vector need, so that
// build_from_entries hands it over without copying or rehashing.
class EntryMap {
public:
    // An empty map with room for `capacity` entries whose key texts total
    // `text_bytes`; seeds from next_hash_seeds. Inserting more than that
    // still works, at the cost of growing. Throws std::bad_alloc.
    EntryMap(std::size_t capacity, std::size_t text_bytes);

    // Adds `text` with `value`; a text already present keeps its place and
    // takes the new value.
    void insert(std::string_view text, double value);

    // Inserts `count` entries in order, as many insert calls would. Hashing
    // them all before probing lets the table's cache misses overlap, which
    // is most of the cost of filling a large map.
    void insert_batch(const std::string_view* texts, const double* values, std::size_t count);

    std::size_t size() const noexcept { return keys_->size(); }
    std::string_view key(std::size_t i) const noexcept { return keys_->key(i); }
    double value(std::size_t i) const noexcept { return values_->data()[i]; }
    std::optional<double> find(std::string_view text) const noexcept;

private:
    void insert_hashed(std::string_view text, std::uint64_t h, double value);
    EntryMap(Shared<KeyIndex> keys, Shared<ValueVector> values) noexcept
        : keys_(std::move(keys)), values_(std::move(values)) {}
    friend Record build_from_entries(EntryMap&& entries) noexcept;
    friend EntryMap export_entries(const Record& record);

    Shared<KeyIndex> keys_;
    Shared<ValueVector> values_;
};

// Makes a record from `entries`, consuming them; the i-th entry gets
// position i. Hands the storage over: nothing is copied or rehashed.
Record build_from_entries(EntryMap&& entries) noexcept;

// The value stored for `text`, or nothing.
std::optional<double> lookup(const Record& record, std::string_view text) noexcept;

// A new entry map with a copy of every key text and value, in position order.
EntryMap export_entries(const Record& record);

// Whether two key indexes map the same texts to the same positions. Constant
// time when both are one object (every dictionary derived from one
// construction); otherwise one sequential pass over both indexes' offsets
// and key texts, stopping at the first difference.
bool same_key_index(const KeyIndex& a, const KeyIndex& b) noexcept;

// A second record holding the same key index and value vector.
Record share(const Record& record) noexcept;

// A value vector that `handle` alone holds, ready to be written: the vector
// itself when `handle` is its only holder, otherwise a private copy that
// `handle` is re-pointed to. Throws std::bad_alloc when copying fails, with
// `handle` unchanged.
ValueVector& make_writable(Shared<ValueVector>& handle);

// Gives up both holds of `record` (key index first).
inline void release(Record&& record) noexcept { record.release(); }

}  // namespace jadefox
