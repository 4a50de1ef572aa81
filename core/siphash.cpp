#include "siphash.h"

#include <bit>
#include <cstring>

namespace jadefox {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

// Loads 8 bytes as a little-endian word, whatever the host's byte order.
inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// The last 0..7 bytes of a message as the low bytes of a word.
inline std::uint64_t load_tail(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    switch (n) {
        case 7: v |= static_cast<std::uint64_t>(p[6]) << 48; [[fallthrough]];
        case 6: v |= static_cast<std::uint64_t>(p[5]) << 40; [[fallthrough]];
        case 5: v |= static_cast<std::uint64_t>(p[4]) << 32; [[fallthrough]];
        case 4: v |= static_cast<std::uint64_t>(p[3]) << 24; [[fallthrough]];
        case 3: v |= static_cast<std::uint64_t>(p[2]) << 16; [[fallthrough]];
        case 2: v |= static_cast<std::uint64_t>(p[1]) << 8; [[fallthrough]];
        case 1: v |= static_cast<std::uint64_t>(p[0]); break;
        default: break;
    }
    return v;
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    explicit State(HashSeeds s) noexcept
        : v0(s.k0 ^ 0x736f6d6570736575ULL),
          v1(s.k1 ^ 0x646f72616e646f6dULL),
          v2(s.k0 ^ 0x6c7967656e657261ULL),
          v3(s.k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }

    std::uint64_t finish() noexcept {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

// Hashes `len` bytes of data, optionally followed by one 0xFF byte.
template <bool terminated>
std::uint64_t hash_message(HashSeeds seeds, const unsigned char* p, std::size_t len) noexcept {
    State s(seeds);
    const std::uint64_t total = len + (terminated ? 1 : 0);
    const unsigned char* end = p + (len & ~std::size_t{7});
    for (; p != end; p += 8) s.compress(load_le64(p));

    // The last block: the remaining bytes, then the terminator, and the
    // message length modulo 256 in the top byte. With 7 bytes left, the
    // terminator completes a block of its own first.
    const std::size_t rest = len & 7;
    std::uint64_t last = load_tail(p, rest);
    if (terminated) {
        last |= std::uint64_t{0xFF} << (8 * rest);
        if (rest == 7) {
            s.compress(last);
            last = 0;
        }
    }
    s.compress(last | (total << 56));
    return s.finish();
}

}  // namespace

std::uint64_t siphash13(HashSeeds seeds, const void* data, std::size_t len) noexcept {
    return hash_message<false>(seeds, static_cast<const unsigned char*>(data), len);
}

std::uint64_t hash_key(HashSeeds seeds, std::string_view text) noexcept {
    return hash_message<true>(seeds, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace jadefox
