// Virtual camera throughput: frame synthesis, and unpaced streaming through
// the in-process USB binding (what a capture benchmark can get at most).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "vcam/camera.h"
#include "vcam/tof_model.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace {

using torvi::vcam::Camera;
using torvi::vcam::CameraConfig;

void BM_RenderFrame(benchmark::State &state) {
  Camera cam;
  uint32_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(cam.raw_frame(n++));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 320 * 240 * 8);
}
BENCHMARK(BM_RenderFrame)->Unit(benchmark::kMicrosecond);

// A frame after a setting change: the noiseless samples are made again.
void BM_RenderAfterSettingChange(benchmark::State &state) {
  CameraConfig cfg;
  torvi::vcam::TofModel model(cfg.sensor, cfg.scene, cfg.seed);
  std::vector<uint8_t> out(model.frame_bytes());
  uint16_t integration = 1000;
  for (auto _ : state) {
    integration = integration == 1000 ? 999 : 1000;
    model.render(0, 20000, integration, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 320 * 240 * 8);
}
BENCHMARK(BM_RenderAfterSettingChange)->Unit(benchmark::kMillisecond);

struct Ring {
  int done = 0;
  int64_t bytes = 0;
};

void LIBUSB_CALL on_done(libusb_transfer *t) {
  auto *r = static_cast<Ring *>(t->user_data);
  r->bytes += t->actual_length;
  ++r->done;
  if (t->status == LIBUSB_TRANSFER_COMPLETED) torvi::vcam::usb_backend_virtual().submit_transfer(t);
}

void BM_StreamUnpaced(benchmark::State &state) {
  const auto &b = torvi::vcam::usb_backend_virtual();
  CameraConfig cfg;
  cfg.stream.paced = false;
  auto cam = torvi::vcam::CameraPtr::make(cfg);
  torvi::vcam::VirtualBus::instance().attach(cam);
  libusb_context *ctx = nullptr;
  b.init(&ctx);
  libusb_device **list = nullptr;
  b.get_device_list(ctx, &list);
  libusb_device_handle *h = nullptr;
  b.open(list[0], &h);
  b.free_device_list(list, 1);
  std::vector<uint8_t> start_word(4, 0);
  cam->control(0x22, 0xC2, 4, 0, start_word);  // stream start
  Ring ring;
  std::vector<libusb_transfer *> xfers;
  for (int i = 0; i < 16; ++i) {
    libusb_transfer *t = b.alloc_transfer(0);
    auto *buf = static_cast<unsigned char *>(std::malloc(153600));
    libusb_fill_bulk_transfer(t, h, 0x81, buf, 153600, on_done, &ring, 6000);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    b.submit_transfer(t);
    xfers.push_back(t);
  }
  for (auto _ : state) {
    timeval tv{0, 100000};
    b.handle_events_timeout_completed(ctx, &tv, nullptr);
  }
  state.SetBytesProcessed(ring.bytes);
  for (libusb_transfer *t : xfers) b.cancel_transfer(t);
  for (int i = 0; i < 20; ++i) {
    timeval tv{0, 10000};
    b.handle_events_timeout_completed(ctx, &tv, nullptr);
  }
  for (libusb_transfer *t : xfers) b.free_transfer(t);
  b.close(h);
  b.exit(ctx);
  torvi::vcam::VirtualBus::instance().detach_all();
}
BENCHMARK(BM_StreamUnpaced)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
