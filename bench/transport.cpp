// Round trips of the USB transport on the virtual camera, and the streaming
// throughput of the transport alone (a stand-in binding that completes every
// bulk transfer at once, so only the transport's own path is measured).
#include <benchmark/benchmark.h>
#include <torvi/torvi_ll.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "core/byte_order.h"
#include "core/clock.h"
#include "core/log_internal.h"
#include "ll/usb/usb_ll.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace {

struct VirtualLink {
  VirtualLink() {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    torvi::usb::set_active_backend(&torvi::vcam::usb_backend_virtual());
    torvi::vcam::VirtualBus::instance().attach(std::make_shared<torvi::vcam::Camera>());
    ok = torvi_ll_dev_open(&ll) == &ll;
  }
  ~VirtualLink() {
    torvi_ll_dev_close(&ll);
    torvi::vcam::VirtualBus::instance().detach_all();
    torvi::usb::set_active_backend(nullptr);
  }
  torvi_ll_t ll{};
  bool ok = false;
};

void BM_ParamGetOneRecord(benchmark::State &state) {
  VirtualLink link;
  if (!link.ok) return state.SkipWithError("open failed");
  torvi_ll_param_t rec{};
  for (auto _ : state) {
    rec.id = 12;
    if (!torvi_ll_param_get(&link.ll, &rec, 1)) return state.SkipWithError("param get failed");
    benchmark::DoNotOptimize(rec);
  }
}
BENCHMARK(BM_ParamGetOneRecord)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RegRead16(benchmark::State &state) {
  VirtualLink link;
  if (!link.ok) return state.SkipWithError("open failed");
  uint32_t vals[16];
  for (auto _ : state) {
    if (!torvi_ll_reg_read(&link.ll, 2, 0, vals, 16)) return state.SkipWithError("reg read failed");
    benchmark::DoNotOptimize(vals);
  }
}
BENCHMARK(BM_RegRead16)->Unit(benchmark::kMicrosecond)->UseRealTime();

// --- streaming through a binding that fills nothing and waits for nothing ---

std::mutex g_mu;
std::deque<libusb_transfer *> g_pending;  // submitted, completed at the next pass
int g_token;

libusb_transfer *b_alloc(int) {
  return static_cast<libusb_transfer *>(std::calloc(1, sizeof(libusb_transfer)));
}
void b_free(libusb_transfer *t) {
  if (t != nullptr && (t->flags & LIBUSB_TRANSFER_FREE_BUFFER)) std::free(t->buffer);
  std::free(t);
}
int b_submit(libusb_transfer *t) {
  std::lock_guard lk(g_mu);
  if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
    // Status queries answer "ok" for the last command, which is all the
    // start and stop commands need.
    static uint8_t last_t, last_v;
    uint8_t *d = t->buffer + 8;
    if (t->buffer[1] == 0xB0) {
      std::memset(d, 0, 63);
      d[1] = last_t;
      d[2] = last_v;
    } else {
      last_t = t->buffer[1];
      last_v = t->buffer[2];
    }
    t->actual_length = torvi::get_le16(t->buffer + 6);
  } else {
    t->actual_length = t->length;
  }
  t->status = LIBUSB_TRANSFER_COMPLETED;
  g_pending.push_back(t);
  return 0;
}
int b_cancel(libusb_transfer *) { return LIBUSB_ERROR_NOT_FOUND; }
int b_events(libusb_context *, timeval *, int *completed) {
  std::deque<libusb_transfer *> due;
  {
    std::lock_guard lk(g_mu);
    due.swap(g_pending);
  }
  for (libusb_transfer *t : due) t->callback(t);
  if (due.empty() && __atomic_load_n(completed, __ATOMIC_ACQUIRE) == 0) torvi::sleep_ms(1);
  return 0;
}
libusb_device *g_dev_list[2] = {reinterpret_cast<libusb_device *>(&g_token), nullptr};

const torvi::usb::Backend kLoopback = {
    .name = "loopback",
    .init =
        [](libusb_context **c) {
          *c = reinterpret_cast<libusb_context *>(&g_token);
          return 0;
        },
    .exit = [](libusb_context *) {},
    .set_debug = [](libusb_context *, int) {},
    .get_device_list =
        [](libusb_context *, libusb_device ***l) {
          *l = g_dev_list;
          return ssize_t{1};
        },
    .free_device_list = [](libusb_device **, int) {},
    .get_device_descriptor =
        [](libusb_device *, libusb_device_descriptor *d) {
          std::memset(d, 0, sizeof *d);
          d->idVendor = torvi::usb::kVendorId;
          d->idProduct = torvi::usb::kProductId;
          return 0;
        },
    .get_bus_number = [](libusb_device *) -> uint8_t { return 1; },
    .get_port_number = [](libusb_device *) -> uint8_t { return 1; },
    .get_device_address = [](libusb_device *) -> uint8_t { return 2; },
    .get_device_speed = [](libusb_device *) { return int{LIBUSB_SPEED_HIGH}; },
    .open =
        [](libusb_device *, libusb_device_handle **h) {
          *h = reinterpret_cast<libusb_device_handle *>(&g_token);
          return 0;
        },
    .close = [](libusb_device_handle *) {},
    .set_auto_detach_kernel_driver = [](libusb_device_handle *, int) { return 0; },
    .set_configuration = [](libusb_device_handle *, int) { return 0; },
    .claim_interface = [](libusb_device_handle *, int) { return 0; },
    .release_interface = [](libusb_device_handle *, int) { return 0; },
    .clear_halt = [](libusb_device_handle *, unsigned char) { return 0; },
    .alloc_transfer = b_alloc,
    .free_transfer = b_free,
    .submit_transfer = b_submit,
    .cancel_transfer = b_cancel,
    .handle_events_timeout_completed = b_events,
};

struct Counter {
  std::atomic<uint64_t> bytes{0}, completions{0};
  static int cb(torvi_ll_t *, int32_t code, uint8_t *, int len, void *arg) {
    auto *self = static_cast<Counter *>(arg);
    if (code == 0) self->bytes.fetch_add(static_cast<uint64_t>(len));
    self->completions.fetch_add(1);
    return 0;
  }
};

void BM_StreamThroughputTransportOnly(benchmark::State &state) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi::usb::set_active_backend(&kLoopback);
  torvi_ll_t ll{};
  if (torvi_ll_dev_open(&ll) != &ll) return state.SkipWithError("open failed");
  Counter counter;
  if (!torvi_ll_cap_start(&ll, 0, Counter::cb, &counter))
    return state.SkipWithError("start failed");
  uint64_t seen = counter.bytes.load();
  int64_t total = 0;
  for (auto _ : state) {
    torvi::sleep_ms(10);
    const uint64_t now = counter.bytes.load();
    total += static_cast<int64_t>(now - seen);
    seen = now;
  }
  state.SetBytesProcessed(total);
  state.counters["completions"] = benchmark::Counter(
      static_cast<double>(counter.completions.load()), benchmark::Counter::kIsRate);
  torvi_ll_cap_stop(&ll);
  torvi_ll_dev_close(&ll);
  torvi::usb::set_active_backend(nullptr);
}
BENCHMARK(BM_StreamThroughputTransportOnly)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
