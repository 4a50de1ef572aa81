// The key index: key text -> position, filled once and then read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "shared.h"
#include "siphash.h"

namespace jadefox {

using Position = std::size_t;

// Layout
//   text_    one arena with every key's UTF-8 bytes, back to back, in
//            position order; key p is text_[offsets_[p], offsets_[p + 1]).
//   offsets_ size() + 1 byte offsets into the arena; offsets_[0] == 0.
//   slots_   open-addressing table (linear probing, power-of-two size) of
//            8-byte slots: the top 32 bits of the key's hash as a tag, and
//            the 32-bit position. Small slots keep more of a large table in
//            cache; the tag rejects almost every non-matching slot without
//            touching the arena.
// Invariants
//   - positions are exactly 0 .. size()-1, each held by one key, and keys
//     appear in the arena in position order;
//   - at most 3/4 of the slots are used, so every probe meets an empty slot;
//   - an index made for n keys and T text bytes never reallocates while
//     those are inserted (it only grows if a caller exceeds what it asked
//     for, which costs a rehash but stays correct).
class KeyIndex : public HolderCount {
public:
    static constexpr Position npos = static_cast<Position>(-1);
    // Largest number of keys: positions must fit a slot's 32 bits, and one
    // value marks an empty slot.
    static constexpr std::size_t max_keys = 0xFFFFFFFEu;

    // An empty index with room for `capacity` keys and `text_bytes` bytes of
    // key text. Throws std::bad_alloc when memory is exhausted.
    static Shared<KeyIndex> create(HashSeeds seeds, std::size_t capacity, std::size_t text_bytes);
    static void destroy(KeyIndex* index) noexcept;

    // An independent copy with the same seeds, keys and positions.
    Shared<KeyIndex> clone() const;

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    HashSeeds seeds() const noexcept { return seeds_; }
    std::size_t text_bytes() const noexcept { return count_ ? offsets_[count_] : 0; }
    std::size_t slot_count() const noexcept { return slot_mask_ ? slot_mask_ + 1 : 0; }

    std::string_view key(Position p) const noexcept {
        return {text_.get() + offsets_[p], offsets_[p + 1] - offsets_[p]};
    }

    // Whether `other` holds the same texts at the same positions. With the
    // texts back to back in position order, that is exactly when both hold
    // as many keys with equal offsets and equal arena bytes: two sequential
    // comparisons, with no hashing, that stop at the first difference.
    bool same_texts_in_order(const KeyIndex& other) const noexcept;

    // The hash of `text` under this index's seeds.
    std::uint64_t hash(std::string_view text) const noexcept { return hash_key(seeds_, text); }

    // Position of `text`, or npos.
    Position find(std::string_view text) const noexcept { return count_ ? find_hashed(text, hash(text)) : npos; }
    // As find, with `h` already computed by hash(text). Needs a non-empty index.
    Position find_hashed(std::string_view text, std::uint64_t h) const noexcept;
    // As find_hashed, where `candidate` is what prefetch_offsets(h) returned:
    // when it holds `text` (the usual hit: the first slot on the probe's way
    // with the text's tag) the answer needs no second probe, only the text
    // comparison.
    Position find_hashed(std::string_view text, std::uint64_t h, Position candidate) const noexcept {
        if (candidate != npos && equals(candidate, text)) return candidate;
        return find_hashed(text, h);
    }

    // Starts loading the slot where a probe for hash `h` begins, so a batch of
    // probes overlaps its cache misses.
    void prefetch(std::uint64_t h) const noexcept {
        if (slots_) __builtin_prefetch(&slots_[static_cast<std::size_t>(h) & slot_mask_]);
    }

    // Follow-up prefetches for a probe whose slot was prefetched earlier:
    // the position most likely to match hash `h` (the first on the probe's
    // way whose tag agrees; npos when the probe meets an empty slot first)
    // with its arena offsets loading, and then the text those offsets point
    // at. A batch of lookups that runs these as separate passes has every
    // cache miss of a probe in flight at once. The walk matters: with linear
    // probing a good part of the keys sit past their first slot, and a
    // lookup whose offsets and text were not prefetched pays two dependent
    // misses of its own.
    Position prefetch_offsets(std::uint64_t h) const noexcept {
        if (!slots_) return npos;
        const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t i = static_cast<std::size_t>(h) & slot_mask_;; i = (i + 1) & slot_mask_) {
            const Slot s = slots_[i];
            if (s.position == empty_slot) return npos;
            if (s.tag == tag) {
                __builtin_prefetch(&offsets_[s.position]);
                return s.position;
            }
        }
    }
    void prefetch_text(Position candidate) const noexcept {
        if (candidate != npos) __builtin_prefetch(text_.get() + offsets_[candidate]);
    }

    // Adds `text` at the next position unless an equal text is present.
    // Returns the text's position and whether it was added.
    std::pair<Position, bool> insert(std::string_view text) { return insert_hashed(text, hash(text)); }
    // As insert, with `h` already computed by hash(text).
    std::pair<Position, bool> insert_hashed(std::string_view text, std::uint64_t h);

private:
    struct Slot {
        std::uint32_t tag;
        std::uint32_t position;  // empty_slot when unused
    };
    static constexpr std::uint32_t empty_slot = 0xFFFFFFFFu;

    explicit KeyIndex(HashSeeds seeds) noexcept : seeds_(seeds) {}
    ~KeyIndex() = default;

    static std::size_t slots_for(std::size_t keys);
    bool equals(Position p, std::string_view text) const noexcept {
        const std::size_t begin = offsets_[p];
        const std::size_t len = offsets_[p + 1] - begin;
        return len == text.size() && (len == 0 || std::memcmp(text_.get() + begin, text.data(), len) == 0);
    }
    [[gnu::always_inline]] std::size_t probe(std::string_view text, std::uint64_t h) const noexcept;
    void place(std::uint64_t h, Position p) noexcept;
    void allocate_table(std::size_t key_capacity);
    void grow_keys();
    void grow_text(std::size_t needed, std::string_view added);

    HashSeeds seeds_;
    std::size_t count_ = 0;
    std::size_t key_capacity_ = 0;
    std::size_t text_capacity_ = 0;
    std::size_t slot_mask_ = 0;  // slot count - 1, or 0 with no table
    std::unique_ptr<char[]> text_;
    std::unique_ptr<std::size_t[]> offsets_;
    std::unique_ptr<Slot[]> slots_;
};

}  // namespace jadefox
