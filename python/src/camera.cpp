// Cameras, their frame streams and frames.
//
// Threads: every call that may wait (open, close, commands, the stream's
// getter, decodes) runs with the GIL released. A stream takes frames on its
// own worker thread (the only getter of its camera) and hands them to Python
// through a small queue, so that a waiting `next()` wakes every 50 ms to let
// Ctrl-C through.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding.h"

namespace torvi_py {

namespace {

using namespace pybind11::literals;

constexpr int kMaxCameras = 16;
constexpr uint32_t kParamVendor = 2;
constexpr uint32_t kParamProduct = 3;
constexpr uint32_t kParamSerial = 5;
constexpr uint32_t kParamChip = 7;
constexpr uint32_t kParamCalibInfo = 8;
constexpr uint32_t kParamFrameRate = 12;
constexpr uint32_t kParamIntegration = 13;
constexpr uint32_t kParamTemperatures = 15;
constexpr size_t kParamValueBytes = 18;  // value bytes that travel
constexpr unsigned kFirstFrameRoom = 4u << 20;
constexpr size_t kQueueFrames = 3;
constexpr auto kPollStep = std::chrono::milliseconds(50);
constexpr double kTenthsPerDegree = 10.0;
// Distances outside (0, 60) m are invalid-pixel markers or empty.
constexpr float kMaxValidMetres = 60.0F;

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

uint32_t le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string cut_string(const char *s, size_t max) { return std::string(s, strnlen(s, max)); }

// --- one open camera ----------------------------------------------------------

class Stream;

// The library's device record and what guards it. Shared by the Camera
// object, its streams and its frames (which decode through it), so the record
// stays at its address until the last of them is gone.
class Device {
 public:
  Device() = default;
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;
  ~Device() { close(); }

  torvi_dev_t *record() { return &dev_; }
  bool is_open() const { return open_.load(); }
  void check_open() const {
    if (!open_.load()) throw Error(ErrorKind::kClosed, "the camera is closed");
  }

  // Opens the listed record. Without the GIL.
  void open(const torvi_dev_t &listed) {
    dev_ = listed;
    clear_last_message();
    if (torvi_dev_open(&dev_) != &dev_)
      fail("cannot open the camera on bus " + std::to_string(listed.bus) + ", port " +
           std::to_string(listed.port));
    open_ = true;
  }

  // Opens a recording as the camera (TORVI_REPLAY_ flags). Without the GIL.
  void open_replay(const std::string &path, unsigned flags) {
    dev_ = torvi_dev_t{};
    clear_last_message();
    if (torvi_replay_open(path.c_str(), flags, &dev_) != &dev_)
      fail("cannot replay " + path +
           ": it cannot be read, is not an MCAP file or holds no raw frames of libtorvi");
    open_ = true;
    replay_ = true;
  }
  // Whether this is a replay that has sent its last frame.
  bool replay_ended() {
    torvi_replay_info_t info{};
    return replay_ && torvi_replay_get_info(&dev_, &info) && info.ended != 0;
  }

  void close();  // stops a stream first; below Stream

  // Commands: one at a time per camera.
  std::mutex &command_mutex() { return command_mu_; }

  // The one stream that may run at a time.
  void attach_stream(const std::shared_ptr<Stream> &s);
  void detach_stream(const Stream *s);

 private:
  torvi_dev_t dev_{};
  std::atomic<bool> open_{false};
  bool replay_ = false;  // set once at open
  std::mutex command_mu_;
  std::mutex stream_mu_;
  std::weak_ptr<Stream> stream_;  // the running stream, guarded by stream_mu_
};

// --- frames -------------------------------------------------------------------

// One frame as the getter delivered it.
struct FrameData {
  std::shared_ptr<uint8_t[]> bytes;
  uint32_t kept = 0;  // bytes in `bytes` (less than info.frame_size when cut)
  torvi_frame_info_t info{};
  torvi_frame_hdr_t hdr{};
  bool has_hdr = false;
  double timestamp = 0;
};

class Frame {
 public:
  Frame(std::shared_ptr<Device> dev, FrameData data) : dev_(std::move(dev)), d_(std::move(data)) {}

  int index() const { return d_.info.frame_idx; }
  int format() const { return d_.info.frame_format; }
  int width() const { return static_cast<int>(d_.info.width); }
  int height() const { return static_cast<int>(d_.info.height); }
  int pixel_bytes() const { return d_.info.pixel_bytes; }
  uint32_t size() const { return d_.info.frame_size; }
  bool truncated() const { return d_.kept < d_.info.frame_size; }
  double timestamp() const { return d_.timestamp; }
  std::optional<double> sensor_temperature() const {
    if (!d_.has_hdr) return std::nullopt;
    return d_.hdr.sensor_temp / kTenthsPerDegree;
  }
  std::optional<double> illumination_temperature() const {
    if (!d_.has_hdr) return std::nullopt;
    return d_.hdr.illum_temp / kTenthsPerDegree;
  }

  // The frame's bytes as a read-only uint8 array that shares the frame's memory.
  py::array raw(py::handle self) const {
    py::array_t<uint8_t> a({static_cast<py::ssize_t>(d_.kept)}, {1}, d_.bytes.get(), self);
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return a;
  }

  py::array_t<float> distance() const;
  py::array_t<float> gray() const;
  py::array_t<float> point_cloud(bool organized, py::object intrinsics) const;
  py::array_t<uint8_t> colorized(std::optional<float> lo, std::optional<float> hi) const;

  std::string repr() const {
    return "<torvi.Frame index=" + std::to_string(index()) + " " + std::to_string(width()) + "x" +
           std::to_string(height()) + " format=" + std::to_string(format()) +
           " size=" + std::to_string(size()) + ">";
  }

 private:
  void check_decodable() const {
    if (truncated())
      throw Error(ErrorKind::kGeneric, "the frame was cut short; it cannot be decoded");
    if (width() <= 0 || height() <= 0)
      throw Error(ErrorKind::kUnsupported,
                  "the camera's driver does not describe this frame (no width or height)");
    dev_->check_open();
  }

  std::shared_ptr<Device> dev_;
  FrameData d_;
};

#if defined(TORVI_PY_HAVE_DECODE)

py::array_t<float> decode_to(const std::shared_ptr<Device> &dev, const FrameData &d, bool gray) {
  const auto h = static_cast<py::ssize_t>(d.info.height);
  const auto w = static_cast<py::ssize_t>(d.info.width);
  py::array_t<float> out({h, w});
  float *dst = out.mutable_data();
  const int n = static_cast<int>(h * w);
  int got = 0;
  {
    py::gil_scoped_release unlocked;
    clear_last_message();
    got = gray ? torvi_frame_get_gray(dev->record(), dst, n, d.bytes.get(),
                                      static_cast<int>(d.kept), &d.info)
               : torvi_frame_get_distance(dev->record(), dst, n, d.bytes.get(),
                                          static_cast<int>(d.kept), &d.info);
  }
  if (got != n) fail(gray ? "gray decode failed" : "distance decode failed");
  return out;
}

py::array_t<float> Frame::distance() const {
  check_decodable();
  return decode_to(dev_, d_, false);
}

py::array_t<float> Frame::gray() const {
  check_decodable();
  return decode_to(dev_, d_, true);
}

// Intrinsics from a mapping or a sequence (cx, cy, fx, fy[, dist_scale]).
std::optional<torvi_lens_intrinsics_t> intrinsics_of(py::object obj) {
  if (obj.is_none()) return std::nullopt;
  torvi_lens_intrinsics_t in{};
  in.dist_scale = 1.0F;
  if (py::isinstance<py::dict>(obj)) {
    py::dict d = obj.cast<py::dict>();
    in.cx = d["cx"].cast<float>();
    in.cy = d["cy"].cast<float>();
    in.fx = d["fx"].cast<float>();
    in.fy = d["fy"].cast<float>();
    if (d.contains("dist_scale")) in.dist_scale = d["dist_scale"].cast<float>();
    return in;
  }
  auto v = obj.cast<std::vector<float>>();
  if (v.size() != 4 && v.size() != 5)
    throw py::value_error("intrinsics: (cx, cy, fx, fy) or (cx, cy, fx, fy, dist_scale)");
  in.cx = v[0];
  in.cy = v[1];
  in.fx = v[2];
  in.fy = v[3];
  if (v.size() == 5) in.dist_scale = v[4];
  return in;
}

py::array_t<float> Frame::point_cloud(bool organized, py::object intrinsics) const {
  check_decodable();
  const std::optional<torvi_lens_intrinsics_t> intr = intrinsics_of(std::move(intrinsics));
  py::array_t<float> dist = decode_to(dev_, d_, false);
  const auto h = static_cast<py::ssize_t>(d_.info.height);
  const auto w = static_cast<py::ssize_t>(d_.info.width);
  const py::ssize_t pixels = h * w;
  // A point is written only while all its floats fit: room for one more.
  py::array_t<float> packed({pixels + 1, py::ssize_t{3}});
  int n = 0;
  {
    py::gil_scoped_release unlocked;
    clear_last_message();
    n = torvi_frame_get_pcl(dev_->record(), packed.mutable_data(),
                            static_cast<int>((pixels + 1) * 3), dist.data(),
                            static_cast<int>(pixels), static_cast<int>(w), static_cast<int>(h),
                            intr ? &*intr : nullptr);
  }
  const float *dd = dist.data();
  const auto valid = static_cast<int>(
      std::count_if(dd, dd + pixels, [](float v) { return v > 0.0F && v < kMaxValidMetres; }));
  if (n == 0 && valid > 0) fail("point cloud failed");
  if (n != valid)
    throw Error(ErrorKind::kGeneric, "point cloud: " + std::to_string(n) + " points for " +
                                         std::to_string(valid) + " valid pixels");
  if (!organized) {
    return packed[py::slice(0, n, 1)].cast<py::array_t<float>>();
  }
  py::array_t<float> grid({h, w, py::ssize_t{3}});
  float *g = grid.mutable_data();
  const float *p = packed.data();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (py::ssize_t i = 0; i < pixels; ++i) {
    if (dd[i] > 0.0F && dd[i] < kMaxValidMetres) {
      std::copy_n(p, 3, g + 3 * i);
      p += 3;
    } else {
      std::fill_n(g + 3 * i, 3, nan);
    }
  }
  return grid;
}

// The library's colour map is process-wide: one colouring at a time.
std::mutex g_cmap_mutex;

py::array_t<uint8_t> Frame::colorized(std::optional<float> lo, std::optional<float> hi) const {
  check_decodable();
  py::array_t<float> dist = decode_to(dev_, d_, false);
  const auto h = static_cast<py::ssize_t>(d_.info.height);
  const auto w = static_cast<py::ssize_t>(d_.info.width);
  const float *dd = dist.data();
  const py::ssize_t pixels = h * w;
  if (!lo || !hi) {
    float mn = kMaxValidMetres, mx = 0.0F;
    for (py::ssize_t i = 0; i < pixels; ++i) {
      if (dd[i] > 0.0F && dd[i] < kMaxValidMetres) {
        mn = std::min(mn, dd[i]);
        mx = std::max(mx, dd[i]);
      }
    }
    if (mx <= mn) {
      mn = 0.0F;
      mx = 1.0F;
    }
    if (!lo) lo = mn;
    if (!hi) hi = mx;
  }
  py::array_t<uint8_t> rgb({h, w, py::ssize_t{3}});
  int n = 0;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(g_cmap_mutex);
    n = torvi_cmap_float(rgb.mutable_data(), static_cast<int>(pixels * 3), dd,
                         static_cast<int>(pixels), TORVI_CMAP_OUTFMT_RGB, *lo, *hi);
  }
  if (n != pixels) fail("colouring failed");
  return rgb;
}

#else  // the library offers no frame decode yet

[[noreturn]] void no_decode() {
  throw Error(ErrorKind::kUnsupported,
              "this build of the camera library has no frame decode (distance, gray, point "
              "cloud, colour); raw frames and their metadata are available");
}
py::array_t<float> Frame::distance() const { no_decode(); }
py::array_t<float> Frame::gray() const { no_decode(); }
py::array_t<float> Frame::point_cloud(bool, py::object) const { no_decode(); }
py::array_t<uint8_t> Frame::colorized(std::optional<float>, std::optional<float>) const {
  no_decode();
}

#endif

// --- streams ------------------------------------------------------------------

// Takes frames on a worker thread and queues them for Python.
class Stream : public std::enable_shared_from_this<Stream> {
 public:
  Stream(std::shared_ptr<Device> dev, unsigned count) : dev_(std::move(dev)), count_(count) {}
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  ~Stream() { stop(); }

  // Starts the capture (unless one runs) and the worker. Without the GIL.
  void start() {
    dev_->check_open();
    dev_->attach_stream(shared_from_this());
    torvi_dev_t *rec = dev_->record();
    clear_last_message();
    if (!torvi_cap_is_ongoing(rec)) {
      if (!torvi_cap_start(rec)) {
        dev_->detach_stream(this);
        fail("cannot start the capture", ErrorKind::kCapture);
      }
      started_capture_ = true;
    }
    worker_ = std::thread([this] { run(); });
  }

  // Stops the worker (and the capture it started); frames not yet taken
  // are dropped. Idempotent. Without the GIL.
  void stop() {
    {
      const std::lock_guard lock(mu_);
      if (stopped_) return;
      stopped_ = true;
      stop_requested_ = true;
    }
    cv_.notify_all();
    // Wakes a getter that waits for a frame; the worker then ends.
    if (started_capture_ && dev_->is_open()) torvi_cap_stop(dev_->record());
    if (worker_.joinable()) worker_.join();
    {
      const std::lock_guard lock(mu_);
      queue_.clear();
      done_ = true;
    }
    dev_->detach_stream(this);
  }

  // The next frame, waiting for it; nullopt at the end. With the GIL held;
  // releases it while waiting and checks for signals every 50 ms.
  std::optional<FrameData> next() {
    for (;;) {
      std::optional<FrameData> got;
      bool finished = false;
      {
        py::gil_scoped_release unlocked;
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, kPollStep, [this] { return !queue_.empty() || done_; });
        if (!queue_.empty()) {
          got = std::move(queue_.front());
          queue_.pop_front();
        } else if (done_) {
          finished = true;
        }
      }
      if (got) {
        cv_.notify_all();  // room in the queue for the worker
        return got;
      }
      if (finished) {
        {
          py::gil_scoped_release unlocked;
          stop();
        }
        if (error_) throw *error_;
        return std::nullopt;
      }
      if (PyErr_CheckSignals() != 0) {
        py::error_already_set interrupted;  // takes the pending exception, under the GIL
        {
          py::gil_scoped_release unlocked;
          stop();
        }
        throw interrupted;
      }
    }
  }

  unsigned delivered() const { return taken_.load(); }
  std::shared_ptr<Device> device() const { return dev_; }

 private:
  void finish(std::optional<Error> error) {
    {
      const std::lock_guard lock(mu_);
      if (error && !stop_requested_) error_ = std::move(error);
      done_ = true;
    }
    cv_.notify_all();
  }

  // Worker: one getter call per frame.
  void run() {
    torvi_dev_t *rec = dev_->record();
    uint32_t room = kFirstFrameRoom;
    for (unsigned produced = 0; count_ == 0 || produced < count_; ++produced) {
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return queue_.size() < kQueueFrames || stop_requested_; });
        if (stop_requested_) break;
      }
      FrameData f;
      f.bytes = std::shared_ptr<uint8_t[]>(new uint8_t[room]);
      clear_last_message();
      const int got = torvi_cap_get_frames(rec, 1, f.bytes.get(), room, &f.info);
      if (got != 1) {
        if (got == 0 && dev_->replay_ended()) {
          finish(std::nullopt);  // the end of the recording
        } else if (got == 0) {
          finish(Error(ErrorKind::kTimeout, "no frame came before the deadline"));
        } else if (got == -2) {
          finish(Error(ErrorKind::kCapture, "the capture is not running", got));
        } else if (got == -1) {
          finish(Error(ErrorKind::kClosed, "the camera is closed", got));
        } else {
          finish(Error(ErrorKind::kCapture,
                       std::string("the capture stopped: ") + torvi_error_name(got), got));
        }
        return;
      }
      f.timestamp = now_seconds();
      f.has_hdr = torvi_cap_get_frame_hdr(rec, &f.hdr);
      if (f.info.frame_size == 0 && f.has_hdr) {
        // The driver could not describe the frame: the stream header still
        // tells its length, index and format.
        f.info.frame_size = f.hdr.frlen;
        f.info.frame_idx = f.hdr.fridx;
        f.info.frame_format = f.hdr.frfmt;
      }
      f.kept = std::min(f.info.frame_size, room);
      if (f.info.frame_size > 0) room = std::max(f.info.frame_size, uint32_t{64});
      ++taken_;
      {
        const std::lock_guard lock(mu_);
        queue_.push_back(std::move(f));
      }
      cv_.notify_all();
    }
    finish(std::nullopt);
  }

  std::shared_ptr<Device> dev_;
  const unsigned count_;  // 0: no limit
  bool started_capture_ = false;
  std::thread worker_;
  std::atomic<unsigned> taken_{0};
  // mu_ guards queue_, done_, stop_requested_, stopped_ and error_.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<FrameData> queue_;
  bool done_ = false;
  bool stop_requested_ = false;
  bool stopped_ = false;
  std::optional<Error> error_;
};

void Device::attach_stream(const std::shared_ptr<Stream> &s) {
  const std::lock_guard lock(stream_mu_);
  const std::shared_ptr<Stream> running = stream_.lock();
  if (running != nullptr && running != s)
    throw Error(ErrorKind::kGeneric, "a stream is already running on this camera");
  stream_ = s;
}

void Device::detach_stream(const Stream *s) {
  const std::lock_guard lock(stream_mu_);
  const std::shared_ptr<Stream> running = stream_.lock();
  if (running == nullptr || running.get() == s) stream_.reset();
}

void Device::close() {
  std::shared_ptr<Stream> running;
  {
    const std::lock_guard lock(stream_mu_);
    running = stream_.lock();
  }
  if (running != nullptr) running->stop();
  if (open_.exchange(false)) torvi_dev_close(&dev_);
}

// Every Device ever opened, to close what is still open at exit. Guarded by
// g_devices_mutex.
std::mutex g_devices_mutex;
std::vector<std::weak_ptr<Device>> g_devices;

void remember(const std::shared_ptr<Device> &d) {
  const std::lock_guard lock(g_devices_mutex);
  std::erase_if(g_devices, [](const std::weak_ptr<Device> &w) { return w.expired(); });
  g_devices.push_back(d);
}

// --- listing and opening ----------------------------------------------------------

struct ListedCamera {
  int index = 0;
  torvi_dev_t record{};
  std::string product, vendor, serial;
  bool identified = false;
};

// Reads the identity of an open record into the listing.
void identify(torvi_dev_t &rec, ListedCamera &out) {
  out.product = cut_string(rec.product, sizeof rec.product);
  out.vendor = cut_string(rec.vendor, sizeof rec.vendor);
  out.serial = cut_string(reinterpret_cast<const char *>(rec.info5), sizeof rec.info5);
  out.identified = true;
}

// Lists the cameras; with `identify_them` each is opened briefly to read its
// identity (a camera in use elsewhere stays unidentified). Without the GIL.
std::vector<ListedCamera> list_cameras(bool identify_them) {
  std::array<torvi_dev_t, kMaxCameras> recs{};
  const int n = torvi_dev_list(recs.data(), kMaxCameras);
  std::vector<ListedCamera> out;
  for (int i = 0; i < n; ++i) {
    ListedCamera c;
    c.index = i;
    c.record = recs[static_cast<size_t>(i)];
    if (identify_them) {
      torvi_dev_t probe = c.record;
      if (torvi_dev_open(&probe) == &probe) {
        identify(probe, c);
        torvi_dev_close(&probe);
      }
    }
    out.push_back(c);
  }
  return out;
}

py::dict listed_as_dict(const ListedCamera &c) {
  py::dict d("index"_a = c.index, "bus"_a = c.record.bus, "port"_a = c.record.port,
             "address"_a = c.record.addr, "speed"_a = c.record.speed);
  if (c.identified) {
    d["serial"] = c.serial;
    d["product"] = c.product;
    d["vendor"] = c.vendor;
  } else {
    d["serial"] = py::none();
    d["product"] = py::none();
    d["vendor"] = py::none();
  }
  return d;
}

// --- recordings ---------------------------------------------------------------

// A recording of an open camera into an MCAP file; the camera's streams go on
// as usual while it records.
class Recording {
 public:
  Recording(std::shared_ptr<Device> dev, const std::string &path, bool depth, bool compress)
      : dev_(std::move(dev)) {
    dev_->check_open();
    torvi_record_opts_t opts{};
    opts.no_depth = depth ? 0 : 1;
    opts.no_compress = compress ? 0 : 1;
    py::gil_scoped_release unlocked;
    clear_last_message();
    rec_ = torvi_record_start(dev_->record(), path.c_str(), &opts);
    if (rec_ == nullptr) fail("cannot record into " + path);
  }
  Recording(const Recording &) = delete;
  Recording &operator=(const Recording &) = delete;
  ~Recording() {
    if (rec_ != nullptr) torvi_record_stop(rec_, nullptr);
  }

  // Completes the file; the final counters. Idempotent.
  py::dict stop() {
    if (rec_ != nullptr) {
      bool ok = false;
      {
        py::gil_scoped_release unlocked;
        clear_last_message();
        ok = torvi_record_stop(rec_, &final_);
      }
      rec_ = nullptr;
      if (!ok) fail("the recording could not be completed");
    }
    return counters(final_);
  }
  py::dict stats() const {
    if (rec_ == nullptr) return counters(final_);
    torvi_record_stats_t s{};
    torvi_record_get_stats(rec_, &s);
    return counters(s);
  }

 private:
  static py::dict counters(const torvi_record_stats_t &s) {
    return py::dict("frames_seen"_a = s.frames_seen, "frames_written"_a = s.frames_written,
                    "frames_dropped"_a = s.frames_dropped, "depth_written"_a = s.depth_written,
                    "bytes_written"_a = s.bytes_written, "failed"_a = s.failed != 0);
  }

  std::shared_ptr<Device> dev_;  // keeps the camera open while recording
  torvi_record_t *rec_ = nullptr;
  torvi_record_stats_t final_{};
};

// --- the Python camera ----------------------------------------------------------

class Camera {
 public:
  Camera(std::optional<int> index, std::optional<std::string> serial) {
    ensure_library();
    dev_ = std::make_shared<Device>();
    py::gil_scoped_release unlocked;
    clear_last_message();
    const std::vector<ListedCamera> found = list_cameras(serial.has_value());
    if (found.empty()) fail("no camera found", ErrorKind::kNoCamera);
    const ListedCamera *pick = nullptr;
    if (serial) {
      for (const auto &c : found)
        if (c.identified && c.serial == *serial) pick = &c;
      if (pick == nullptr)
        throw Error(ErrorKind::kNoCamera, "no camera with serial '" + *serial + "'");
    } else {
      const int i = index.value_or(0);
      if (i < 0 || i >= static_cast<int>(found.size()))
        throw Error(ErrorKind::kNoCamera, "no camera with index " + std::to_string(i) + " (" +
                                              std::to_string(found.size()) + " found)");
      pick = &found[static_cast<size_t>(i)];
    }
    dev_->open(pick->record);
    remember(dev_);
  }

  // A recording opened as a camera.
  static Camera replay(const std::string &path, bool fast, bool loop) {
    ensure_library();
    Camera c;
    c.dev_ = std::make_shared<Device>();
    {
      py::gil_scoped_release unlocked;
      unsigned flags = fast ? TORVI_REPLAY_FAST : TORVI_REPLAY_PACED;
      if (loop) flags |= TORVI_REPLAY_LOOP;
      c.dev_->open_replay(path, flags);
    }
    remember(c.dev_);
    return c;
  }

  void close() {
    py::gil_scoped_release unlocked;
    dev_->close();
  }
  bool closed() const { return !dev_->is_open(); }

  py::dict info() {
    dev_->check_open();
    torvi_dev_t *rec = dev_->record();
    ListedCamera id;
    identify(*rec, id);
    py::dict d("vendor"_a = id.vendor, "product"_a = id.product, "serial"_a = id.serial,
               "bus"_a = rec->bus, "port"_a = rec->port, "address"_a = rec->addr,
               "speed"_a = rec->speed);
    // The product string is "<name>-<chip>-<firmware>".
    const auto first = id.product.find('-');
    const auto second = first == std::string::npos ? first : id.product.find('-', first + 1);
    d["firmware"] = second == std::string::npos
                        ? py::object(py::none())
                        : py::object(py::str(id.product.substr(second + 1)));
    const torvi_drv_t *drv = torvi_dev_get_drv(rec);
    d["driver"] = drv != nullptr ? py::object(py::str(drv->name)) : py::object(py::none());
    d["chip"] = chip_info();
    d["calibration"] = calibration_info();
    d["lens"] = lens_info(drv);
    return d;
  }

  py::bytes get_param(uint32_t number) {
    const torvi_param_t item = get_param_item(number);
    return py::bytes(reinterpret_cast<const char *>(item.value),
                     std::min<size_t>(item.len, kParamValueBytes));
  }

  void set_param(uint32_t number, py::object value, std::optional<int> length) {
    torvi_param_t item{};
    item.number = number;
    if (py::isinstance<py::bytes>(value) || py::isinstance<py::bytearray>(value)) {
      const std::string b = value.cast<std::string>();
      if (b.size() > kParamValueBytes)
        throw py::value_error("a parameter value holds at most 18 bytes");
      std::memcpy(item.value, b.data(), b.size());
      item.len = static_cast<uint8_t>(length.value_or(static_cast<int>(b.size())));
    } else {
      const auto v = value.cast<long long>();
      const int len = length.value_or(4);
      if (len < 1 || len > 8) throw py::value_error("length of a number: 1..8 bytes");
      for (int i = 0; i < len; ++i)
        item.value[i] = static_cast<uint8_t>(static_cast<unsigned long long>(v) >> (8 * i));
      item.len = static_cast<uint8_t>(len);
    }
    dev_->check_open();
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(dev_->command_mutex());
    clear_last_message();
    if (!torvi_param_batch_set(dev_->record(), &item, 1))
      fail("setting parameter " + std::to_string(number) + " failed");
  }

  py::array_t<uint32_t> read_registers(int base, int count, int target) {
    if (count < 1 || count > 0xFFFF) throw py::value_error("count: 1..65535 registers");
    py::array_t<uint32_t> out(count);
    dev_->check_open();
    uint32_t *dst = out.mutable_data();
    {
      py::gil_scoped_release unlocked;
      const std::lock_guard lock(dev_->command_mutex());
      clear_last_message();
      if (!torvi_reg_batch_read(dev_->record(), target, base, dst, count))
        fail("reading " + std::to_string(count) + " registers from " + std::to_string(base) +
             " failed");
    }
    return out;
  }

  void write_registers(int base, py::array_t<uint32_t, py::array::c_style | py::array::forcecast> v,
                       int target) {
    if (v.size() < 1 || v.size() > 0xFFFF) throw py::value_error("1..65535 register values");
    std::vector<uint32_t> vals(v.data(), v.data() + v.size());
    dev_->check_open();
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(dev_->command_mutex());
    clear_last_message();
    if (!torvi_reg_batch_write(dev_->record(), target, base, vals.data(),
                               static_cast<int>(vals.size())))
      fail("writing registers at " + std::to_string(base) + " failed");
  }

  unsigned frame_rate() {
    const torvi_param_t item = get_param_item(kParamFrameRate);
    return le32(item.value);
  }
  void set_frame_rate(unsigned fps) { set_param(kParamFrameRate, py::int_(fps), 4); }
  unsigned integration_time() {
    const torvi_param_t item = get_param_item(kParamIntegration);
    return le16(item.value);
  }
  void set_integration_time(unsigned us) {
    if (us < 1 || us > 0xFFFF) throw py::value_error("integration time: 1..65535 microseconds");
    set_param(kParamIntegration, py::int_(us), 2);
  }
  py::tuple temperatures() {
    const torvi_param_t item = get_param_item(kParamTemperatures);
    const auto sensor = static_cast<int16_t>(le16(item.value));
    const auto board = static_cast<int16_t>(le16(item.value + 2));
    return py::make_tuple(sensor / kTenthsPerDegree, board / kTenthsPerDegree);
  }

  void reset(unsigned target) {
    dev_->check_open();
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(dev_->command_mutex());
    clear_last_message();
    if (!torvi_dev_reset(dev_->record(), target))
      fail("reset of target " + std::to_string(target) + " failed");
  }

  void enable_filter(const std::string &name, std::optional<int> value);
  void disable_filter(const std::string &name);

  std::shared_ptr<Stream> stream(std::optional<unsigned> count) {
    dev_->check_open();
    if (count && *count == 0) throw py::value_error("count must be positive (or None: no end)");
    auto s = std::make_shared<Stream>(dev_, count.value_or(0));
    py::gil_scoped_release unlocked;
    s->start();
    return s;
  }

  std::unique_ptr<Recording> record(const std::string &path, bool depth, bool compress) {
    return std::make_unique<Recording>(dev_, path, depth, compress);
  }

  std::shared_ptr<Device> device() const { return dev_; }

 private:
  Camera() = default;

  torvi_param_t get_param_item(uint32_t number) {
    dev_->check_open();
    torvi_param_t item{};
    item.number = number;
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(dev_->command_mutex());
    clear_last_message();
    if (!torvi_param_batch_get(dev_->record(), &item, 1))
      fail("reading parameter " + std::to_string(number) + " failed");
    return item;
  }

  py::object chip_info() {
    try {
      const torvi_param_t p = get_param_item(kParamChip);
      return py::dict("part_version"_a = le16(p.value), "chip_id"_a = le16(p.value + 2),
                      "wafer_id"_a = le16(p.value + 4));
    } catch (const Error &) {
      return py::none();
    }
  }

  py::object calibration_info() {
    try {
      const torvi_param_t p = get_param_item(kParamCalibInfo);
      return py::dict("valid"_a = p.value[0] != 0, "version"_a = le32(p.value + 3),
                      "size"_a = le32(p.value + 7));
    } catch (const Error &) {
      return py::none();
    }
  }

  py::object lens_info(const torvi_drv_t *drv) {
    if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr)
      return py::none();
    torvi_lens_param_t lens{};
    const torvi_frame_info_t none{};
    (void)none;
    bool ok = false;
    {
      py::gil_scoped_release unlocked;
      ok = drv->ops->lens_param_get(const_cast<torvi_drv_t *>(drv), &lens, 320, 240);
    }
    if (!ok) return py::none();
    return py::dict("cx"_a = lens.cx, "cy"_a = lens.cy, "fx"_a = lens.fx, "fy"_a = lens.fy,
                    "distortion"_a = py::make_tuple(lens.dcoeff[0], lens.dcoeff[1], lens.dcoeff[2],
                                                    lens.dcoeff[3], lens.dcoeff[4]),
                    "width"_a = lens.img_w, "height"_a = lens.img_h);
  }

  std::shared_ptr<Device> dev_;
};

// Filter names and identifiers of the library's filter switch.
struct FilterName {
  const char *name;
  int id;
};
constexpr FilterName kFilters[] = {
    {"lens_undistort", TORVI_FILTER_LENS_UNDISTORT}, {"pixel_calib", TORVI_FILTER_PIXEL_CALIB},
    {"depth_smooth", TORVI_FILTER_DEPTH_SMOOTH},     {"min_amp", TORVI_FILTER_MIN_AMP},
    {"auto_intg", TORVI_FILTER_AUTO_INTG},           {"sync_check", TORVI_FILTER_SYNC_CHECK},
    {"temp_monitor", TORVI_FILTER_TEMP_MONITOR},     {"hdr", TORVI_FILTER_HDR},
};

int filter_id(const std::string &name) {
  for (const auto &f : kFilters)
    if (name == f.name) return f.id;
  std::string known;
  for (const auto &f : kFilters) known += std::string(known.empty() ? "" : ", ") + f.name;
  throw py::value_error("unknown filter '" + name + "' (known: " + known + ")");
}

#if defined(TORVI_PY_HAVE_FILTERS)
void Camera::enable_filter(const std::string &name, std::optional<int> value) {
  const int id = filter_id(name);
  dev_->check_open();
  if (value && (*value < 0 || *value > 0xFFFF)) throw py::value_error("value: 0..65535");
  torvi_filter_args_t arg{};
  const auto v = static_cast<uint16_t>(value.value_or(0));
  static_assert(sizeof arg >= sizeof v, "the argument record holds a 16-bit value");
  std::memcpy(&arg, &v, sizeof v);  // the driver reads 8 or 16 bits from its start
  int r = 0;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(dev_->command_mutex());
    clear_last_message();
    r = torvi_filter_enable(dev_->record(), id, &arg, 0);
  }
  if (r < 0)
    fail("filter '" + name + "': the camera has no driver for it", ErrorKind::kUnsupported);
  if (r == 0) fail("the driver refused to enable filter '" + name + "'");
}

void Camera::disable_filter(const std::string &name) {
  const int id = filter_id(name);
  dev_->check_open();
  int r = 0;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(dev_->command_mutex());
    clear_last_message();
    r = torvi_filter_disable(dev_->record(), id);
  }
  if (r < 0)
    fail("filter '" + name + "': the camera has no driver for it", ErrorKind::kUnsupported);
  if (r == 0) fail("the driver refused to disable filter '" + name + "'");
}
#else
void Camera::enable_filter(const std::string &name, std::optional<int>) {
  (void)filter_id(name);
  throw Error(ErrorKind::kUnsupported, "this build of the camera library has no filter switch");
}
void Camera::disable_filter(const std::string &name) {
  (void)filter_id(name);
  throw Error(ErrorKind::kUnsupported, "this build of the camera library has no filter switch");
}
#endif

}  // namespace

void close_all_cameras() {
  std::vector<std::shared_ptr<Device>> open;
  {
    const std::lock_guard lock(g_devices_mutex);
    for (const auto &w : g_devices)
      if (auto d = w.lock()) open.push_back(std::move(d));
    g_devices.clear();
  }
  for (const auto &d : open) d->close();
}

void bind_camera(py::module_ &m) {
  m.attr("HAVE_DECODE") =
#if defined(TORVI_PY_HAVE_DECODE)
      true;
#else
      false;
#endif
  py::list names;
  for (const auto &f : kFilters) names.append(f.name);
  m.attr("FILTERS") = py::tuple(names);

  m.def(
      "list_cameras",
      [](bool identify_them) {
        ensure_library();
        std::vector<ListedCamera> found;
        {
          py::gil_scoped_release unlocked;
          found = list_cameras(identify_them);
        }
        py::list out;
        for (const auto &c : found) out.append(listed_as_dict(c));
        return out;
      },
      py::arg("identify") = true,
      "The attached cameras as dicts (index, bus, port, address, speed, serial, product, "
      "vendor). With identify=True each camera is opened briefly to read its serial and "
      "product; one that cannot be opened has None there.");

  py::class_<Frame>(m, "Frame",
                    "One raw frame with its metadata. Decoding methods return new numpy arrays; "
                    "`raw` shares the frame's memory.")
      .def_property_readonly("index", &Frame::index, "Frame index from the camera (16 bits).")
      .def_property_readonly("format", &Frame::format, "Frame format code.")
      .def_property_readonly("width", &Frame::width)
      .def_property_readonly("height", &Frame::height)
      .def_property_readonly("pixel_bytes", &Frame::pixel_bytes, "Raw bytes per pixel.")
      .def_property_readonly("size", &Frame::size, "Length of the raw frame in bytes.")
      .def_property_readonly("truncated", &Frame::truncated,
                             "True when the frame was longer than the room given and was cut.")
      .def_property_readonly("timestamp", &Frame::timestamp,
                             "Host time (seconds since the epoch) when the frame was taken.")
      .def_property_readonly("sensor_temperature", &Frame::sensor_temperature,
                             "Sensor temperature in degrees Celsius from the frame's header.")
      .def_property_readonly("illumination_temperature", &Frame::illumination_temperature,
                             "Illumination board temperature in degrees Celsius.")
      .def_property_readonly(
          "raw", [](py::object self) { return self.cast<const Frame &>().raw(self); },
          "The raw frame bytes: a read-only uint8 array sharing the frame's memory.")
      .def("distance", &Frame::distance,
           "Distance image: float32 (height, width) in metres, decoded with the camera's "
           "calibration. Invalid pixels hold the library's markers (65.3 m and above).")
      .def("gray", &Frame::gray, "Gray (amplitude) image: float32 (height, width).")
      .def("point_cloud", &Frame::point_cloud, py::arg("organized") = false,
           py::arg("intrinsics") = py::none(),
           "Point cloud in metres: float32 (N, 3) of the valid pixels in row order, or with "
           "organized=True (height, width, 3) with NaN for invalid pixels. intrinsics: "
           "(cx, cy, fx, fy[, dist_scale]) or a dict; None uses the camera's lens.")
      .def("colorized", &Frame::colorized, py::arg("range_min") = py::none(),
           py::arg("range_max") = py::none(),
           "Colourised depth: uint8 (height, width, 3) RGB with the library's colour map over "
           "range_min..range_max metres (default: the frame's valid distances).")
      .def("__repr__", &Frame::repr);

  py::class_<Stream, std::shared_ptr<Stream>>(
      m, "Stream",
      "Frames of a running capture, as an iterator. Started by Camera.stream(); stops the "
      "capture it started when it ends, is closed, or leaves a with block.")
      .def("__iter__", [](std::shared_ptr<Stream> s) { return s; })
      .def("__next__",
           [](Stream &s) -> Frame {
             std::optional<FrameData> f = s.next();
             if (!f) throw py::stop_iteration();
             return Frame(s.device(), std::move(*f));
           })
      .def(
          "close",
          [](Stream &s) {
            py::gil_scoped_release unlocked;
            s.stop();
          },
          "Stops taking frames (and the capture the stream started).")
      .def("__enter__", [](std::shared_ptr<Stream> s) { return s; })
      .def("__exit__",
           [](Stream &s, py::args) {
             py::gil_scoped_release unlocked;
             s.stop();
             return false;
           })
      .def_property_readonly("delivered", &Stream::delivered,
                             "Frames the stream has taken from the camera so far.");

  py::class_<Recording>(m, "Recording",
                        "A recording of a camera into an MCAP file (Camera.record); stop() or "
                        "use it as a context manager to complete the file.")
      .def("stop", &Recording::stop,
           "Writes what is queued, completes the file and returns the final counters.")
      .def_property_readonly("stats", &Recording::stats, "Counters so far.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Recording &r, py::args) {
        r.stop();
        return false;
      });

  py::class_<Camera>(m, "Camera",
                     "An open camera. Camera(index=0) or Camera(serial='...'); close() or use it "
                     "as a context manager.")
      .def(py::init<std::optional<int>, std::optional<std::string>>(),
           py::arg("index") = py::none(), py::arg("serial") = py::none())
      .def_static("replay", &Camera::replay, py::arg("path"), py::arg("fast") = false,
                  py::arg("loop") = false,
                  "Opens a recording (MCAP, from torvi record) as a camera: its streams give "
                  "the recorded frames at the recorded pace (fast: as fast as they are "
                  "taken), decoded with the recorded calibration, and end with the recording "
                  "(loop: start again).")
      .def("close", &Camera::close, "Stops a running stream and closes the camera. Idempotent.")
      .def_property_readonly("closed", &Camera::closed)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](Camera &c, py::args) {
             c.close();
             return false;
           })
      .def_property_readonly("info", &Camera::info,
                             "Identity (vendor, product, serial, firmware, driver), location, "
                             "chip, calibration and lens information as a dict.")
      .def("get_param", &Camera::get_param, py::arg("number"),
           "Raw value bytes of a device parameter.")
      .def("set_param", &Camera::set_param, py::arg("number"), py::arg("value"),
           py::arg("length") = py::none(),
           "Sets a device parameter: bytes as given, or an integer as `length` (default 4) "
           "little-endian bytes.")
      .def("read_registers", &Camera::read_registers, py::arg("base"), py::arg("count") = 1,
           py::arg("target") = 0, "Reads `count` 32-bit registers from `base`: uint32 array.")
      .def("write_registers", &Camera::write_registers, py::arg("base"), py::arg("values"),
           py::arg("target") = 0, "Writes 32-bit register values from `base` on.")
      .def_property("frame_rate", &Camera::frame_rate, &Camera::set_frame_rate,
                    "Frames per second (device parameter 12).")
      .def_property("integration_time", &Camera::integration_time, &Camera::set_integration_time,
                    "Integration time in microseconds (device parameter 13).")
      .def("temperatures", &Camera::temperatures,
           "(sensor, board) temperatures in degrees Celsius, read from the camera now.")
      .def("reset", &Camera::reset, py::arg("target"), "Resets a camera part (0..8).")
      .def("enable_filter", &Camera::enable_filter, py::arg("name"), py::arg("value") = py::none(),
           "Switches a depth filter on by name (see torvi.FILTERS) with its argument.")
      .def("disable_filter", &Camera::disable_filter, py::arg("name"),
           "Switches a depth filter off by name.")
      .def("record", &Camera::record, py::arg("path"), py::arg("depth") = true,
           py::arg("compress") = true,
           "Starts recording the camera's frames (and distance images, unless depth=False) "
           "into an MCAP file while its streams go on; returns the Recording.")
      .def("stream", &Camera::stream, py::arg("count") = py::none(),
           "Starts capturing and returns an iterator of `count` frames (None: until closed).");
}

}  // namespace torvi_py
