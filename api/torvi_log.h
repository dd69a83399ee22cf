/* Process-wide logging: a console sink and one log file, each with a level
 * threshold. Levels: 0 TRC, 1 DBG, 2 INF, 3 WRN, 4 ERR; 5 silences a sink.
 *
 * Thread safety: kx_log and kx_log_raw may be called from any thread.
 * kx_log_enable, kx_log_disable and torvi_log_cfg change process globals;
 * call them from one thread while no other thread configures logging. */
#ifndef TORVI_LOG_H
#define TORVI_LOG_H

#include "torvi_export.h"

TORVI_BEGIN_DECLS

enum { KX_LOG_TRC = 0, KX_LOG_DBG = 1, KX_LOG_INF = 2, KX_LOG_WRN = 3, KX_LOG_ERR = 4, KX_LOG_OFF = 5 };

/* Writes "YYYY/MM/DD hh:mm:ss.mmm[tid][TAG] " and the formatted message to
 * every sink whose threshold is at most `level`. The message carries its own
 * line end. */
TORVI_API void kx_log(unsigned level, const char *tag, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* As kx_log, without the prefix and tag. */
TORVI_API void kx_log_raw(unsigned level, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Sets the threshold of a sink (0 console, 1 file, 2 spare slot). For sink 1
 * also opens the log file: path NULL keeps the open file or opens "kx.log".
 * Returns 1 on success, 0 for a sink above 2 or a file that cannot be opened. */
TORVI_API int kx_log_enable(unsigned sink, int level, const char *path);

/* Silences every sink and closes the log file. Returns the close result, or 0
 * when no file was open. */
TORVI_API int kx_log_disable(void);

/* Console threshold, file threshold (keeps the open file or opens "kx.log"),
 * and the transport's debug level. Returns the transport's stored level. */
TORVI_API int torvi_log_cfg(int console_level, int file_level, int usb_level);

TORVI_END_DECLS

#endif /* TORVI_LOG_H */
