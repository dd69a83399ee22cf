// The extension module torvi._torvi: library start, errors, and the parts
// bound in the other files.
#include <torvi/torvi_version.h>

#include <mutex>
#include <string>

#include "binding.h"

namespace torvi_py {

namespace {

// This thread's last library messages since clear_last_message(). Written by
// the log callback, which runs on the thread that logs.
struct LastMessages {
  std::string error;
  std::string warning;
};
thread_local LastMessages t_last;

void on_library_log(void * /*user*/, unsigned level, const char *line) {
  std::string text = line != nullptr ? line : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (level >= KX_LOG_ERR) {
    t_last.error = std::move(text);
  } else if (level == KX_LOG_WRN) {
    t_last.warning = std::move(text);
  }
}

// Settings of the library's start; guarded by g_start_mutex.
std::mutex g_start_mutex;
bool g_started = false;
std::string g_log_file;
std::string g_path_prefix;
int g_console_level = KX_LOG_OFF;

void start_locked() {
  torvi_init(g_log_file.empty() ? nullptr : g_log_file.c_str());
  kx_log_enable(0, g_console_level, nullptr);
  kx_log_set_callback(&on_library_log, nullptr);
  kx_log_enable(2, KX_LOG_WRN, nullptr);
  if (!g_path_prefix.empty()) torvi_path_cfg(g_path_prefix.c_str());
  g_started = true;
}

// Python exception classes, created at import.
struct ErrorClasses {
  py::object base, no_camera, capture, timeout, closed, unsupported;
};
ErrorClasses *g_errors = nullptr;

py::object make_error_class(const char *name, const char *doc, py::tuple bases) {
  py::dict ns;
  ns["__doc__"] = doc;
  ns["__module__"] = "torvi";
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(name, bases,
                                                                                        ns);
}

const py::object &class_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNoCamera:
      return g_errors->no_camera;
    case ErrorKind::kCapture:
      return g_errors->capture;
    case ErrorKind::kTimeout:
      return g_errors->timeout;
    case ErrorKind::kClosed:
      return g_errors->closed;
    case ErrorKind::kUnsupported:
      return g_errors->unsupported;
    case ErrorKind::kGeneric:
      break;
  }
  return g_errors->base;
}

void define_errors(py::module_ &m) {
  g_errors = new ErrorClasses;  // lives as long as the process (classes are module globals)
  const py::object runtime = py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
  g_errors->base = make_error_class(
      "Error", "A call of the camera library failed; the message ends with the library's own.",
      py::make_tuple(runtime));
  g_errors->no_camera = make_error_class(
      "NoCameraError", "No camera matches (none attached, index out of range, unknown serial).",
      py::make_tuple(g_errors->base, py::reinterpret_borrow<py::object>(PyExc_LookupError)));
  g_errors->capture = make_error_class(
      "CaptureError",
      "The capture stopped on an error; `code` is the library's capture error code.",
      py::make_tuple(g_errors->base));
  g_errors->timeout = make_error_class(
      "TimeoutError", "No frame came before the deadline.",
      py::make_tuple(g_errors->base, py::reinterpret_borrow<py::object>(PyExc_TimeoutError)));
  g_errors->closed = make_error_class(
      "ClosedError", "The camera (or virtual camera) is closed.",
      py::make_tuple(g_errors->base, py::reinterpret_borrow<py::object>(PyExc_ValueError)));
  g_errors->unsupported = make_error_class(
      "NotSupportedError", "The library or the camera's driver does not offer this.",
      py::make_tuple(g_errors->base,
                     py::reinterpret_borrow<py::object>(PyExc_NotImplementedError)));
  m.attr("Error") = g_errors->base;
  m.attr("NoCameraError") = g_errors->no_camera;
  m.attr("CaptureError") = g_errors->capture;
  m.attr("TimeoutError") = g_errors->timeout;
  m.attr("ClosedError") = g_errors->closed;
  m.attr("NotSupportedError") = g_errors->unsupported;

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error &e) {
      const py::object &cls = class_of(e.kind());
      py::object inst = cls(e.what());
      inst.attr("code") = e.code();
      PyErr_SetObject(cls.ptr(), inst.ptr());
    }
  });
}

}  // namespace

void clear_last_message() { t_last = LastMessages{}; }

std::string last_message() { return !t_last.error.empty() ? t_last.error : t_last.warning; }

void fail(const std::string &what, ErrorKind kind, int code) {
  const std::string lib = last_message();
  throw Error(kind, lib.empty() ? what : what + ": " + lib, code);
}

void ensure_library() {
  const std::lock_guard lock(g_start_mutex);
  if (!g_started) start_locked();
}

}  // namespace torvi_py

PYBIND11_MODULE(_torvi, m) {
  using namespace torvi_py;
  m.doc() = "The compiled core of the torvi package (USB time-of-flight depth cameras).";
  define_errors(m);

  m.def(
      "_start",
      [](const std::string &log_file, const std::string &path_prefix, int console_level) {
        const std::lock_guard lock(g_start_mutex);
        if (g_started) return false;
        g_log_file = log_file;
        g_path_prefix = path_prefix;
        g_console_level = console_level;
        start_locked();
        return true;
      },
      py::arg("log_file"), py::arg("path_prefix"), py::arg("console_level") = int{KX_LOG_OFF},
      "Starts the library once (log file, calibration folder, console log level 0..5). False when "
      "it was already started.");
  m.def(
      "set_console_log_level",
      [](int level) {
        if (level < KX_LOG_TRC || level > KX_LOG_OFF) throw py::value_error("level must be 0..5");
        ensure_library();
        kx_log_enable(0, level, nullptr);
      },
      py::arg("level"),
      "Library lines printed on standard output from this level on: 0 trace, 1 debug, 2 info, "
      "3 warning, 4 error, 5 none (the default).");
  m.def(
      "error_name", [](int code) { return std::string(torvi_error_name(code)); }, py::arg("code"),
      "Name of a capture error code, e.g. error_name(-7) == 'TORVI_ERR_CAP_STALL'.");
  m.def(
      "version", [] { return std::string(TORVI_VERSION_STRING); },
      "Version of the camera library the module was built with.");

  m.def(
      "_close_all",
      [] {
        py::gil_scoped_release unlocked;
        close_all_cameras();
        close_all_virtual_cameras();
      },
      "Closes every open camera, then every virtual camera (run at exit).");

  bind_camera(m);
  bind_vcam(m);
  bind_files(m);
}
