/* Process-wide logging: a console sink (standard output) and one log file,
 * each with a level threshold. Levels: 0 TRC, 1 DBG, 2 INF, 3 WRN, 4 ERR;
 * 5 silences a sink. The library owns the open log file; the strings passed
 * in are only read during the call.
 *
 * Thread safety: kx_log and kx_log_raw may be called from any thread (the
 * library itself logs from the transport's event thread while streaming).
 * kx_log_enable, kx_log_disable and torvi_log_cfg change process globals
 * without a lock: call them from one thread, while no other thread
 * configures logging and no capture is running (closing or replacing the
 * file while another thread writes to it is not guarded). */
#ifndef TORVI_LOG_H
#define TORVI_LOG_H

#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

enum {
  KX_LOG_TRC = 0,
  KX_LOG_DBG = 1,
  KX_LOG_INF = 2,
  KX_LOG_WRN = 3,
  KX_LOG_ERR = 4,
  KX_LOG_OFF = 5
};

/* Writes "YYYY/MM/DD hh:mm:ss.mmm[tid][TAG] " (local time, OS thread id) and
 * the formatted message to every sink whose threshold is at most `level`;
 * the file is flushed after each message. The message carries its own line
 * end. A NULL fmt writes nothing; a NULL tag prints as "[]". */
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
 * also opens the log file for appending: path NULL keeps the open file or
 * opens "kx.log"; the same path as the open file keeps it; another path
 * closes the open file first. Relative paths are taken from the current
 * folder (not the path prefix). Returns 1 on success, 0 for a sink above 2
 * or a file that cannot be opened (then no file is open; a line goes to
 * stderr). */
TORVI_API int kx_log_enable(unsigned sink, int level, const char *path);

/* Silences every sink and closes the log file. Returns fclose's result (0,
 * or EOF on a failed close), or 0 when no file was open. */
TORVI_API int kx_log_disable(void);

/* Console threshold, file threshold (keeps the open file or opens "kx.log"),
 * and the transport's debug level (library levels, as torvi_ll_set_debug).
 * Returns the libusb log level the transport stored. */
TORVI_API int torvi_log_cfg(int console_level, int file_level, int usb_level);

/* Callback sink: receives every message whose level reaches the threshold of
 * sink 2 (set with kx_log_enable(2, level, NULL); silenced by kx_log_disable),
 * as one line without the date, thread and tag prefix ("[function] text\n",
 * cut to 1023 characters). It runs on the thread that logs, which may be the
 * transport's event thread, one call at a time; it must not log, configure
 * logging or block. `user` is passed back unchanged. NULL removes it; once
 * kx_log_set_callback returns, the callback it replaced is no longer
 * running and is not called again. */
typedef void (*kx_log_cb_t)(void *user, unsigned level, const char *line);
TORVI_API void kx_log_set_callback(kx_log_cb_t cb, void *user);

TORVI_END_DECLS

#endif /* TORVI_LOG_H */
