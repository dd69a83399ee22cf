// The EPC frame decode inside the driver: its per-device work state and the
// constants it derives from the driver state for one frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "drivers/epc/decode_kernels.h"
#include "drivers/epc/epc_state.h"

namespace torvi::epc {

// Which DRNU table a segment copy was made from.
struct DrnuSegmentsKey {
  const uint16_t *table = nullptr;
  size_t size = 0;
  size_t pixels = 0;
  int num_dist = 0;
  uint64_t stamp = 0;  // Drnu::table_stamp of the set
  bool operator==(const DrnuSegmentsKey &) const = default;
};

// What the decode keeps between frames of one device: three work buffers of
// one frame (reused, never allocated per frame once the size is known), the
// segment copy of the DRNU table in use (made once per loaded table),
// and the timers of automatic integration and of the balance-check message.
struct DecodeWork {
  std::vector<uint16_t> raw_amp, image_a, image_b;
  DrnuSegmentTable drnu_segments;  // empty: none
  DrnuSegmentsKey segments_of;
  bool intg_ran = false;
  std::chrono::steady_clock::time_point intg_last{};
  bool balance_sent = false;
  int64_t balance_second = 0;
};

// The decode work of the state (made on first use; null when that fails).
DecodeWork *decode_work(epc_drv_state_t &st);
// Releases the decode work of the state (at driver uninit).
void decode_release(epc_drv_state_t &st);

// The kernels' constants for the frame, from the state's calibration and the
// last frame's temperatures.
SimpleParams simple_params(const epc_drv_state_t &st);
// False when no DRNU table for width x height is loaded (the decode then
// falls back to the simple kernel).
bool drnu_params(const epc_drv_state_t &st, int width, int height, DrnuParams &out);

// Points `p.segments` at a segment copy of `p.table` (drnu_segments), made
// when the table (or its use) changed since the last call; leaves it null
// when the copy cannot be made or brings nothing (no vectorised kernel).
void attach_drnu_segments(DecodeWork &work, const epc_drv_state_t &st, size_t pixels,
                          DrnuParams &p);

// The table set the chip loaded: set 0 in extended mode, else set 1; the
// other set when that one is empty.
int loaded_drnu_set(const Chip &chip);

}  // namespace torvi::epc
