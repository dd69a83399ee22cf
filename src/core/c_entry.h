// The guard every exported C call runs its body in: argument checks first,
// then the C++ work; nothing thrown ever crosses the C boundary.
//
//   TORVI_API int torvi_thing(torvi_dev_t *dev, int n) {
//     return torvi::c_entry(__func__, -1, [&] {
//       torvi::check_arg(dev != nullptr, "dev is NULL");
//       torvi::check_arg(n > 0, "n=%d", n);
//       return do_thing(*dev, n);
//     });
//   }
//
// A failed check logs "[torvi_thing] bad argument: n=0" and the call returns
// its failure result; any other exception logs "[torvi_thing] <what>" (or
// "out of memory") and returns the same failure result.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/log_internal.h"

namespace torvi {

// Thrown by check_arg; carries the formatted reason.
class BadArgument : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Throws BadArgument with the printf-formatted reason unless `ok`.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void
check_arg(bool ok, const char *fmt, ...) {
  if (ok) return;
  char why[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(why, sizeof why, fmt, ap);
  va_end(ap);
  throw BadArgument(why);
}

// Runs `body` (which returns the call's result) for the exported call `fn`;
// an exception becomes `failure` with one ERR line.
template <typename R, typename Body>
R c_entry(const char *fn, R failure, Body &&body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const BadArgument &e) {
    KX_LOG_AT(KX_LOG_ERR, fn, "bad argument: %s\n", e.what());
  } catch (const std::bad_alloc &) {
    KX_LOG_AT(KX_LOG_ERR, fn, "out of memory\n");
  } catch (const std::exception &e) {
    KX_LOG_AT(KX_LOG_ERR, fn, "%s\n", e.what());
  } catch (...) {
    KX_LOG_AT(KX_LOG_ERR, fn, "unexpected failure\n");
  }
  return failure;
}

// For calls without a result.
template <typename Body>
void c_entry_void(const char *fn, Body &&body) noexcept {
  c_entry(fn, 0, [&] {
    std::forward<Body>(body)();
    return 0;
  });
}

}  // namespace torvi
