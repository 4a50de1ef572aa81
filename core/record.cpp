#include "record.h"

#include <cstring>
#include <new>

namespace jadefox {

EntryMap::EntryMap(std::size_t capacity, std::size_t text_bytes)
    : keys_(KeyIndex::create(next_hash_seeds(), capacity, text_bytes)), values_(ValueVector::allocate(0, capacity)) {}

void EntryMap::insert(std::string_view text, double value) { insert_hashed(text, keys_->hash(text), value); }

void EntryMap::insert_batch(const std::string_view* texts, const double* values, std::size_t count) {
    constexpr std::size_t batch = 16;
    std::uint64_t hashes[batch];
    for (std::size_t start = 0; start < count; start += batch) {
        const std::size_t end = start + batch < count ? start + batch : count;
        for (std::size_t i = start; i < end; ++i) {
            hashes[i - start] = keys_->hash(texts[i]);
            keys_->prefetch(hashes[i - start]);
        }
        for (std::size_t i = start; i < end; ++i) insert_hashed(texts[i], hashes[i - start], values[i]);
    }
}

void EntryMap::insert_hashed(std::string_view text, std::uint64_t h, double value) {
    ValueVector& values = *values_;
    if (values.size() == values.capacity()) {
        // Only when the caller inserts more than it asked room for. Reserve
        // first so a failure leaves the map as it was.
        std::size_t wanted = values.capacity() < 4 ? 8 : values.capacity() * 2;
        Shared<ValueVector> bigger = ValueVector::allocate(values.size(), wanted);
        if (values.size()) std::memcpy(bigger->data(), values.data(), values.size() * sizeof(double));
        values_ = std::move(bigger);
    }
    const auto [position, added] = keys_->insert_hashed(text, h);
    if (added) {
        values_->push_unchecked(value);
    } else {
        values_->data()[position] = value;
    }
}

std::optional<double> EntryMap::find(std::string_view text) const noexcept {
    const Position p = keys_->find(text);
    if (p == KeyIndex::npos) return std::nullopt;
    return values_->data()[p];
}

Record build_from_entries(EntryMap&& entries) noexcept {
    return Record(std::move(entries.keys_), std::move(entries.values_));
}

std::optional<double> lookup(const Record& record, std::string_view text) noexcept {
    const Position p = record.keys->find(text);
    if (p == KeyIndex::npos) return std::nullopt;
    return record.values->data()[p];
}

// The copy keeps the key index's seeds: its slots stay valid as they are,
// where fresh seeds would mean hashing every key again. Seeds stay random
// per construction, and nothing observable depends on them.
EntryMap export_entries(const Record& record) {
    const std::size_t n = record.size();
    Shared<KeyIndex> keys = record.keys->clone();
    Shared<ValueVector> values = ValueVector::allocate(n);
    if (n) std::memcpy(values->data(), record.values->data(), n * sizeof(double));
    return EntryMap(std::move(keys), std::move(values));
}

// A key index holds each text once, so "b holds a's text at p, for every p"
// (one hash and one probe per key) is the same as "b's text at p equals a's
// text at p, for every p", which same_texts_in_order decides by streaming
// through both arenas in position order.
bool same_key_index(const KeyIndex& a, const KeyIndex& b) noexcept { return &a == &b || a.same_texts_in_order(b); }

Record share(const Record& record) noexcept { return Record(record.keys.share(), record.values.share()); }

ValueVector& make_writable(Shared<ValueVector>& handle) {
    if (handle.is_sole_holder()) return *handle;
    const std::size_t n = handle->size();
    Shared<ValueVector> copy = ValueVector::allocate(n);
    if (n) std::memcpy(copy->data(), handle->data(), n * sizeof(double));
    handle = std::move(copy);  // gives up the hold on the shared vector
    return *handle;
}

}  // namespace jadefox
