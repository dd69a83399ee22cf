// The process-wide default colour map g_torvi_cmap.
#pragma once

namespace torvi {

inline constexpr int kDefaultCmapEntries = 30000;

// Fills g_torvi_cmap with 30000 entries and the range 0 ... 4000, releasing
// any table it held before. False (with an ERR line) when the table cannot
// be allocated. Called by library start-up.
bool cmap_default_create();

// Frees the default map's table; safe to call when it holds none.
void cmap_default_release();

}  // namespace torvi
