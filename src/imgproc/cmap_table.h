// Construction of the jet-shaped colour table.
#pragma once

#include <cstdint>
#include <span>

namespace torvi {

// Fills `table` with the ramp for N = table.size() entries: entry i is
// sampled at t = i / N - 0.25, from dark blue (t = -0.25) toward dark red.
void cmap_fill_table(std::span<uint32_t> table);

}  // namespace torvi
