// The capture engine's private interface. The engine has three jobs, one
// file each:
//   capture_events.cpp   the transport's event thread: feeds the parser,
//                        counts timeouts, stalls and discards, records the
//                        pending error and wakes the waiters;
//   capture_handout.cpp  the application's threads: waits for frames and
//                        hands them to the frame request and the callbacks;
//   capture_api.cpp      the exported torvi_cap_ calls: frame buffer,
//                        callbacks, start and stop, the getters.
//
// What guards what: the frames-ready condition and its mutex (created at
// open) only order the sleep of a waiter against the wake-ups; the flags,
// counters and the pending error of the private record are single words
// written by the event thread and read by application threads atomically
// (torvi::load / torvi::store); the parser guards its own frame lists. The
// active frame request (priv->req) belongs to the getter that installed it.
#pragma once

#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_ll.h>

#include <atomic>
#include <cstdint>

#include "api/dev_internal.h"

namespace torvi::capture {

// Hand-out limit meaning "every ready frame".
inline constexpr uint32_t kNoLimit = 0x7FFFFFFF;

// Whether a capture runs (from a successful start until a successful stop).
inline bool capturing(torvi_dev_priv_t *p) { return torvi::load(p->capturing) != 0; }

// --- event thread (capture_events.cpp) ------------------------------------

// The transport's completion handler for the capture of the private record
// `ll` belongs to; never throws.
int on_capture_event(torvi_ll_t *ll, int32_t event, uint8_t *data, int len, void *capture);

// Wakes every thread waiting on the device's frames-ready condition.
void wake_waiters(torvi_dev_priv_t *p);

// --- exported calls (capture_api.cpp) -------------------------------------

// Stops a capture that runs; nothing to do when none runs. False when the
// camera refused the stop while its stream still ran: the capture then still
// runs. A stream the transport already ended (the camera left the bus)
// counts as stopped even when the stop command cannot reach the camera.
bool stop_if_capturing(torvi_dev_priv_t *p);

// --- application threads (capture_handout.cpp) ----------------------------

// Runs a pending error through the error callback, then hands up to `limit`
// ready frames to the active frame request and the frame-ready callback.
void hand_out_ready(torvi_dev_t *dev, uint32_t limit);

// The frame getters and the wait behind the exported calls, checks
// included; results as documented in <torvi/torvi_cap.h>.
int get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data, unsigned frame_dlen,
               torvi_frame_info_t *first_info);
int get_frame_now(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                  torvi_frame_info_t *frame_info);
bool wait_for_stop(torvi_dev_t *dev, int timeout_msec);

}  // namespace torvi::capture
