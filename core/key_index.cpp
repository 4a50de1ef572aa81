#include "key_index.h"

#include <cstring>
#include <new>

namespace jadefox {

// Smallest power of two that keeps `keys` at no more than 3/4 load, and at
// least 8. Throws std::bad_alloc where that cannot be represented.
std::size_t KeyIndex::slots_for(std::size_t keys) {
    if (keys > max_keys) throw std::bad_alloc();
    const std::size_t needed = keys + keys / 3 + 1;
    std::size_t slots = 8;
    while (slots < needed) {
        if (slots > (static_cast<std::size_t>(-1) >> 1)) throw std::bad_alloc();
        slots <<= 1;
    }
    return slots;
}

void KeyIndex::allocate_table(std::size_t key_capacity) {
    const std::size_t slots = slots_for(key_capacity);
    if (slots > static_cast<std::size_t>(-1) / sizeof(Slot)) throw std::bad_alloc();
    auto table = std::make_unique_for_overwrite<Slot[]>(slots);
    std::memset(table.get(), 0xFF, slots * sizeof(Slot));  // every position empty_slot
    slots_ = std::move(table);
    slot_mask_ = slots - 1;
}

Shared<KeyIndex> KeyIndex::create(HashSeeds seeds, std::size_t capacity, std::size_t text_bytes) {
    if (capacity > max_keys) throw std::bad_alloc();
    Shared<KeyIndex> index(new KeyIndex(seeds));
    index->offsets_ = std::make_unique_for_overwrite<std::size_t[]>(capacity + 1);
    index->offsets_[0] = 0;
    index->key_capacity_ = capacity;
    if (text_bytes) index->text_ = std::make_unique_for_overwrite<char[]>(text_bytes);
    index->text_capacity_ = text_bytes;
    if (capacity) index->allocate_table(capacity);
    return index;
}

void KeyIndex::destroy(KeyIndex* index) noexcept { delete index; }

Shared<KeyIndex> KeyIndex::clone() const {
    Shared<KeyIndex> copy = create(seeds_, count_, text_bytes());
    KeyIndex& c = *copy;
    if (text_bytes()) std::memcpy(c.text_.get(), text_.get(), text_bytes());
    std::memcpy(c.offsets_.get(), offsets_.get(), (count_ + 1) * sizeof(std::size_t));
    c.count_ = count_;
    // Same seeds and same positions, so the slots can be rebuilt by position
    // without re-hashing only if the table sizes match; they do when this
    // index was built for exactly its own size, and otherwise we rehash.
    if (count_) {
        if (c.slot_mask_ == slot_mask_) {
            std::memcpy(c.slots_.get(), slots_.get(), slot_count() * sizeof(Slot));
        } else {
            for (Position p = 0; p < count_; ++p) c.place(c.hash(c.key(p)), p);
        }
    }
    return copy;
}

bool KeyIndex::same_texts_in_order(const KeyIndex& other) const noexcept {
    if (count_ != other.count_) return false;
    if (count_ == 0) return true;
    const std::size_t bytes = text_bytes();
    if (bytes != other.text_bytes()) return false;
    // In blocks of keys, offsets then the text they span, so that a
    // difference early in either stream ends the comparison early.
    constexpr std::size_t block = 4096;
    const std::size_t* mine = offsets_.get();
    const std::size_t* theirs = other.offsets_.get();
    for (std::size_t start = 0; start < count_; start += block) {
        const std::size_t end = count_ - start > block ? start + block : count_;
        // offsets_[0] is 0 in both; compare offsets_[start + 1 .. end].
        if (std::memcmp(mine + start + 1, theirs + start + 1, (end - start) * sizeof(std::size_t)) != 0) return false;
        const std::size_t from = mine[start], to = mine[end];
        if (to > from && std::memcmp(text_.get() + from, other.text_.get() + from, to - from) != 0) return false;
    }
    return true;
}

// The slot holding `text`, or the empty slot where its probe ends.
inline std::size_t KeyIndex::probe(std::string_view text, std::uint64_t h) const noexcept {
    const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t i = static_cast<std::size_t>(h) & slot_mask_;; i = (i + 1) & slot_mask_) {
        const Slot s = slots_[i];
        if (s.position == empty_slot || (s.tag == tag && equals(s.position, text))) return i;
    }
}

Position KeyIndex::find_hashed(std::string_view text, std::uint64_t h) const noexcept {
    const Slot s = slots_[probe(text, h)];
    return s.position == empty_slot ? npos : s.position;
}

void KeyIndex::place(std::uint64_t h, Position p) noexcept {
    std::size_t i = static_cast<std::size_t>(h) & slot_mask_;
    while (slots_[i].position != empty_slot) i = (i + 1) & slot_mask_;
    slots_[i] = Slot{static_cast<std::uint32_t>(h >> 32), static_cast<std::uint32_t>(p)};
}

std::pair<Position, bool> KeyIndex::insert_hashed(std::string_view text, std::uint64_t h) {
    if (count_ == key_capacity_) {
        if (count_) {
            const Position found = find_hashed(text, h);
            if (found != npos) return {found, false};
        }
        grow_keys();
    }
    // One probe finds the text or the empty slot it goes into.
    const std::size_t i = probe(text, h);
    if (slots_[i].position != empty_slot) return {slots_[i].position, false};
    const std::size_t begin = offsets_[count_];
    if (text.size() > text_capacity_ - begin) {
        grow_text(begin + text.size(), text);
    } else if (!text.empty()) {
        std::memcpy(text_.get() + begin, text.data(), text.size());
    }
    const Position p = count_++;
    offsets_[count_] = begin + text.size();
    slots_[i] = Slot{static_cast<std::uint32_t>(h >> 32), static_cast<std::uint32_t>(p)};
    return {p, true};
}

// Cold path: more keys than the index was made for. Doubles the key
// capacity and rebuilds the table.
void KeyIndex::grow_keys() {
    if (key_capacity_ >= max_keys) throw std::bad_alloc();
    const std::size_t wanted = key_capacity_ < 4 ? 8 : key_capacity_ > max_keys / 2 ? max_keys : key_capacity_ * 2;
    auto offsets = std::make_unique_for_overwrite<std::size_t[]>(wanted + 1);
    std::memcpy(offsets.get(), offsets_.get(), (count_ + 1) * sizeof(std::size_t));
    allocate_table(wanted);  // may throw; nothing has changed yet but the new table
    offsets_ = std::move(offsets);
    key_capacity_ = wanted;
    for (Position p = 0; p < count_; ++p) place(hash(key(p)), p);
}

// Cold path: more key text than the index was made for. Appends `added`
// while the old arena still exists, since it may point into it.
void KeyIndex::grow_text(std::size_t needed, std::string_view added) {
    std::size_t wanted = text_capacity_ * 2;
    if (wanted < needed) wanted = needed;
    auto text = std::make_unique_for_overwrite<char[]>(wanted);
    const std::size_t used = offsets_[count_];
    if (used) std::memcpy(text.get(), text_.get(), used);
    if (!added.empty()) std::memcpy(text.get() + used, added.data(), added.size());
    text_ = std::move(text);
    text_capacity_ = wanted;
}

}  // namespace jadefox
