// The virtual camera: a simulated camera in this process that the library
// sees on a virtual bus while at least one VirtualCamera lives.
#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"

namespace torvi_py {

namespace {

constexpr uint32_t kMaxGroundTruthPixels = 4096u * 4096u;
constexpr py::ssize_t kDefaultWidth = 320;

// Live virtual cameras; the virtual bus is on while there is one. Guarded by
// g_bus_mutex.
std::mutex g_bus_mutex;
int g_live = 0;
// The native cameras of the live VirtualCamera objects, for the clean-up at
// exit; guarded by g_bus_mutex.
std::vector<torvi_vcam_t *> g_cams;

struct FaultName {
  const char *name;
  int kind;
};
constexpr FaultName kFaults[] = {
    {"clear", TORVI_VCAM_FAULT_CLEAR},
    {"stall_bulk", TORVI_VCAM_FAULT_STALL_BULK},
    {"silent_after", TORVI_VCAM_FAULT_SILENT_AFTER},
    {"resume", TORVI_VCAM_FAULT_RESUME},
    {"unplug_after", TORVI_VCAM_FAULT_UNPLUG_AFTER},
    {"busy", TORVI_VCAM_FAULT_BUSY},
    {"no_answer", TORVI_VCAM_FAULT_NO_ANSWER},
    {"fail_claim0", TORVI_VCAM_FAULT_FAIL_CLAIM0},
    {"held", TORVI_VCAM_FAULT_HELD},
    {"flip_header", TORVI_VCAM_FAULT_FLIP_HEADER},
    {"flip_payload", TORVI_VCAM_FAULT_FLIP_PAYLOAD},
    {"drop_chunk", TORVI_VCAM_FAULT_DROP_CHUNK},
    {"dup_chunk", TORVI_VCAM_FAULT_DUP_CHUNK},
    {"skip_sidx", TORVI_VCAM_FAULT_SKIP_SIDX},
    {"skip_fridx", TORVI_VCAM_FAULT_SKIP_FRIDX},
    {"time_out", TORVI_VCAM_FAULT_TIME_OUT},
    {"stall_xfer", TORVI_VCAM_FAULT_STALL_XFER},
};

int fault_kind(py::handle kind) {
  if (py::isinstance<py::str>(kind)) {
    const auto name = kind.cast<std::string>();
    for (const auto &f : kFaults)
      if (name == f.name) return f.kind;
    throw py::value_error("unknown fault '" + name + "' (see torvi.FAULTS)");
  }
  return kind.cast<int>();
}

class VirtualCamera {
 public:
  VirtualCamera(uint64_t seed, std::optional<std::string> product, bool plugged) {
    ensure_library();
    clear_last_message();
    cam_ = torvi_vcam_create(product ? product->c_str() : nullptr, seed);
    if (cam_ == nullptr) fail("cannot create the virtual camera");
    {
      const std::lock_guard lock(g_bus_mutex);
      if (g_live++ == 0) torvi_vcam_enable(1);
      g_cams.push_back(cam_);
    }
    if (plugged) plug();
  }
  VirtualCamera(const VirtualCamera &) = delete;
  VirtualCamera &operator=(const VirtualCamera &) = delete;
  ~VirtualCamera() { close(); }

  // Unplugs and frees the camera; the bus goes back to real USB after the last.
  void close() {
    if (cam_ == nullptr) return;
    torvi_vcam_t *cam = std::exchange(cam_, nullptr);
    bool mine = false;
    {
      const std::lock_guard lock(g_bus_mutex);
      const auto it = std::find(g_cams.begin(), g_cams.end(), cam);
      if (it != g_cams.end()) {  // not yet freed by the clean-up at exit
        g_cams.erase(it);
        mine = true;
        if (--g_live == 0) torvi_vcam_enable(0);
      }
    }
    if (mine) {
      py::gil_scoped_release unlocked;
      torvi_vcam_destroy(cam);
    }
  }
  bool closed() const { return cam_ == nullptr; }

  // Runs a vcam call that returns 0 or -1 with an ERR line.
  template <typename Fn>
  void call(const char *what, Fn fn) {
    if (cam_ == nullptr) throw Error(ErrorKind::kClosed, "the virtual camera is closed");
    int r = 0;
    {
      py::gil_scoped_release unlocked;
      clear_last_message();
      r = fn(cam_);
    }
    if (r != 0) fail(std::string("virtual camera: ") + what + " failed");
  }

  void plug() {
    call("plug", [](torvi_vcam_t *c) { return torvi_vcam_plug(c); });
  }
  void unplug() {
    call("unplug", [](torvi_vcam_t *c) { return torvi_vcam_unplug(c); });
  }

  py::array_t<uint16_t> ground_truth() {
    if (cam_ == nullptr) throw Error(ErrorKind::kClosed, "the virtual camera is closed");
    std::vector<uint16_t> buf(kMaxGroundTruthPixels);
    int n = 0;
    {
      py::gil_scoped_release unlocked;
      clear_last_message();
      n = torvi_vcam_ground_truth(cam_, buf.data(), kMaxGroundTruthPixels);
    }
    if (n <= 0) fail("virtual camera: ground truth failed");
    const py::ssize_t w = n % kDefaultWidth == 0 ? kDefaultWidth : n;
    const py::ssize_t h = n / w;
    py::array_t<uint16_t> out({h, w});
    std::copy_n(buf.data(), n, out.mutable_data());
    return out;
  }

 private:
  torvi_vcam_t *cam_ = nullptr;
};

}  // namespace

void close_all_virtual_cameras() {
  std::vector<torvi_vcam_t *> cams;
  {
    const std::lock_guard lock(g_bus_mutex);
    cams.swap(g_cams);
    if (g_live > 0) torvi_vcam_enable(0);
    g_live = 0;
  }
  for (torvi_vcam_t *c : cams) torvi_vcam_destroy(c);
}

void bind_vcam(py::module_ &m) {
  py::list names;
  for (const auto &f : kFaults) names.append(f.name);
  m.attr("FAULTS") = py::tuple(names);

  using VC = VirtualCamera;
  py::class_<VC>(m, "VirtualCamera",
                 "A simulated camera in this process. While one lives, the library sees the "
                 "virtual bus instead of real USB. Plugged in at creation unless "
                 "plugged=False. Units: millimetres; the camera looks along +z, x right, y down.")
      .def(py::init<uint64_t, std::optional<std::string>, bool>(), py::arg("seed") = 1,
           py::arg("product") = py::none(), py::arg("plugged") = true,
           "seed fixes noise and pixel pattern; product is the product string "
           "('<name>-<chip>-<firmware>', default the library's EPC camera).")
      .def("close", &VC::close, "Unplugs and frees the camera. Idempotent.")
      .def_property_readonly("closed", &VC::closed)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](VC &v, py::args) {
             v.close();
             return false;
           })
      .def("plug", &VC::plug, "Plugs the camera into the virtual bus.")
      .def("unplug", &VC::unplug, "Pulls the camera out (pending transfers end with an error).")
      .def(
          "set_wall",
          [](VC &v, double mm, double reflectivity) {
            v.call("set_wall",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_wall(c, mm, reflectivity); });
          },
          py::arg("mm"), py::arg("reflectivity") = 0.6, "A flat wall at z = mm.")
      .def(
          "add_sphere",
          [](VC &v, double x, double y, double z, double radius, double reflectivity) {
            v.call("add_sphere", [&](torvi_vcam_t *c) {
              return torvi_vcam_add_sphere(c, x, y, z, radius, reflectivity);
            });
          },
          py::arg("x"), py::arg("y"), py::arg("z"), py::arg("radius"),
          py::arg("reflectivity") = 0.6, "A sphere in front of the wall (mm).")
      .def(
          "add_box",
          [](VC &v, double x0, double y0, double z0, double x1, double y1, double z1,
             double reflectivity) {
            v.call("add_box", [&](torvi_vcam_t *c) {
              return torvi_vcam_add_box(c, x0, y0, z0, x1, y1, z1, reflectivity);
            });
          },
          py::arg("x0"), py::arg("y0"), py::arg("z0"), py::arg("x1"), py::arg("y1"), py::arg("z1"),
          py::arg("reflectivity") = 0.6, "An axis-aligned box between two corners (mm).")
      .def(
          "clear_shapes",
          [](VC &v) {
            v.call("clear_shapes", [](torvi_vcam_t *c) { return torvi_vcam_clear_shapes(c); });
          },
          "Removes every sphere and box.")
      .def(
          "set_noise",
          [](VC &v, double noise_lsb, double pattern_mm) {
            v.call("set_noise",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_noise(c, noise_lsb, pattern_mm); });
          },
          py::arg("noise_lsb"), py::arg("pattern_mm") = 6.0,
          "Sample noise (standard deviation, sample units) and the peak of the fixed per-pixel "
          "distance pattern (mm).")
      .def(
          "set_drift",
          [](VC &v, double sensor, double board) {
            v.call("set_drift",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_drift(c, sensor, board); });
          },
          py::arg("sensor_per_frame"), py::arg("board_per_frame") = 0.0,
          "Temperature rise per frame (tenths of a degree C) of sensor and board.")
      .def(
          "set_frame_rate",
          [](VC &v, unsigned fps) {
            v.call("set_frame_rate",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_frame_rate(c, fps); });
          },
          py::arg("fps"), "Frames per second, 1..120.")
      .def(
          "set_paced",
          [](VC &v, bool paced) {
            v.call("set_paced",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_paced(c, paced ? 1 : 0); });
          },
          py::arg("paced"), "False: frames as fast as the host reads them (benchmarks).")
      .def(
          "set_seed",
          [](VC &v, uint64_t seed) {
            v.call("set_seed", [&](torvi_vcam_t *c) { return torvi_vcam_set_seed(c, seed); });
          },
          py::arg("seed"))
      .def(
          "set_product",
          [](VC &v, const std::string &product) {
            v.call("set_product",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_product(c, product.c_str()); });
          },
          py::arg("product"))
      .def(
          "set_serial",
          [](VC &v, const std::string &serial) {
            v.call("set_serial",
                   [&](torvi_vcam_t *c) { return torvi_vcam_set_serial(c, serial.c_str()); });
          },
          py::arg("serial"), "The serial number the camera reports (at most 18 characters).")
      .def(
          "set_location",
          [](VC &v, uint8_t bus, uint8_t port, uint8_t address, int speed,
             uint8_t address_after_reset) {
            v.call("set_location", [&](torvi_vcam_t *c) {
              return torvi_vcam_set_location(c, bus, port, address, speed, address_after_reset);
            });
          },
          py::arg("bus"), py::arg("port"), py::arg("address"), py::arg("speed") = 3,
          py::arg("address_after_reset") = 0, "Where the camera sits; before plugging it in.")
      .def(
          "set_upload_block",
          [](VC &v, py::bytes data) {
            const std::string b = data;
            v.call("set_upload_block", [&](torvi_vcam_t *c) {
              return torvi_vcam_set_upload_block(c, b.data(), static_cast<uint32_t>(b.size()));
            });
          },
          py::arg("data"), "The block the data-upload mode sends (calibration package).")
      .def(
          "fault",
          [](VC &v, py::handle kind, uint32_t a, uint32_t b, uint32_t c) {
            const int k = fault_kind(kind);
            v.call("fault", [&](torvi_vcam_t *cam) { return torvi_vcam_fault(cam, k, a, b, c); });
          },
          py::arg("kind"), py::arg("a") = 0, py::arg("b") = 0, py::arg("c") = 0,
          "Injects a fault by name (see torvi.FAULTS) or number, with its arguments.")
      .def(
          "fail_next",
          [](VC &v, const std::string &message) {
            v.call("fail_next",
                   [&](torvi_vcam_t *c) { return torvi_vcam_fail_next(c, message.c_str()); });
          },
          py::arg("message"), "The next command fails with this message (at most 60 bytes).")
      .def("ground_truth", &VC::ground_truth,
           "True radial distance of every pixel: uint16 (height, width) in millimetres.");
}

}  // namespace torvi_py
