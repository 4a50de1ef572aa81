// SipHash-1-3 against published known answers, the key hash framing, and the
// per-thread seed source.
#include <doctest/doctest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "jadefox_core.h"

using namespace jadefox;

namespace {
constexpr HashSeeds kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};  // bytes 00 .. 0f
}

TEST_CASE("siphash13 reproduces every reference vector") {
    std::ifstream in(JADEFOX_SIPHASH_VECTORS);
    REQUIRE_MESSAGE(in.is_open(), "cannot open " JADEFOX_SIPHASH_VECTORS);
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::size_t n = 0;
        std::string hex;
        REQUIRE_MESSAGE(static_cast<bool>(fields >> n >> hex), line);
        REQUIRE((n < 256 && hex.rfind("0x", 0) == 0));
        // An exact-size heap buffer, so a read past the message trips ASan.
        auto message = std::make_unique<unsigned char[]>(n);
        for (std::size_t i = 0; i < n; ++i) message[i] = static_cast<unsigned char>(i);
        CAPTURE(n);
        CHECK(siphash13(kReferenceKey, message.get(), n) == std::stoull(hex, nullptr, 16));
        ++rows;
    }
    CHECK(rows >= 64);
}

TEST_CASE("hash_key is siphash13 of the text followed by 0xFF") {
    for (HashSeeds s : {kReferenceKey, HashSeeds{0x9e3779b97f4a7c15ULL, 0xd1b54a32d192ed03ULL}}) {
        for (std::size_t len = 0; len <= 40; ++len) {
            auto text = std::make_unique<char[]>(len);
            auto framed = std::make_unique<unsigned char[]>(len + 1);
            for (std::size_t i = 0; i < len; ++i) {
                framed[i] = static_cast<unsigned char>(i * 37 + len * 11);  // includes 00 and high bytes
                text[i] = static_cast<char>(framed[i]);
            }
            framed[len] = 0xFF;
            CAPTURE(len);
            const std::uint64_t h = hash_key(s, std::string_view(text.get(), len));
            CHECK(h == siphash13(s, framed.get(), len + 1));
            CHECK(h != siphash13(s, framed.get(), len));
        }
    }
}

TEST_CASE("next_hash_seeds advances k0 on each call and differs between threads") {
    const HashSeeds first = next_hash_seeds();
    for (std::uint64_t i = 1; i <= 4; ++i) {
        const HashSeeds s = next_hash_seeds();
        CHECK(s.k0 == first.k0 + i);
        CHECK(s.k1 == first.k1);
    }
    Record r = build_from_entries(EntryMap(1, 1));  // every new map draws from the source
    CHECK(r.keys->seeds().k0 == first.k0 + 5);
    CHECK(r.keys->seeds().k1 == first.k1);

    HashSeeds a{}, b{};
    std::thread ta([&] { a = next_hash_seeds(); next_hash_seeds(); });
    std::thread tb([&] { b = next_hash_seeds(); });
    ta.join();
    tb.join();
    CHECK(a.k1 != first.k1);
    CHECK(b.k1 != first.k1);
    CHECK(a.k1 != b.k1);
    CHECK(next_hash_seeds().k0 == first.k0 + 6);  // other threads left this one's state alone
}

namespace {
// The first two seed pairs a child of fork() draws, read back through a pipe.
struct ChildSeeds {
    HashSeeds first, second;
};

ChildSeeds seeds_of_forked_child() {
    int fds[2];
    REQUIRE(::pipe(fds) == 0);
    const pid_t pid = ::fork();
    REQUIRE(pid >= 0);
    if (pid == 0) {
        const ChildSeeds drawn{next_hash_seeds(), next_hash_seeds()};
        const bool sent = ::write(fds[1], &drawn, sizeof drawn) == static_cast<ssize_t>(sizeof drawn);
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    ChildSeeds got{};
    const ssize_t n = ::read(fds[0], &got, sizeof got);
    ::close(fds[0]);
    int status = 0;
    REQUIRE(::waitpid(pid, &status, 0) == pid);
    REQUIRE(WIFEXITED(status));
    REQUIRE(WEXITSTATUS(status) == 0);
    REQUIRE(n == static_cast<ssize_t>(sizeof got));
    return got;
}
}  // namespace

TEST_CASE("a forked child draws fresh seeds instead of continuing its parent's sequence") {
    const HashSeeds before = next_hash_seeds();  // the parent's state is set up before it forks
    const ChildSeeds child = seeds_of_forked_child();
    const HashSeeds parent_next = next_hash_seeds();

    // The parent goes on where it was; its whole sequence shares one k1.
    CHECK(parent_next.k0 == before.k0 + 1);
    CHECK(parent_next.k1 == before.k1);
    // The child's k1 comes from fresh random bytes, so none of its pairs can
    // be one its parent used or will use. Before this, the child's first pair
    // was exactly parent_next.
    CHECK(child.first.k1 != before.k1);
    CHECK_FALSE((child.first.k0 == parent_next.k0 && child.first.k1 == parent_next.k1));
    // From there on the child's own sequence works as in any thread.
    CHECK(child.second.k0 == child.first.k0 + 1);
    CHECK(child.second.k1 == child.first.k1);

    // Every child draws its own: two children of one parent differ too.
    const ChildSeeds sibling = seeds_of_forked_child();
    CHECK(sibling.first.k1 != child.first.k1);
    CHECK(sibling.first.k1 != before.k1);
}
