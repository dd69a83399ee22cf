// A recording in progress: the stream parser hands every completed frame to
// a sink (one copy into a bounded queue, on the transport's event thread);
// the writer thread turns queued frames into MCAP messages.
#pragma once

#include <torvi/torvi_dev.h>
#include <torvi/torvi_record.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "record/mcap_writer.h"

struct kx_stream;

namespace torvi::record {

// zstd levels a recording accepts, and the one it uses when told none.
inline constexpr int kMinZstdLevel = -7;
inline constexpr int kMaxZstdLevel = 19;
inline constexpr int kDefaultZstdLevel = -1;

// A distance image in millimetres.
struct DepthImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint16_t> mm;
};
// Turns one raw frame into a distance image; false when it cannot.
using DepthStep =
    std::function<bool(const torvi_frame_hdr_t &, std::span<const uint8_t>, DepthImage &)>;

// The depth step of an open device: the library's distance image
// (torvi_frame_get_distance, with the device's filters) in millimetres, or
// an empty step when the device's driver cannot decode distances.
DepthStep distance_depth_step(torvi_dev_t *dev);

class Recorder {
 public:
  static constexpr uint32_t kDefaultQueueFrames = 64;

  // Starts recording `dev` (open) into `path`. Throws on failure.
  Recorder(torvi_dev_t *dev, const std::string &path, const torvi_record_opts_t &opt);
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  torvi_record_stats_t stats() const;
  // Ends the recording and completes the file; true when it is complete.
  bool stop();
  torvi_dev_t *device() const { return dev_; }

 private:
  struct Item {
    uint64_t time_ns = 0;
    torvi_frame_hdr_t hdr{};
    std::vector<uint8_t> bytes;
  };
  // What the parser's observer reaches; shared so that an observer call in
  // flight never outlives it.
  struct Sink {
    std::mutex mu;  // guards everything below
    std::condition_variable cv;
    std::deque<Item> queue;
    std::vector<std::vector<uint8_t>> spare;  // buffers to reuse
    uint32_t max_queue = kDefaultQueueFrames;
    bool closed = false;
    uint64_t seen = 0;
    uint64_t dropped = 0;
    void offer(const torvi_frame_hdr_t &hdr, const uint8_t *data, uint32_t len);
  };

  void write_header_records(torvi_dev_t *dev, const torvi_record_opts_t &opt);
  void writer_loop();
  void write_frame(const Item &item);

  torvi_dev_t *dev_;
  kx_stream *stream_;  // the parser the observer is installed in
  std::shared_ptr<Sink> sink_;
  std::unique_ptr<McapWriter> writer_;  // writer thread only, after the start
  DepthStep depth_;
  DepthImage depth_img_;  // writer thread only
  std::thread thread_;
  bool stopped_ = false;
  bool finished_ok_ = false;
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> depth_written_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<int32_t> failed_{0};
};

}  // namespace torvi::record
