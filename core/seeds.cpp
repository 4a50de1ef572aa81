#include "seeds.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <pthread.h>
#include <sys/random.h>
#include <thread>
#include <unistd.h>

namespace jadefox {
namespace {

// Asks the kernel for random bytes without ever blocking: a library must not
// hang its host at early boot just to seed a hash table.
bool os_random(unsigned char* out, std::size_t len) noexcept {
    std::size_t got = 0;
    while (got < len) {
        ssize_t r = getrandom(out + got, len - got, GRND_NONBLOCK);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (got == len) return true;

    // getrandom is missing (old kernel, seccomp) or its pool is not ready:
    // /dev/urandom never blocks and is the same generator.
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    got = 0;
    while (got < len) {
        ssize_t r = ::read(fd, out + got, len - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (!(r < 0 && errno == EINTR)) {
            break;
        }
    }
    ::close(fd);
    return got == len;
}

// Last resort when the OS offers no randomness at all. Never fixed seeds:
// the clocks (nanoseconds since boot and since the epoch), the cycle counter
// where there is one, the process and thread identities and the addresses of
// a stack and a thread-local object (randomised by ASLR) differ between
// processes and threads and cannot be predicted by a remote attacker; they
// are mixed through SipHash so every bit of the seeds depends on all of them.
HashSeeds fallback_seeds(const void* thread_local_address) noexcept {
    std::uint64_t material[8] = {};
    material[0] = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    material[1] = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
#if defined(__x86_64__) || defined(__i386__)
    material[2] = __builtin_ia32_rdtsc();
#endif
    material[3] = static_cast<std::uint64_t>(::getpid());
    material[4] = std::hash<std::thread::id>{}(std::this_thread::get_id());
    material[5] = reinterpret_cast<std::uintptr_t>(thread_local_address);
    material[6] = reinterpret_cast<std::uintptr_t>(&material);
    material[7] = reinterpret_cast<std::uintptr_t>(&os_random);
    const HashSeeds mix{0x6a61646566786f78ULL, material[0] ^ material[5]};
    HashSeeds out;
    out.k0 = siphash13(mix, material, sizeof material);
    material[0] ^= out.k0;
    out.k1 = siphash13(mix, material, sizeof material);
    return out;
}

struct ThreadSeeds {
    bool ready = false;
    HashSeeds current{0, 0};
};

// Initial-exec: the loader places it when the library is loaded, inside
// every thread's static TLS block. The default model for a shared library
// instead has glibc allocate it on a thread's first use, and glibc aborts
// the process when that allocation fails -- as it does when the first
// construction in a thread comes with memory exhausted.
[[gnu::tls_model("initial-exec")]] constinit thread_local ThreadSeeds thread_seeds;

// fork() copies the forking thread's state into the child, which would then
// hand out exactly the seeds the parent hands out next: every worker of a
// pre-forking server would repeat one sequence. In the child, the forking
// thread is the only thread, and this handler runs on it: dropping its state
// makes the child's next map read fresh random bytes. Registered once per
// process, by the first thread that seeds (the cold path below), so the hot
// path keeps its one branch. Should registration fail (memory is short), the
// next thread to seed tries again.
void forget_seeds_in_child() noexcept { thread_seeds.ready = false; }

void watch_forks() noexcept {
    static std::atomic<bool> registered{false};
    bool expected = false;
    if (registered.load(std::memory_order_relaxed) ||
        !registered.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        return;
    }
    if (::pthread_atfork(nullptr, nullptr, forget_seeds_in_child) != 0) {
        registered.store(false, std::memory_order_release);
    }
}

}  // namespace

HashSeeds next_hash_seeds() noexcept {
    ThreadSeeds& state = thread_seeds;
    if (!state.ready) {
        watch_forks();
        unsigned char bytes[16];
        if (os_random(bytes, sizeof bytes)) {
            std::memcpy(&state.current.k0, bytes, 8);
            std::memcpy(&state.current.k1, bytes + 8, 8);
        } else {
            state.current = fallback_seeds(&state);
        }
        state.ready = true;
    }
    HashSeeds out = state.current;
    ++state.current.k0;  // unsigned: wraps modulo 2^64
    return out;
}

}  // namespace jadefox
