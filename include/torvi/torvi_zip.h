/* ZIP archives: a small handle-based interface for reading, writing and
 * appending archives, and two one-shot calls that pack a list of files or
 * unpack a whole archive into a folder.
 *
 * Results are 0 on success and -1 on failure (bad arguments also log an ERR line) unless
 * stated otherwise. Entry names use '/' as separator; '\' in names given to
 * these calls is converted to '/'. Strings passed in are only read during
 * the call. Calls run on the caller's thread; a handle belongs to one
 * thread at a time, different handles may be used in parallel.
 *
 * Compression level: 0 stores entries uncompressed, 1 to 3 favour speed,
 * 6 is the default, 9 and 10 compress hardest; a negative level means 6.
 * Only the low 4 bits are the level; a level whose low 4 bits exceed 10 is
 * refused.
 *
 * Archives read here are treated as untrusted: corrupt, truncated or
 * encrypted archives fail with -1, and zip_extract writes nothing outside its
 * target folder (absolute names, '..' components and symbolic links are
 * refused before anything is written). */
#ifndef TORVI_ZIP_H
#define TORVI_ZIP_H

#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* An open archive, allocated by zip_open and freed only by zip_close; the
 * caller holds it in between. */
struct zip_t;

/* Opens an archive: mode 'r' reads, 'w' creates (truncating an existing
 * file), 'a' appends to an existing archive. Returns NULL for a null or empty
 * name, a refused level, another mode, or an archive that cannot be opened. */
TORVI_API struct zip_t *zip_open(const char *zipname, int level, char mode);

/* Writes the central directory (write modes) and frees the handle. An entry
 * still open is completed with what was written to it. NULL is ignored. */
TORVI_API void zip_close(struct zip_t *zip);

/* Read mode: locates the entry by name (an exact match first, else the first
 * match ignoring case); -1 when there is none. Write modes: starts a new
 * entry; -1 while another entry is open or for an empty name. */
TORVI_API int zip_entry_open(struct zip_t *zip, const char *entryname);

/* Write modes: completes the open entry, stamping it with the local time.
 * Read mode: returns 0 at once. */
TORVI_API int zip_entry_close(struct zip_t *zip);

/* Appends bytes to the open entry. NULL or 0 bytes write nothing and return 0. */
TORVI_API int zip_entry_write(struct zip_t *zip, const void *buf, size_t bufsize);

/* Appends the whole content of a file to the open entry. */
TORVI_API int zip_entry_fwrite(struct zip_t *zip, const char *filename);

/* Read mode: extracts the located entry into a new buffer of exactly its
 * size (malloc'ed; at least 1 byte for an empty entry) and sets *buf and
 * *bufsize. The buffer belongs to the caller, who frees it with free(). On
 * failure (directory entry, no located entry, corrupt data, no memory) *buf
 * and *bufsize are left unchanged and nothing needs freeing. */
TORVI_API int zip_entry_read(struct zip_t *zip, void **buf, size_t *bufsize);

/* Extracts the located entry into a file. Directory entries are refused. */
TORVI_API int zip_entry_fread(struct zip_t *zip, const char *filename);

/* Receives the located entry's data in pieces, on the caller's thread:
 * offset of the piece in the entry, the piece and its length. The piece
 * belongs to the library and is valid only during the call. Returning less
 * than the length stops the extraction with -1. */
typedef size_t (*zip_extract_cb_t)(void *arg, uint64_t offset, const void *data, size_t size);

/* Extracts the located entry through the callback. */
TORVI_API int zip_entry_extract(struct zip_t *zip, zip_extract_cb_t on_extract, void *arg);

/* Number of entries in the archive (written ones included); -1 for NULL. */
TORVI_API int zip_total_entries(struct zip_t *zip);

/* Creates a new archive holding the given files at level 6. Each entry is
 * named by the file's name without its folders or drive ("C:\data\a.txt"
 * becomes "a.txt"). The first file that cannot be added stops the loop; the
 * archive is completed in any case and the result is then -1. */
TORVI_API int zip_create(const char *zipname, const char *filenames[], size_t count);

/* Unpacks every entry below the folder `dir` ("/" is appended unless it ends
 * in '/' or '\'), creating the entries' folders and restoring each file's
 * modification time. After each entry the callback (may be NULL) gets the
 * entry's full path (valid only during the call) and `arg`; it runs on the
 * caller's thread; a negative answer stops with -1. */
TORVI_API int zip_extract(const char *zipname, const char *dir,
                          int (*on_extract)(const char *filename, void *arg), void *arg);

/* Progress callback for zip_extract: counts extracted entries process-wide
 * (an atomic count that runs on across calls and threads) and logs the path
 * with the count and the total held by the int that `arg` points to (0 when
 * arg is NULL). Returns 0. */
TORVI_API int on_extract_to_folder_entry(const char *filename, void *arg);

TORVI_END_DECLS

#endif /* TORVI_ZIP_H */
