// Block write and read on a link, with progress reports and the restart
// wait: the work behind the exported transfer calls.
#pragma once

#include <torvi/torvi_transfer.h>

#include <algorithm>
#include <cstdint>

namespace torvi::transfer {

// Where progress goes (nowhere when cb is null).
struct Progress {
  torvi_xfer_progress_cb_t cb = nullptr;
  void *arg = nullptr;
  void operator()(int stage, uint64_t done, uint64_t total) const {
    if (cb != nullptr) cb(std::min(done, total), total, stage, arg);
  }
};

// Writes the file at `path` into block `type` as `version`. 1 or -1.
int write_block(torvi_ll_t *ll, uint8_t type, uint16_t version, const char *path,
                const Progress &progress);
// Reads block `type` into `path` (null: the default name). 1 or -1.
int read_block(torvi_ll_t *ll, uint8_t type, const char *path, const Progress &progress);

// Longest restart wait after a write of `type`: 20 s for types 0 and 1, 7 s
// for types 2 and 3, none for the others.
unsigned restart_limit_ms(uint8_t type);

// How the restart wait ended.
struct RestartOutcome {
  bool left = false;      // the camera was seen to leave the bus
  bool back = false;      // ... and answered again afterwards
  bool link_open = true;  // the link is open at the end
  unsigned waited_ms = 0;
};

// Waits up to `limit_ms` for the camera to leave and come back, polling it
// with information requests for block `type`; reopens the link when the
// camera has left. Ends early once the camera answers after having left.
RestartOutcome wait_for_restart(torvi_ll_t *ll, uint8_t type, unsigned limit_ms,
                                const Progress &progress);

}  // namespace torvi::transfer
