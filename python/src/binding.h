// Shared pieces of the Python extension: errors carrying the library's own
// message, and the library's start.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <torvi/torvi.h>

#include <stdexcept>
#include <string>

namespace torvi_py {

namespace py = pybind11;

// The kinds of failure, each a Python exception class (see module.cpp).
enum class ErrorKind { kGeneric, kNoCamera, kCapture, kTimeout, kClosed, kUnsupported };

// A failed call of the library. `message` ends with the library's last ERR
// line of the failing thread when there was one.
class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string &message, int code = 0)
      : std::runtime_error(message), kind_(kind), code_(code) {}
  ErrorKind kind() const { return kind_; }
  int code() const { return code_; }

 private:
  ErrorKind kind_;
  int code_;
};

// Forgets this thread's last library message; call before a library call
// whose failure is reported with fail().
void clear_last_message();
// This thread's last ERR (else WRN) line of the library since
// clear_last_message(), without the line end; empty when none.
std::string last_message();
// Throws Error: `what` and, after ": ", the library's last message.
[[noreturn]] void fail(const std::string &what, ErrorKind kind = ErrorKind::kGeneric, int code = 0);

// Starts the library once per process (log file, path prefix, callback
// sink). Every entry point that needs the library calls it.
void ensure_library();

// Closes every camera still open, then every virtual camera (at exit).
// Without the GIL.
void close_all_cameras();
void close_all_virtual_cameras();

void bind_camera(py::module_ &m);
void bind_vcam(py::module_ &m);
void bind_files(py::module_ &m);

}  // namespace torvi_py
