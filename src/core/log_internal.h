// Internal view of the logger, and the logging macros used throughout the
// library. Each message starts "[function] ".
#pragma once

#include <torvi/torvi_log.h>

#include <string>

namespace torvi {

unsigned log_threshold(unsigned sink);
bool log_file_open();
std::string log_file_path();

}  // namespace torvi

#define KX_TRC(fmt, ...) kx_log(KX_LOG_TRC, "TRC", "[%s] " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
#define KX_DBG(fmt, ...) kx_log(KX_LOG_DBG, "DBG", "[%s] " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
#define KX_INF(fmt, ...) kx_log(KX_LOG_INF, "INF", "[%s] " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
#define KX_WRN(fmt, ...) kx_log(KX_LOG_WRN, "WRN", "[%s] " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
#define KX_ERR(fmt, ...) kx_log(KX_LOG_ERR, "ERR", "[%s] " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
