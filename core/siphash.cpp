#include "siphash.h"

#include <cstring>

namespace jadefox {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept {
    return (x << b) | (x >> (64 - b));
}

// Loads 8 bytes as a little-endian word, whatever the host's byte order.
inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
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
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
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

// Hashes `len` bytes of data followed by the `extra` bytes of `suffix`
// (at most one byte here). `total` is the full message length.
std::uint64_t hash_with_suffix(HashSeeds seeds, const unsigned char* p, std::size_t len,
                               const unsigned char* suffix, std::size_t extra) noexcept {
    State s(seeds);
    const std::size_t total = len + extra;
    const unsigned char* end = p + (len & ~std::size_t{7});
    for (; p != end; p += 8) s.compress(load_le64(p));

    // The last block holds the remaining 0..7 bytes of data, then the suffix,
    // and the message length modulo 256 in its top byte. When data and
    // suffix together fill a whole block, that block is compressed first.
    unsigned char tail[16] = {};
    std::size_t rest = len & 7;
    if (rest != 0) std::memcpy(tail, p, rest);
    if (extra != 0) std::memcpy(tail + rest, suffix, extra);
    rest += extra;
    if (rest == 8) {
        s.compress(load_le64(tail));
        rest = 0;
        std::memset(tail, 0, 8);
    }
    std::uint64_t last = load_le64(tail) | (static_cast<std::uint64_t>(total & 0xff) << 56);
    s.compress(last);
    return s.finish();
}

}  // namespace

std::uint64_t siphash13(HashSeeds seeds, const void* data, std::size_t len) noexcept {
    return hash_with_suffix(seeds, static_cast<const unsigned char*>(data), len, nullptr, 0);
}

std::uint64_t hash_key(HashSeeds seeds, std::string_view text) noexcept {
    static constexpr unsigned char terminator = 0xFF;
    return hash_with_suffix(seeds, reinterpret_cast<const unsigned char*>(text.data()),
                            text.size(), &terminator, 1);
}

}  // namespace jadefox
