// Waiting for the camera to restart after a write: poll it until it has
// left the bus and answers again, within an upper bound.
#include <torvi/torvi_ll.h>

#include <chrono>

#include "core/clock.h"
#include "core/log_internal.h"
#include "transfer/actions.h"
#include "transfer/transfer.h"

namespace torvi::transfer {
namespace {

constexpr unsigned kPollMs = 100;

unsigned elapsed_ms(std::chrono::steady_clock::time_point start) {
  return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

}  // namespace

RestartOutcome wait_for_restart(torvi_ll_t *ll, uint8_t type, unsigned limit_ms,
                                const Progress &progress) {
  KX_LOG_NAME("torvi_bin_data_write");
  RestartOutcome out;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    out.waited_ms = elapsed_ms(start);
    progress(TORVI_XFER_RESTART, out.waited_ms, limit_ms);
    if (out.waited_ms >= limit_ms) break;
    if (ll->priv == nullptr) {
      // The camera left: open the link again once it is back on the bus.
      if (torvi_ll_dev_open(ll) != nullptr) KX_DBG("link open again after %u ms\n", out.waited_ms);
    }
    if (ll->priv != nullptr) {
      torvi_data_info_t info{};
      if (get_info(ll, type, info)) {
        if (out.left) {
          out.back = true;
          out.waited_ms = elapsed_ms(start);
          progress(TORVI_XFER_RESTART, limit_ms, limit_ms);
          return out;
        }
      } else if (!out.left) {
        KX_DBG("camera gone after %u ms\n", out.waited_ms);
        out.left = true;
        torvi_ll_dev_close(ll);
      } else {
        torvi_ll_dev_close(ll);
      }
    }
    sleep_ms(kPollMs);
  }
  // Out of time: leave the link open if the camera can be reached at all.
  if (ll->priv == nullptr) torvi_ll_dev_open(ll);
  out.link_open = ll->priv != nullptr;
  return out;
}

}  // namespace torvi::transfer
