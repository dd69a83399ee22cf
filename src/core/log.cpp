// Process-wide logger: console and one log file, each with its own threshold.
#include <torvi/torvi_log.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/log_internal.h"

namespace {

// Thresholds by sink: 0 console, 1 file, 2 the application's callback.
// Atomic, so the event thread may log while the application reconfigures.
std::atomic<unsigned> g_threshold[3] = {3, 1, 5};

// The log file and the path it was opened with. Guarded by g_file_mutex, so
// a file closed by kx_log_disable is never written by another thread's
// running kx_log. g_file_open mirrors g_file for the lock-free level check.
std::mutex g_file_mutex;
FILE *g_file = nullptr;
std::string g_path;
std::atomic<bool> g_file_open{false};

constexpr const char *kDefaultLogFile = "kx.log";

// The callback sink. g_cb_mutex guards g_cb and g_cb_user and is held while
// the callback runs, so that a replaced callback is never running after
// kx_log_set_callback returns. g_cb_set mirrors g_cb for the lock-free check.
constexpr size_t kCallbackLineBytes = 1024;
std::mutex g_cb_mutex;
kx_log_cb_t g_cb = nullptr;
void *g_cb_user = nullptr;
std::atomic<bool> g_cb_set{false};

bool callback_wants(unsigned level) {
  return level >= g_threshold[2] && g_cb_set.load(std::memory_order_relaxed);
}

__attribute__((format(printf, 2, 0))) void emit_callback(unsigned level, const char *fmt,
                                                         va_list ap) {
  char line[kCallbackLineBytes];
  va_list copy;
  va_copy(copy, ap);
  std::vsnprintf(line, sizeof line, fmt, copy);
  va_end(copy);
  const std::lock_guard<std::mutex> lock(g_cb_mutex);
  if (g_cb != nullptr) g_cb(g_cb_user, level, line);
}

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
  if (callback_wants(level)) emit_callback(level, fmt, ap);
  if (level < g_threshold[1] || !g_file_open.load(std::memory_order_relaxed)) return;
  const std::lock_guard<std::mutex> lock(g_file_mutex);
  if (FILE *f = g_file; f != nullptr) {
    if (prefix != nullptr) std::fprintf(f, "%s[%s] ", prefix, tag != nullptr ? tag : "");
    va_list copy;
    va_copy(copy, ap);
    std::vfprintf(f, fmt, copy);
    va_end(copy);
    std::fflush(f);
  }
}

bool wanted(unsigned level) {
  return level >= g_threshold[0] ||
         (level >= g_threshold[1] && g_file_open.load(std::memory_order_relaxed)) ||
         callback_wants(level);
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
  g_file_open.store(true);
  return 1;
}

// Returns the fclose result, 0 when no file was open. Caller holds g_file_mutex.
int close_log_file() {
  g_file_open.store(false);
  const int rc = g_file != nullptr ? std::fclose(g_file) : 0;
  g_file = nullptr;
  return rc;
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

  const std::lock_guard<std::mutex> lock(g_file_mutex);
  if (path == nullptr) {
    if (g_file != nullptr) return 1;
    path = kDefaultLogFile;
  } else if (g_path == path) {
    if (g_file != nullptr) return 1;
  }
  close_log_file();
  return open_log_file(path);
}

TORVI_API void kx_log_set_callback(kx_log_cb_t cb, void *user) {
  const std::lock_guard<std::mutex> lock(g_cb_mutex);
  g_cb = cb;
  g_cb_user = user;
  g_cb_set.store(cb != nullptr);
}

TORVI_API int kx_log_disable(void) {
  for (auto &t : g_threshold) t = KX_LOG_OFF;
  const std::lock_guard<std::mutex> lock(g_file_mutex);
  g_path.clear();
  return close_log_file();
}

}  // extern "C"

namespace torvi {

unsigned log_threshold(unsigned sink) {
  return sink < 3 ? g_threshold[sink].load() : unsigned{KX_LOG_OFF};
}

bool log_file_open() { return g_file_open.load(); }

std::string log_file_path() {
  const std::lock_guard<std::mutex> lock(g_file_mutex);
  return g_file != nullptr ? g_path : std::string();
}

}  // namespace torvi
