// Per-thread source of hash seeds.
#pragma once

#include "siphash.h"

namespace jadefox {

// Seeds for a new hash map. Each thread draws 16 random bytes from the
// operating system on its first call; every call returns the thread's
// current pair and then advances k0 by one (mod 2^64), so no two maps made
// on one thread share seeds and nothing here needs a lock. A child process
// made by fork() draws fresh bytes for its first map instead of continuing
// the forking thread's sequence, so it never repeats its parent's seeds.
HashSeeds next_hash_seeds() noexcept;

}  // namespace jadefox
