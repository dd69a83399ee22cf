// The torvi_vcam_ entry points: argument checks and logging over the model.
#include <torvi/torvi_vcam.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/c_entry.h"
#include "core/product_string.h"
#include "vcam/camera_ptr.h"
#include "vcam/handles.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

struct torvi_vcam {
  torvi::vcam::CameraPtr cam;
};

namespace {

// Parameter 5 carries at most this many characters of the serial.
constexpr size_t kMaxSerialChars = 18;

using torvi::check_arg;
using torvi::vcam::CameraConfig;
using torvi::vcam::CameraPtr;

struct Handles {
  std::mutex mu;
  std::unordered_map<torvi_vcam *, std::unique_ptr<torvi_vcam>> all;
};

Handles &handles() {
  static Handles h;
  return h;
}

// The camera behind a handle that this module created, or null.
CameraPtr camera_of(torvi_vcam_t *h) {
  std::lock_guard lock(handles().mu);
  auto it = handles().all.find(h);
  return it == handles().all.end() ? CameraPtr() : it->second->cam;
}

// A product string the camera can report: it fits its 18-byte parameter
// value and has the three fields.
bool product_ok(const char *product) {
  return product != nullptr && std::strlen(product) <= 18 &&
         torvi::parse_product(product).has_value();
}

// The camera behind a handle that this module created; a bad argument
// otherwise.
CameraPtr known_camera(torvi_vcam_t *h) {
  CameraPtr cam = camera_of(h);
  check_arg(static_cast<bool>(cam), "unknown camera %p", static_cast<void *>(h));
  return cam;
}

}  // namespace

torvi::vcam::CameraPtr torvi::vcam::camera_of_handle(torvi_vcam_t *h) { return camera_of(h); }

extern "C" {

TORVI_API torvi_vcam_t *torvi_vcam_create(const char *product, uint64_t seed) {
  KX_LOG_NAME("torvi_vcam_create");
  return torvi::c_entry<torvi_vcam_t *>(__func__, nullptr, [&]() -> torvi_vcam_t * {
    CameraConfig cfg;
    if (product != nullptr) {
      check_arg(product_ok(product), "bad product string \"%s\"", product);
      cfg.product = product;
    }
    cfg.seed = seed;
    auto h = std::make_unique<torvi_vcam>();
    h->cam = CameraPtr::make(std::move(cfg));
    torvi_vcam *raw = h.get();
    std::lock_guard lock(handles().mu);
    handles().all.emplace(raw, std::move(h));
    KX_DBG("virtual camera %p created\n", static_cast<void *>(raw));
    return raw;
  });
}

TORVI_API void torvi_vcam_destroy(torvi_vcam_t *h) {
  torvi::c_entry_void(__func__, [&] {
    if (h == nullptr) return;
    std::unique_ptr<torvi_vcam> owned;
    {
      std::lock_guard lock(handles().mu);
      auto it = handles().all.find(h);
      check_arg(it != handles().all.end(), "unknown camera %p", static_cast<void *>(h));
      owned = std::move(it->second);
      handles().all.erase(it);
    }
    torvi::vcam::VirtualBus::instance().detach(owned->cam.get());
  });
}

TORVI_API int torvi_vcam_set_location(torvi_vcam_t *h, uint8_t bus, uint8_t port, uint8_t address,
                                      int speed, uint8_t address_after_reset) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(address != 0 && address <= 127 && speed >= LIBUSB_SPEED_UNKNOWN &&
                  speed <= LIBUSB_SPEED_SUPER_PLUS,
              "bad location: address %u, speed %d", address, speed);
    check_arg(!torvi::vcam::VirtualBus::instance().contains(cam.get()),
              "camera %p is plugged in: unplug it first", static_cast<void *>(h));
    // The identity is fixed at construction: rebuild the model with it.
    CameraConfig cfg = cam->config();
    cfg.identity.bus = bus;
    cfg.identity.port = port;
    cfg.identity.address = address;
    cfg.identity.speed = speed;
    cfg.identity.address_after_reset = address_after_reset;
    auto fresh = CameraPtr::make(std::move(cfg));
    fresh->set_faults(cam->faults());
    std::lock_guard lock(handles().mu);
    handles().all[h]->cam = std::move(fresh);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_product(torvi_vcam_t *h, const char *product) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(product_ok(product), "bad product string \"%s\"", product ? product : "(null)");
    cam->set_product(product);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_serial(torvi_vcam_t *h, const char *serial) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(serial != nullptr && std::strlen(serial) <= kMaxSerialChars,
              "bad serial \"%s\" (at most %zu characters)", serial ? serial : "(null)",
              kMaxSerialChars);
    cam->set_serial(serial);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_frame_rate(torvi_vcam_t *h, unsigned fps) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(fps >= 1 && fps <= 120, "frame rate %u out of 1..120", fps);
    cam->set_frame_rate(fps);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_paced(torvi_vcam_t *h, int paced) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    cam->set_paced(paced != 0);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_seed(torvi_vcam_t *h, uint64_t seed) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    cam->set_seed(seed);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_noise(torvi_vcam_t *h, double noise_lsb, double pattern_mm) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(noise_lsb >= 0 && noise_lsb < 1000 && pattern_mm >= 0 && pattern_mm < 10000,
              "bad noise %f or pattern %f", noise_lsb, pattern_mm);
    cam->set_sensor([&] {
      auto s = cam->config().sensor;
      s.noise_lsb = noise_lsb;
      s.pattern_mm = pattern_mm;
      return s;
    }());
    return 0;
  });
}

TORVI_API int torvi_vcam_set_drift(torvi_vcam_t *h, double sensor_per_frame,
                                   double board_per_frame) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(sensor_per_frame >= 0 && sensor_per_frame < 100 && board_per_frame >= 0 &&
                  board_per_frame < 100,
              "bad drift %f, %f", sensor_per_frame, board_per_frame);
    auto s = cam->config().sensor;
    s.sensor_drift_per_frame = sensor_per_frame;
    s.board_drift_per_frame = board_per_frame;
    cam->set_sensor(s);
    return 0;
  });
}

namespace {
bool reflectivity_ok(double r) { return r >= 0 && r <= 10; }
bool length_ok(double v) { return v > -1e6 && v < 1e6; }
void add_shape(torvi::vcam::Camera &cam, const torvi::vcam::Shape &shape) {
  auto scene = cam.config().scene;
  scene.shapes.push_back(shape);
  cam.set_scene(scene);
}
}  // namespace

TORVI_API int torvi_vcam_set_wall(torvi_vcam_t *h, double mm, double reflectivity) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(mm > 0 && mm < 60000 && reflectivity_ok(reflectivity),
              "bad wall %f mm, reflectivity %f", mm, reflectivity);
    auto scene = cam->config().scene;
    scene.wall_mm = mm;
    scene.wall_reflectivity = reflectivity;
    cam->set_scene(scene);
    return 0;
  });
}

TORVI_API int torvi_vcam_add_sphere(torvi_vcam_t *h, double x, double y, double z, double radius,
                                    double reflectivity) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(length_ok(x) && length_ok(y) && length_ok(z) && radius > 0 && radius < 1e6 &&
                  reflectivity_ok(reflectivity),
              "bad sphere");
    add_shape(*cam, {.kind = torvi::vcam::Shape::Kind::sphere,
                     .x0 = x,
                     .y0 = y,
                     .z0 = z,
                     .r = radius,
                     .reflectivity = reflectivity});
    return 0;
  });
}

TORVI_API int torvi_vcam_add_box(torvi_vcam_t *h, double x0, double y0, double z0, double x1,
                                 double y1, double z1, double reflectivity) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    for (double v : {x0, y0, z0, x1, y1, z1}) check_arg(length_ok(v), "bad box corner %f", v);
    check_arg(reflectivity_ok(reflectivity), "bad reflectivity %f", reflectivity);
    add_shape(*cam, {.kind = torvi::vcam::Shape::Kind::box,
                     .x0 = x0,
                     .y0 = y0,
                     .z0 = z0,
                     .x1 = x1,
                     .y1 = y1,
                     .z1 = z1,
                     .reflectivity = reflectivity});
    return 0;
  });
}

TORVI_API int torvi_vcam_clear_shapes(torvi_vcam_t *h) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    auto scene = cam->config().scene;
    scene.shapes.clear();
    cam->set_scene(scene);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_upload_block(torvi_vcam_t *h, const void *data, uint32_t len) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(data != nullptr || len == 0, "no data for %u bytes", len);
    const auto *p = static_cast<const uint8_t *>(data);
    cam->set_upload_block(std::vector<uint8_t>(p, p + len));
    return 0;
  });
}

TORVI_API int torvi_vcam_set_chip(torvi_vcam_t *h, uint16_t part_version, uint16_t chip_id,
                                  uint16_t wafer_id) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    cam->set_chip(part_version, chip_id, wafer_id);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_lens(torvi_vcam_t *h, const double intrinsics[4],
                                  const double dcoeff[5]) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    auto s = cam->config().sensor;
    const torvi::vcam::SensorModel defaults;
    const double *dc = dcoeff != nullptr ? dcoeff : defaults.dcoeff;
    s.cx = intrinsics != nullptr ? intrinsics[0] : defaults.cx;
    s.cy = intrinsics != nullptr ? intrinsics[1] : defaults.cy;
    s.fx = intrinsics != nullptr ? intrinsics[2] : defaults.fx;
    s.fy = intrinsics != nullptr ? intrinsics[3] : defaults.fy;
    check_arg(s.fx > 1 && s.fy > 1 && s.fx < 1e5 && s.fy < 1e5, "bad focal lengths %f, %f", s.fx,
              s.fy);
    for (int i = 0; i < 5; ++i) {
      check_arg(dc[i] > -10 && dc[i] < 10, "bad distortion coefficient %d: %f", i, dc[i]);
      s.dcoeff[i] = dc[i];
    }
    cam->set_sensor(s);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_nonlinearity(torvi_vcam_t *h, double peak_mm) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(peak_mm >= 0 && peak_mm <= 1000, "bad non-linearity %f", peak_mm);
    auto s = cam->config().sensor;
    s.nonlinearity_mm = peak_mm;
    cam->set_sensor(s);
    return 0;
  });
}

TORVI_API int torvi_vcam_set_calib_fault(torvi_vcam_t *h, int fault) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    check_arg(fault >= TORVI_VCAM_CALIB_OK && fault <= TORVI_VCAM_CALIB_EMPTY_SPLIT,
              "unknown calibration fault %d", fault);
    auto plan = cam->config().calibration;
    plan.fault = static_cast<torvi::vcam::CalibrationPlan::Fault>(fault);
    cam->set_calibration(plan);
    return 0;
  });
}

namespace {

// The stream faults of the C interface: damage aimed at one frame and chunk.
// False for every other fault kind.
bool stream_fault_kind(int kind, torvi::vcam::StreamFault::Kind *out) {
  using K = torvi::vcam::StreamFault::Kind;
  switch (kind) {
    case TORVI_VCAM_FAULT_FLIP_HEADER:
      *out = K::flip_header_bit;
      return true;
    case TORVI_VCAM_FAULT_FLIP_PAYLOAD:
      *out = K::flip_payload_bit;
      return true;
    case TORVI_VCAM_FAULT_DROP_CHUNK:
      *out = K::drop_chunk;
      return true;
    case TORVI_VCAM_FAULT_DUP_CHUNK:
      *out = K::duplicate_chunk;
      return true;
    case TORVI_VCAM_FAULT_SKIP_SIDX:
      *out = K::skip_sidx;
      return true;
    case TORVI_VCAM_FAULT_SKIP_FRIDX:
      *out = K::skip_fridx;
      return true;
    default:
      return false;
  }
}

}  // namespace

TORVI_API int torvi_vcam_fault(torvi_vcam_t *h, int kind, uint32_t a, uint32_t b, uint32_t c) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    if (torvi::vcam::StreamFault::Kind stream_kind{}; stream_fault_kind(kind, &stream_kind)) {
      torvi::vcam::StreamFault sf;
      sf.kind = stream_kind;
      sf.frame = a;
      sf.chunk = b;
      sf.byte = c;
      sf.mask = 0x01;
      cam->add_stream_fault(sf);
      return 0;
    }
    torvi::vcam::DeviceFaults f = cam->faults();
    switch (kind) {
      case TORVI_VCAM_FAULT_CLEAR:
        f = {};
        cam->clear_stream_faults();
        break;
      case TORVI_VCAM_FAULT_STALL_BULK:
        f.stall_bulk = a;
        break;
      case TORVI_VCAM_FAULT_STALL_XFER:
        f.stall_transfers = a;
        break;
      case TORVI_VCAM_FAULT_TIME_OUT:
        f.time_out_transfers = a;
        f.time_out_partial_bytes = b;
        break;
      case TORVI_VCAM_FAULT_SILENT_AFTER:
        f.silent_after_bytes = a;
        break;
      case TORVI_VCAM_FAULT_RESUME:
        f.silent_after_bytes.reset();
        break;
      case TORVI_VCAM_FAULT_UNPLUG_AFTER:
        f.unplug_after_bytes = a;
        break;
      case TORVI_VCAM_FAULT_BUSY:
        f.busy_queries = a;
        break;
      case TORVI_VCAM_FAULT_NO_ANSWER:
        f.unanswered_controls = a;
        break;
      case TORVI_VCAM_FAULT_FAIL_CLAIM0:
        f.fail_claim_interface0 = a != 0;
        break;
      case TORVI_VCAM_FAULT_HELD:
        f.held_elsewhere = a != 0;
        break;
      default:
        check_arg(false, "unknown fault kind %d", kind);
    }
    cam->set_faults(f);
    torvi::vcam::VirtualBus::instance().notify();
    return 0;
  });
}

TORVI_API int torvi_vcam_fail_next(torvi_vcam_t *h, const char *message) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    torvi::vcam::DeviceFaults f = cam->faults();
    f.fail_next_command = true;
    f.fail_message = message ? std::string(message).substr(0, 60) : "failed";
    cam->set_faults(f);
    return 0;
  });
}

TORVI_API int torvi_vcam_plug(torvi_vcam_t *h) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    torvi::vcam::VirtualBus::instance().attach(cam);
    return 0;
  });
}

TORVI_API int torvi_vcam_unplug(torvi_vcam_t *h) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    torvi::vcam::VirtualBus::instance().detach(cam.get());
    return 0;
  });
}

TORVI_API int torvi_vcam_ground_truth(torvi_vcam_t *h, uint16_t *dst, uint32_t count) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    auto cam = known_camera(h);
    const std::vector<uint16_t> truth = cam->ground_truth();
    check_arg(dst != nullptr && count >= truth.size(), "need room for %zu pixels, have %u",
              truth.size(), count);
    std::memcpy(dst, truth.data(), truth.size() * sizeof(uint16_t));
    return static_cast<int>(truth.size());
  });
}

TORVI_API int torvi_vcam_enable(int on) {
  KX_LOG_NAME("torvi_vcam_enable");
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    torvi::usb::set_active_backend(on ? &torvi::vcam::usb_backend_virtual() : nullptr);
    KX_INF("virtual cameras %s\n", on ? "enabled" : "disabled");
    return 0;
  });
}

}  // extern "C"
