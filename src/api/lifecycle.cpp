// Library start and end, the path prefix and the capture error names.
#include <sys/stat.h>
#include <sys/types.h>
#include <torvi/kx_cmap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_ll.h>
#include <torvi/torvi_version.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "core/c_entry.h"
#include "core/clock.h"
#include "core/log_internal.h"

namespace {

char g_path_prefix[256] = "./";
constexpr int kDefaultCmapEntries = 30000;

bool dir_exists(const char *path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `path` unless it exists: 0, or mkdir's result.
int make_dir(const char *path) {
  if (path[0] == '\0' || dir_exists(path)) return 0;
  return ::mkdir(path, 0755);
}

bool is_sep(char c) { return c == '/' || c == '\\'; }

constexpr const char *kUnknownError = "**UNKNOWN**";

int init_library(const char *log_file) {
  KX_LOG_NAME("torvi_init");
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  std::memset(g_path_prefix, 0, sizeof g_path_prefix);
  std::strcpy(g_path_prefix, "./");
  char name[64];
  if (log_file == nullptr) {
    const torvi::LocalTime t = torvi::local_time_now();
    std::snprintf(name, sizeof name, "torvi_%04u%02u%02u.log", t.year, t.month, t.day);
    log_file = name;
  }
  kx_log_enable(1, KX_LOG_DBG, log_file);
  KX_INF(" --- %s %s(compile at %s %s) log start -----\n", "TORVI", TORVI_VERSION_STRING, __DATE__,
         __TIME__);
  torvi_ll_init();
  kx_cmap_uninit(&g_torvi_cmap);
  return kx_cmap_init(&g_torvi_cmap, kDefaultCmapEntries) != nullptr ? 1 : 0;
}

int set_path_prefix(const char *path) {
  KX_LOG_NAME("torvi_path_cfg");
  std::snprintf(g_path_prefix, sizeof g_path_prefix, "%s", path);
  KX_DBG("PATH_PREIFX: %s\n", g_path_prefix);
  char work[256];
  std::snprintf(work, sizeof work, "%s", g_path_prefix);
  size_t n = std::strlen(work);
  if (n > 0 && is_sep(work[n - 1])) work[--n] = '\0';
  for (size_t i = 1; i < n; ++i) {
    if (!is_sep(work[i])) continue;
    const char sep = work[i];
    work[i] = '\0';
    make_dir(work);
    work[i] = sep == '\\' ? '/' : sep;
  }
  return make_dir(work);
}

const char *error_name(int err) {
  static constexpr const char *kUnknown = kUnknownError;
  static constexpr std::array<const char *, 14> kNames = {"TORVI_ERR_CAP_UNKNOWN",
                                                          kUnknown,
                                                          "TORVI_ERR_CAP_ERROR",
                                                          "TORVI_ERR_CAP_STALL",
                                                          kUnknown,
                                                          "TORVI_ERR_CAP_TIMEOUT",
                                                          kUnknown,
                                                          kUnknown,
                                                          kUnknown,
                                                          kUnknown,
                                                          "OK",
                                                          kUnknown,
                                                          kUnknown,
                                                          "TORVI_ERR_CAP_FRAME_DISCARD"};
  if (err < -10 || err > 3) return kUnknown;
  return kNames[static_cast<size_t>(err + 10)];
}

}  // namespace

extern "C" {

TORVI_API int torvi_init(const char *log_file) {
  return torvi::c_entry(__func__, 0, [&] { return init_library(log_file); });
}

TORVI_API void torvi_uninit(void) {
  torvi::c_entry_void(__func__, [] {
    KX_LOG_NAME("torvi_uninit");
    KX_DBG("----- AL log END ----\n\n");
    kx_cmap_uninit(&g_torvi_cmap);
    kx_log_disable();
    torvi_ll_uninit();
  });
}

TORVI_API int torvi_path_cfg(const char *path) {
  return torvi::c_entry(__func__, -1, [&] {
    torvi::check_arg(path != nullptr, "path is NULL");
    return set_path_prefix(path);
  });
}

TORVI_API const char *torvi_path_get(void) {
  return torvi::c_entry(__func__, static_cast<const char *>(g_path_prefix),
                        [] { return static_cast<const char *>(g_path_prefix); });
}

// Console and file thresholds belong to the logger; the USB level to the
// transport, so the call that sets all three lives above both.
TORVI_API int torvi_log_cfg(int console_level, int file_level, int usb_level) {
  return torvi::c_entry(__func__, 0, [&] {
    kx_log_enable(0, console_level, nullptr);
    kx_log_enable(1, file_level, nullptr);
    return static_cast<int>(torvi_ll_set_debug(static_cast<unsigned>(usb_level)));
  });
}

TORVI_API const char *torvi_error_name(int err) {
  return torvi::c_entry(__func__, kUnknownError, [&] { return error_name(err); });
}

}  // extern "C"
