// Frame files: distance and gray images written to and read from an open
// file descriptor (the Python side opens the file).
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"

namespace torvi_py {

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The loaders remember the last header per kind, process-wide: one load at a
// time.
std::mutex g_load_mutex;

int format_code(const std::string &name) {
  if (name == "f32") return TORVI_FRAME_FILE_F32;
  if (name == "u32") return TORVI_FRAME_FILE_U32;
  if (name == "u16") return TORVI_FRAME_FILE_U16;
  if (name == "u8") return TORVI_FRAME_FILE_U8;
  throw py::value_error("format: 'f32', 'u32', 'u16' or 'u8'");
}

// (frames, height, width) of an image array of 2 or 3 dimensions.
void image_shape(const FloatArray &a, int &w, int &h) {
  if (a.ndim() != 2 && a.ndim() != 3)
    throw py::value_error("an image array of shape (height, width) or (frames, height, width)");
  h = static_cast<int>(a.shape(a.ndim() - 2));
  w = static_cast<int>(a.shape(a.ndim() - 1));
  if (w <= 0 || h <= 0) throw py::value_error("empty image");
}

void save(int fd, const FloatArray &a, const std::string &fmt, bool gray) {
  int w = 0, h = 0;
  image_shape(a, w, h);
  const int code = format_code(fmt);
  const auto n = static_cast<int>(a.size());
  bool ok = false;
  {
    py::gil_scoped_release unlocked;
    clear_last_message();
    ok = gray ? torvi_frame_save_gray(fd, code, a.data(), n, w, h)
              : torvi_frame_save_distance(fd, code, a.data(), n, w, h);
  }
  if (!ok) fail(gray ? "saving the gray frame failed" : "saving the distance frames failed");
}

// The next frame of the file, or None at its end.
py::object load(int fd, bool gray) {
  // Room for the largest frame a file may hold; pages the loader does not
  // write are never touched.
  const std::unique_ptr<float[]> buf(new float[TORVI_FRAME_FILE_MAX_PIXELS]);
  int w = 0, h = 0, n = 0;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard lock(g_load_mutex);
    clear_last_message();
    n = gray ? torvi_frame_load_gray(fd, buf.get(), TORVI_FRAME_FILE_MAX_PIXELS, &w, &h)
             : torvi_frame_load_distance(fd, buf.get(), TORVI_FRAME_FILE_MAX_PIXELS, &w, &h);
  }
  if (n <= 0) return py::none();
  if (n != w * h) fail("the frame file holds a frame of unexpected size");
  py::array_t<float> out({h, w});
  std::copy_n(buf.get(), n, out.mutable_data());
  return out;
}

}  // namespace

void bind_files(py::module_ &m) {
  m.def(
      "_save_distance",
      [](int fd, const FloatArray &a, const std::string &fmt) { save(fd, a, fmt, false); },
      py::arg("fd"), py::arg("distance"), py::arg("format"));
  m.def(
      "_save_gray",
      [](int fd, const FloatArray &a, const std::string &fmt) { save(fd, a, fmt, true); },
      py::arg("fd"), py::arg("gray"), py::arg("format"));
  m.def(
      "_load_distance", [](int fd) { return load(fd, false); }, py::arg("fd"));
  m.def(
      "_load_gray", [](int fd) { return load(fd, true); }, py::arg("fd"));
}

}  // namespace torvi_py
