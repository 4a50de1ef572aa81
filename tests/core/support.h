// Helpers shared by the core tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "jadefox_core.h"

namespace jadefox::testing {

using Entries = std::vector<std::pair<std::string, double>>;

// The bit pattern of a double, so -0.0 and NaN payloads compare exactly.
inline std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// A record built from entries in the given order, as a construction would.
inline Record build(const Entries& entries) {
    std::size_t text = 0;
    for (const auto& e : entries) text += e.first.size();
    EntryMap map(entries.size(), text);
    for (const auto& [k, v] : entries) map.insert(k, v);
    return build_from_entries(std::move(map));
}

}  // namespace jadefox::testing
