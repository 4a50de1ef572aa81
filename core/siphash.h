// SipHash-1-3: one compression round per 8-byte block, three finalisation
// rounds. Every hash map in jadefox hashes its key texts with it, keyed by the
// map's own seeds, so that hash flooding needs the (random) seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace jadefox {

// Two 64-bit keys of one hash map.
struct HashSeeds {
    std::uint64_t k0;
    std::uint64_t k1;
};

// Plain SipHash-1-3 of `len` bytes.
std::uint64_t siphash13(HashSeeds seeds, const void* data, std::size_t len) noexcept;

// Hash of a key text: SipHash-1-3 of the text's bytes followed by one 0xFF
// byte. The extra byte is never part of valid UTF-8, so it terminates the
// message unambiguously; it is folded in without copying the text.
std::uint64_t hash_key(HashSeeds seeds, std::string_view text) noexcept;

}  // namespace jadefox
