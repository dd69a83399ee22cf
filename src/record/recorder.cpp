// Recording: the sink on the event thread, the writer thread, and what a
// recording holds besides frames (metadata, attachments).
#include "record/recorder.h"

#include <torvi/kx_lens.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_frame.h>
#include <torvi/torvi_version.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "api/dev_internal.h"
#include "api/frame_decode.h"
#include "core/log_internal.h"
#include "ll/usb/protocol.h"
#include "record/frame_msgs.h"
#include "stream/parser.h"

namespace torvi::record {
namespace {

// Spare frame buffers the sink keeps for reuse.
constexpr std::size_t kMaxSpare = 8;
// Parameters read for the metadata (and answered by a replay).
constexpr std::array<uint8_t, 11> kRecordedParams = {0, 2, 3, 5, 6, 7, 8, 12, 13, 15, 17};
constexpr uint8_t kFrameRateParam = 12;

uint64_t now_ns() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

std::string bounded(const char *s, std::size_t max) { return {s, ::strnlen(s, max)}; }

StringMap device_metadata(const torvi_dev_t &dev) {
  StringMap m;
  m["vendor"] = bounded(dev.vendor, sizeof dev.vendor);
  m["product"] = bounded(dev.product, sizeof dev.product);
  m["serial"] = bounded(reinterpret_cast<const char *>(dev.info5), sizeof dev.info5);
  m["info6"] = to_hex(dev.info6);
  m["link"] = std::to_string(dev.if_type);
  m["bus"] = std::to_string(dev.bus);
  m["port"] = std::to_string(dev.port);
  m["address"] = std::to_string(dev.addr);
  m["speed"] = std::to_string(dev.speed);
  if (const torvi_drv_t *drv = dev.priv != nullptr ? dev.priv->drv : nullptr) {
    m["driver"] = drv->name;
    m["driver_id"] = drv->id;
  }
  return m;
}

// The recorded parameters, "param.<n>" = hex of the value's len bytes.
StringMap parameter_metadata(torvi_dev_t *dev, uint32_t &frame_rate) {
  StringMap m;
  auto keep = [&](const torvi_param_t &p) {
    const std::size_t n = std::min<std::size_t>(p.len, 18);
    m["param." + std::to_string(p.number)] = to_hex(std::span<const uint8_t>(p.value, n));
    if (p.number == kFrameRateParam && n >= 4)
      frame_rate = uint32_t{p.value[0]} | uint32_t{p.value[1]} << 8 | uint32_t{p.value[2]} << 16 |
                   uint32_t{p.value[3]} << 24;
  };
  std::array<torvi_param_t, kRecordedParams.size()> all{};
  for (std::size_t i = 0; i < all.size(); ++i) all[i].number = kRecordedParams[i];
  if (torvi_param_batch_get(dev, all.data(), static_cast<int>(all.size()))) {
    for (const auto &p : all) keep(p);
    return m;
  }
  // One by one, so that one the camera does not know costs only itself.
  for (uint8_t n : kRecordedParams) {
    torvi_param_t p{};
    p.number = n;
    if (torvi_param_batch_get(dev, &p, 1)) keep(p);
  }
  return m;
}

// The sensor's registers, for a replay to answer the driver's register
// reads; empty when the camera does not give them.
StringMap register_metadata(torvi_dev_t *dev) {
  std::vector<uint32_t> values(usb::kSensorRegisters);
  if (!torvi_reg_batch_read(dev, usb::kSensorTarget, 0, values.data(),
                            static_cast<int>(values.size())))
    return {};
  return encode_registers({{usb::kSensorTarget, std::move(values)}});
}

Bytes read_file(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string lens_text(const torvi_lens_param_t &l) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "cx %.9g\ncy %.9g\nfx %.9g\nfy %.9g\nk1 %.9g\nk2 %.9g\np1 %.9g\np2 %.9g\n"
                "k3 %.9g\nimg_w %d\nimg_h %d\n",
                l.cx, l.cy, l.fx, l.fy, l.dcoeff[0], l.dcoeff[1], l.dcoeff[2], l.dcoeff[3],
                l.dcoeff[4], static_cast<int>(l.img_w), static_cast<int>(l.img_h));
  return buf;
}

std::string compression_text(const torvi_record_opts_t &opt) {
  if (opt.no_compress != 0) return "none";
  std::string t =
      "zstd level " + std::to_string(opt.zstd_level != 0 ? opt.zstd_level : kDefaultZstdLevel);
  if (opt.compress_raw == 0) t += ", raw frames stored";
  return t;
}

}  // namespace

DepthStep distance_depth_step(torvi_dev_t *dev) {
  torvi_drv_t *drv = torvi_dev_get_drv(dev);
  if (drv == nullptr || drv->ops == nullptr || drv->ops->frame_decode == nullptr ||
      drv->ops->frame_get_info == nullptr)
    return {};
  return [dev, drv](const torvi_frame_hdr_t &hdr, std::span<const uint8_t> bytes, DepthImage &out) {
    torvi_frame_info_t info{};
    if (!drv->ops->frame_get_info(drv, &info, &hdr) || info.width == 0 || info.height == 0)
      return false;
    // The driver's millimetres go straight into the image: the same values
    // as the public call's metres rounded back, without the two conversions.
    out.mm.resize(std::size_t{info.width} * info.height);
    const int n = decode_frame_u16(dev, out.mm, bytes.data(), static_cast<int>(bytes.size()), info,
                                   TORVI_DECODE_DIST);
    if (n <= 0) return false;
    out.width = info.width;
    out.height = info.height;
    out.mm.resize(static_cast<std::size_t>(n));
    return true;
  };
}

void Recorder::Sink::offer(const torvi_frame_hdr_t &hdr, const uint8_t *data, uint32_t len) {
  const uint64_t t = now_ns();
  std::vector<uint8_t> buf;
  {
    std::lock_guard lk(mu);
    if (closed) return;
    ++seen;
    if (queue.size() >= max_queue) {
      ++dropped;
      return;
    }
    if (!spare.empty()) {
      buf = std::move(spare.back());
      spare.pop_back();
    }
  }
  // The copy runs outside the lock, so the writer is never held up by it.
  buf.assign(data, data + len);
  {
    std::lock_guard lk(mu);
    queue.push_back(Item{t, hdr, std::move(buf)});
  }
  cv.notify_one();
}

Recorder::Recorder(torvi_dev_t *dev, const std::string &path, const torvi_record_opts_t &opt)
    : dev_(dev), stream_(dev->priv->stream), sink_(std::make_shared<Sink>()) {
  sink_->max_queue = opt.queue_frames != 0 ? opt.queue_frames : kDefaultQueueFrames;
  WriterOptions wo;
  wo.library = std::string("libtorvi ") + TORVI_VERSION_STRING;
  wo.compress = opt.no_compress == 0;
  wo.zstd_level = opt.zstd_level != 0 ? opt.zstd_level : kDefaultZstdLevel;
  // Raw sensor samples are mostly noise: compressing them costs several
  // times the rest of the recording for about half their size.
  if (opt.compress_raw == 0) wo.stored_channels.insert(kRawChannelId);
  writer_ = std::make_unique<McapWriter>(path, wo);
  if (opt.no_depth == 0) depth_ = distance_depth_step(dev);
  write_header_records(dev, opt);
  auto sink = sink_;
  auto observer = std::make_shared<const kx_stream::FrameObserver>(
      [sink](const torvi_frame_hdr_t &hdr, const uint8_t *data, uint32_t len) {
        sink->offer(hdr, data, len);
      });
  thread_ = std::thread([this] { writer_loop(); });
  // Nothing after the thread's start can throw.
  stream_->set_observer(std::move(observer));
}

Recorder::~Recorder() { stop(); }

void Recorder::write_header_records(torvi_dev_t *dev, const torvi_record_opts_t &opt) {
  writer_->add_schema({kRawSchemaId, kRawSchemaName, "ros2msg", raw_frame_definition()});
  writer_->add_channel({kRawChannelId, kRawSchemaId, kRawTopic, "cdr", {}});
  if (depth_) {
    writer_->add_schema({kImageSchemaId, kImageSchemaName, "ros2msg", image_definition()});
    writer_->add_channel({kDepthChannelId, kImageSchemaId, kDepthTopic, "cdr", {}});
  }
  const uint64_t t0 = now_ns();
  writer_->add_metadata("torvi.device", device_metadata(*dev));
  uint32_t fps = 0;
  writer_->add_metadata("torvi.parameters", parameter_metadata(dev, fps));
  writer_->add_metadata(kFiltersMetadata, encode_filters(filter_switches(dev)));
  if (StringMap regs = register_metadata(dev); !regs.empty())
    writer_->add_metadata(kRegistersMetadata, regs);
  writer_->add_metadata("torvi.recording",
                        {{"start_time_ns", std::to_string(t0)},
                         {"frame_rate", std::to_string(fps)},
                         {"depth", depth_ ? "torvi_frame_get_distance, millimetres" : "none"},
                         {"queue_frames", std::to_string(sink_->max_queue)},
                         {"compression", compression_text(opt)}});
  // Calibration files under the path prefix, and the driver's lens record.
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path prefix = dev->path_prefix != nullptr ? dev->path_prefix : "./";
  std::vector<fs::path> files;
  for (fs::directory_iterator it(prefix, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && is_calibration_file(it->path().filename().string()))
      files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto &p : files) {
    const Bytes data = read_file(p);
    const std::string name = p.filename().string();
    writer_->add_attachment(
        name, name.ends_with(".txt") ? "text/plain" : "application/octet-stream", t0, data);
  }
  const torvi_drv_t *drv = dev->priv->drv;
  if (drv != nullptr && drv->ops != nullptr && drv->ops->lens_param_get != nullptr) {
    torvi_lens_param_t lens{};
    if (drv->ops->lens_param_get(dev->priv->drv, &lens, 0, 0)) {
      const std::string text = lens_text(lens);
      writer_->add_attachment(kLensAttachment, "text/plain", t0,
                              {reinterpret_cast<const uint8_t *>(text.data()), text.size()});
    }
  }
  bytes_ = writer_->bytes_written();
}

void Recorder::writer_loop() {
  KX_LOG_NAME("torvi_record");
  for (;;) {
    Item item;
    {
      std::unique_lock lk(sink_->mu);
      sink_->cv.wait(lk, [&] { return sink_->closed || !sink_->queue.empty(); });
      if (sink_->queue.empty()) return;  // closed and drained
      item = std::move(sink_->queue.front());
      sink_->queue.pop_front();
    }
    if (failed_.load() == 0) {
      try {
        write_frame(item);
      } catch (const std::exception &e) {
        KX_ERR("writing the recording failed: %s\n", e.what());
        failed_.store(1);
      }
    }
    std::lock_guard lk(sink_->mu);
    if (failed_.load() != 0) ++sink_->dropped;
    if (sink_->spare.size() < kMaxSpare) sink_->spare.push_back(std::move(item.bytes));
  }
}

void Recorder::write_frame(const Item &item) {
  const RawPrefix prefix =
      encode_raw_prefix(item.time_ns, item.hdr, static_cast<uint32_t>(item.bytes.size()));
  const std::span<const uint8_t> parts[] = {prefix, item.bytes};
  writer_->add_message(kRawChannelId, item.time_ns, parts);
  written_.fetch_add(1);
  if (depth_ && depth_(item.hdr, item.bytes, depth_img_)) {
    const Bytes img =
        encode_depth_image(item.time_ns, depth_img_.width, depth_img_.height, depth_img_.mm);
    const std::span<const uint8_t> one[] = {img};
    writer_->add_message(kDepthChannelId, item.time_ns, one);
    depth_written_.fetch_add(1);
  }
  bytes_.store(writer_->bytes_written());
}

torvi_record_stats_t Recorder::stats() const {
  torvi_record_stats_t s{};
  {
    std::lock_guard lk(sink_->mu);
    s.frames_seen = sink_->seen;
    s.frames_dropped = sink_->dropped;
  }
  s.frames_written = written_.load();
  s.depth_written = depth_written_.load();
  s.bytes_written = bytes_.load();
  s.failed = failed_.load();
  return s;
}

bool Recorder::stop() {
  KX_LOG_NAME("torvi_record_stop");
  if (stopped_) return finished_ok_;
  stopped_ = true;
  {
    // Stop the observer while the device is still open; a closed device has
    // freed its parser together with the observer.
    BusyScope busy(dev_);
    if (dev_is_open(dev_) && dev_->priv->stream == stream_) stream_->set_observer(nullptr);
  }
  {
    std::lock_guard lk(sink_->mu);
    sink_->closed = true;
  }
  sink_->cv.notify_all();
  if (thread_.joinable()) thread_.join();
  if (failed_.load() == 0) {
    try {
      writer_->finish();
      bytes_.store(writer_->bytes_written());
      finished_ok_ = true;
    } catch (const std::exception &e) {
      KX_ERR("completing the recording failed: %s\n", e.what());
      failed_.store(1);
    }
  }
  const torvi_record_stats_t s = stats();
  if (s.frames_dropped > 0) {
    KX_WRN("%" PRIu64 " of %" PRIu64 " frames were dropped: the writer could not keep up\n",
           s.frames_dropped, s.frames_seen);
  }
  KX_INF("%" PRIu64 " frames, %" PRIu64 " distance images, %" PRIu64 " bytes\n", s.frames_written,
         s.depth_written, s.bytes_written);
  return finished_ok_;
}

}  // namespace torvi::record
