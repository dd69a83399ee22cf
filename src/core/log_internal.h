// Internal view of the logger, and the one family of logging macros used
// throughout the library. Every message starts "[function] ", the level's
// tag ("TRC" ... "ERR") follows from the level.
//
//   KX_ERR("bad size %d\n", n);          // "[<enclosing function>] bad size 3"
//   KX_LOG_NAME("torvi_dev_close");       // once at the top of a function whose
//                                         // lines must carry a fixed name (for
//                                         // lambdas and helpers of a C call)
//   KX_LOG_AT(KX_LOG_WRN, name, "...\n"); // a helper that logs for its caller
#pragma once

#include <torvi/torvi_log.h>

#include <string>

namespace torvi {

unsigned log_threshold(unsigned sink);
bool log_file_open();
std::string log_file_path();

// "TRC", "DBG", "INF", "WRN" or "ERR" for levels 0 to 4.
constexpr const char *log_tag(unsigned level) {
  constexpr const char *kTags[] = {"TRC", "DBG", "INF", "WRN", "ERR"};
  return level < 5 ? kTags[level] : "";
}

}  // namespace torvi

// The name a log line carries: the enclosing function's, unless the function
// fixed another with KX_LOG_NAME (a local of the same name hides this one).
inline const char *kx_log_name(const char *func) { return func; }

#define KX_LOG_NAME(name) \
  static constexpr auto kx_log_name = [](const char *) constexpr { return name; }

#define KX_LOG_AT(level, name, fmt, ...) \
  kx_log((level), ::torvi::log_tag(level), "[%s] " fmt, (name)__VA_OPT__(, ) __VA_ARGS__)

#define KX_TRC(fmt, ...) KX_LOG_AT(KX_LOG_TRC, kx_log_name(__func__), fmt, __VA_ARGS__)
#define KX_DBG(fmt, ...) KX_LOG_AT(KX_LOG_DBG, kx_log_name(__func__), fmt, __VA_ARGS__)
#define KX_INF(fmt, ...) KX_LOG_AT(KX_LOG_INF, kx_log_name(__func__), fmt, __VA_ARGS__)
#define KX_WRN(fmt, ...) KX_LOG_AT(KX_LOG_WRN, kx_log_name(__func__), fmt, __VA_ARGS__)
#define KX_ERR(fmt, ...) KX_LOG_AT(KX_LOG_ERR, kx_log_name(__func__), fmt, __VA_ARGS__)
