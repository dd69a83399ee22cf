// Recording and replay against raw capture.
//
// BM_RawCapture: frames from an unpaced virtual camera through the USB
// transport, the stream parser and the getter (the baseline).
// BM_RecordWhileCapturing: the same while a recording runs (raw frames and
// distance images, zstd); counters: frames the recording wrote and dropped
// per second of capture.
// BM_ReplayFast: a recording replayed as fast as the getter takes frames.
// BM_WriterPerFrame: the writer thread's work for one frame of the virtual
// camera (raw message, distance decode and image message, chunk compression
// and CRCs); the counter core_at_30fps is the share of one core a recording
// at 30 frames per second costs.
// BM_PacedCaptureCpu/<record>: process CPU time per second of wall time
// while capturing at the camera's own 30 frames per second, without (0) and
// with a recording (1: zstd chunks, 2: stored chunks); the difference is
// what recording costs at full rate.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <torvi/torvi.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "record/frame_msgs.h"
#include "record/mcap_writer.h"
#include "record/recorder.h"

namespace {

constexpr unsigned kMaxFrame = 4u << 20;

std::string temp_file(const char *name) {
  return (std::filesystem::temp_directory_path() / name).string();
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// A virtual camera on the bus and one open device for a benchmark.
struct VirtualRig {
  explicit VirtualRig(bool paced, const char *product = "VCAM-T0-1.0") {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    // An EPC camera's calibration files go to a folder of their own.
    const std::string calib = temp_file("torvi_bench_calib");
    std::filesystem::create_directories(calib);
    torvi_path_cfg((calib + "/").c_str());
    cam = torvi_vcam_create(product, 1);
    torvi_vcam_set_paced(cam, paced ? 1 : 0);
    torvi_vcam_plug(cam);
    torvi_vcam_enable(1);
    torvi_dev_t list[1];
    ok = torvi_dev_list(list, 1) == 1;
    if (ok) {
      dev = list[0];
      ok = torvi_dev_open(&dev) != nullptr;
    }
  }
  ~VirtualRig() {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    torvi_vcam_enable(0);
    torvi_vcam_destroy(cam);
  }
  torvi_vcam_t *cam = nullptr;
  torvi_dev_t dev{};
  bool ok = false;
};

// Takes frames for every iteration; false when the capture failed.
bool take_frames(benchmark::State &state, torvi_dev_t &dev) {
  std::vector<uint8_t> buf(kMaxFrame);
  int64_t frames = 0;
  for (auto _ : state) {
    if (torvi_cap_get_frames(&dev, 1, buf.data(), kMaxFrame, nullptr) != 1) {
      state.SkipWithError("capture failed");
      return false;
    }
    ++frames;
  }
  state.SetItemsProcessed(frames);
  return true;
}

void BM_RawCapture(benchmark::State &state) {
  VirtualRig rig(false);
  if (!rig.ok || !torvi_cap_start(&rig.dev)) return state.SkipWithError("no virtual camera");
  take_frames(state, rig.dev);
  torvi_cap_stop(&rig.dev);
}
BENCHMARK(BM_RawCapture)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RecordWhileCapturing(benchmark::State &state) {
  VirtualRig rig(false);
  const std::string path = temp_file("torvi_bench_record.mcap");
  torvi_record_t *rec = rig.ok ? torvi_record_start(&rig.dev, path.c_str(), nullptr) : nullptr;
  if (rec == nullptr || !torvi_cap_start(&rig.dev)) return state.SkipWithError("no recording");
  const auto t0 = std::chrono::steady_clock::now();
  take_frames(state, rig.dev);
  torvi_cap_stop(&rig.dev);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  torvi_record_stats_t s{};
  torvi_record_stop(rec, &s);
  state.counters["written_per_s"] = static_cast<double>(s.frames_written) / secs;
  state.counters["dropped_per_s"] = static_cast<double>(s.frames_dropped) / secs;
  std::filesystem::remove(path);
}
BENCHMARK(BM_RecordWhileCapturing)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ReplayFast(benchmark::State &state) {
  const std::string path = temp_file("torvi_bench_replay.mcap");
  {
    VirtualRig rig(false);
    torvi_record_t *rec = rig.ok ? torvi_record_start(&rig.dev, path.c_str(), nullptr) : nullptr;
    if (rec == nullptr || !torvi_cap_start(&rig.dev)) return state.SkipWithError("no recording");
    std::vector<uint8_t> buf(kMaxFrame);
    for (int i = 0; i < 60; ++i) torvi_cap_get_frames(&rig.dev, 1, buf.data(), kMaxFrame, nullptr);
    torvi_cap_stop(&rig.dev);
    torvi_record_stop(rec, nullptr);
  }
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi_dev_t dev{};
  if (torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST | TORVI_REPLAY_LOOP, &dev) == nullptr ||
      !torvi_cap_start(&dev))
    return state.SkipWithError("replay failed");
  take_frames(state, dev);
  torvi_cap_stop(&dev);
  torvi_dev_close(&dev);
  std::filesystem::remove(path);
}
BENCHMARK(BM_ReplayFast)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WriterPerFrame(benchmark::State &state) {
  using namespace torvi::record;
  // One frame of the virtual camera.
  VirtualRig rig(false);
  std::vector<uint8_t> frame(kMaxFrame);
  torvi_frame_info_t info{};
  if (!rig.ok || !torvi_cap_start(&rig.dev) ||
      torvi_cap_get_frames(&rig.dev, 1, frame.data(), kMaxFrame, &info) != 1)
    return state.SkipWithError("no frame");
  torvi_cap_stop(&rig.dev);
  frame.resize(info.frame_size);
  const torvi_frame_hdr_t hdr{info.frame_size,
                              info.frame_idx,
                              info.frame_format,
                              static_cast<uint16_t>(info.width),
                              static_cast<uint16_t>(info.height),
                              0,
                              0,
                              0};
  const std::string path = temp_file("torvi_bench_writer.mcap");
  WriterOptions o;
  o.compress = state.range(0) != 99;
  o.zstd_level = static_cast<int>(state.range(0));
  McapWriter w(path, o);
  w.add_schema({kRawSchemaId, kRawSchemaName, "ros2msg", raw_frame_definition()});
  w.add_channel({kRawChannelId, kRawSchemaId, kRawTopic, "cdr", {}});
  w.add_schema({kImageSchemaId, kImageSchemaName, "ros2msg", image_definition()});
  w.add_channel({kDepthChannelId, kImageSchemaId, kDepthTopic, "cdr", {}});
  const DepthStep depth = distance_depth_step(&rig.dev);
  DepthImage img;
  uint64_t t = 1;
  std::vector<uint8_t> copy(frame.size());
  for (auto _ : state) {
    copy.assign(frame.begin(), frame.end());  // the sink's copy
    const RawPrefix p = encode_raw_prefix(t, hdr, static_cast<uint32_t>(copy.size()));
    const std::span<const uint8_t> parts[] = {p, copy};
    w.add_message(kRawChannelId, t, parts);
    if (depth && depth(hdr, copy, img)) {
      const Bytes m = encode_depth_image(t, img.width, img.height, img.mm);
      const std::span<const uint8_t> one[] = {m};
      w.add_message(kDepthChannelId, t, one);
    }
    ++t;
  }
  w.finish();
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
  // Seconds of CPU per frame times 30 frames per second.
  state.counters["core_at_30fps"] =
      benchmark::Counter(1.0 / 30.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  std::filesystem::remove(path);
}
// Argument: zstd level (99: chunks stored without compression).
BENCHMARK(BM_WriterPerFrame)->Arg(1)->Arg(-1)->Arg(-3)->Arg(99)->Unit(benchmark::kMillisecond);

void BM_PacedCaptureCpu(benchmark::State &state) {
  // Arguments from 10 on: the same with the calibrated EPC camera, whose
  // distance decode (for the depth channel) costs more.
  VirtualRig rig(true, state.range(0) >= 10 ? "VCAM-E2-1.4.3" : "VCAM-T0-1.0");
  const std::string path = temp_file("torvi_bench_paced.mcap");
  torvi_record_t *rec = nullptr;
  torvi_record_opts_t o{};
  const int64_t kind = state.range(0) % 10;
  o.no_compress = kind == 2 ? 1 : 0;
  o.compress_raw = kind == 3 ? 1 : 0;
  if (rig.ok && kind != 0) rec = torvi_record_start(&rig.dev, path.c_str(), &o);
  if (!rig.ok || (kind != 0 && rec == nullptr) || !torvi_cap_start(&rig.dev))
    return state.SkipWithError("no virtual camera");
  std::vector<uint8_t> buf(kMaxFrame);
  torvi_cap_get_frames(&rig.dev, 1, buf.data(), kMaxFrame, nullptr);  // settle
  const double cpu0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  take_frames(state, rig.dev);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu0;
  torvi_cap_stop(&rig.dev);
  if (rec != nullptr) torvi_record_stop(rec, nullptr);
  state.counters["cores"] = cpu / wall;
  std::filesystem::remove(path);
}
// Argument: 0 capture only, 1 recording with the default options (raw
// frames stored, the rest zstd), 2 nothing compressed, 3 raw frames compressed too.
BENCHMARK(BM_PacedCaptureCpu)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Arg(10)
    ->Arg(11)
    ->Iterations(150)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

// CRC-32 of one raw frame's worth of bytes (the chunk and data-section
// checksums): 0 the folded form, 1 the table reference.
void BM_Crc32(benchmark::State &state) {
  std::vector<uint8_t> bytes(614400);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
  const auto crc = state.range(0) == 0 ? torvi::crc32_ieee : torvi::crc32_ieee_bytewise;
  for (auto _ : state) benchmark::DoNotOptimize(crc(bytes, 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Crc32)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
