// Process-wide logger: console and one log file, each with its own threshold.
#include "core/log_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "torvi_ll.h"
#include "torvi_log.h"

namespace {

// Thresholds by sink: 0 console, 1 file, 2 spare slot read by no output.
// Plain process globals, changed without synchronisation with running log
// calls, as the configuration calls are documented to be.
unsigned g_threshold[3] = {3, 1, 5};
FILE *g_file = nullptr;
std::string g_path;

constexpr const char *kDefaultLogFile = "kx.log";

void format_prefix(char (&out)[48]) {
  const torvi::LocalTime t = torvi::local_time_now();
  std::snprintf(out, sizeof out, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond, torvi::os_thread_id());
}

__attribute__((format(printf, 4, 0))) void emit(unsigned level, const char *prefix, const char *tag,
                                               const char *fmt, va_list ap) {
  if (level >= g_threshold[0]) {
    if (prefix != nullptr) std::printf("%s[%s] ", prefix, tag != nullptr ? tag : "");
    va_list copy;
    va_copy(copy, ap);
    std::vprintf(fmt, copy);
    va_end(copy);
  }
  FILE *f = g_file;
  if (level >= g_threshold[1] && f != nullptr) {
    if (prefix != nullptr) std::fprintf(f, "%s[%s] ", prefix, tag != nullptr ? tag : "");
    va_list copy;
    va_copy(copy, ap);
    std::vfprintf(f, fmt, copy);
    va_end(copy);
    std::fflush(f);
  }
}

bool wanted(unsigned level) {
  return level >= g_threshold[0] || (level >= g_threshold[1] && g_file != nullptr);
}

int open_log_file(const char *path) {
  FILE *f = std::fopen(path, "ab");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open file %s for write\n", path);
    g_path.clear();
    return 0;
  }
  g_file = f;
  g_path = path;
  return 1;
}

void close_log_file() {
  if (g_file != nullptr) std::fclose(g_file);
  g_file = nullptr;
}

}  // namespace

extern "C" {

TORVI_API void kx_log(unsigned level, const char *tag, const char *fmt, ...) {
  if (fmt == nullptr || !wanted(level)) return;
  char prefix[48];
  format_prefix(prefix);
  va_list ap;
  va_start(ap, fmt);
  emit(level, prefix, tag, fmt, ap);
  va_end(ap);
}

TORVI_API void kx_log_raw(unsigned level, const char *fmt, ...) {
  if (fmt == nullptr || !wanted(level)) return;
  va_list ap;
  va_start(ap, fmt);
  emit(level, nullptr, nullptr, fmt, ap);
  va_end(ap);
}

TORVI_API int kx_log_enable(unsigned sink, int level, const char *path) {
  if (sink > 2) return 0;
  g_threshold[sink] = static_cast<unsigned>(level);
  if (sink != 1) return 1;

  if (path == nullptr) {
    if (g_file != nullptr) return 1;
    path = kDefaultLogFile;
  } else if (g_path == path) {
    if (g_file != nullptr) return 1;
  }
  close_log_file();
  return open_log_file(path);
}

TORVI_API int kx_log_disable(void) {
  for (unsigned &t : g_threshold) t = KX_LOG_OFF;
  g_path.clear();
  if (g_file == nullptr) return 0;
  const int rc = std::fclose(g_file);
  g_file = nullptr;
  return rc;
}

TORVI_API int torvi_log_cfg(int console_level, int file_level, int usb_level) {
  kx_log_enable(0, console_level, nullptr);
  kx_log_enable(1, file_level, nullptr);
  return static_cast<int>(torvi_ll_set_debug(static_cast<unsigned>(usb_level)));
}

}  // extern "C"

namespace torvi {

unsigned log_threshold(unsigned sink) { return sink < 3 ? g_threshold[sink] : unsigned{KX_LOG_OFF}; }

bool log_file_open() { return g_file != nullptr; }

std::string log_file_path() { return g_file != nullptr ? g_path : std::string(); }

}  // namespace torvi
