// Pure rules of the zip wrapper: entry names, compression levels, DOS time
// stamps and the plausibility of an entry's declared sizes.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"

namespace torvi::zip {

// Largest entry name a ZIP header can hold.
inline constexpr size_t kMaxNameLength = 0xFFFF;
// Longest folder or path that zip_extract accepts.
inline constexpr size_t kMaxPathLength = 32767;
// Deflate cannot expand data by more than this factor (1032:1 plus a block).
inline constexpr uint64_t kMaxDeflateRatio = 1032;

// The name with every '\' turned into '/'.
std::string normalize_name(std::string_view name);

// A directory entry: name ending in '/' (or '\') or the DOS directory bit set.
bool is_directory(std::string_view name, uint32_t external_attr);

// A symbolic link entry: Unix file type bits in the high half of the external
// attributes say S_IFLNK.
bool is_symlink(uint32_t external_attr);

// The folder components of an entry name that is safe to extract below a
// folder: relative, no drive prefix, no '..' component, no NUL byte, not
// empty. Empty and '.' components are dropped. nullopt when unsafe.
std::optional<std::vector<std::string>> safe_components(std::string_view name);

// The name zip_create gives a file: its path without a drive prefix ("X:")
// and without any folder part. Empty when nothing is left.
std::string archive_name_for_path(std::string_view path);

// The zlib level for a wrapper level: negative means 6, the low 4 bits are
// the level, 10 maps to 9. nullopt when the low 4 bits exceed 10.
std::optional<int> zlib_level(int level);

// DOS date in the high 16 bits and time in the low 16 bits.
uint32_t dos_date_time(const LocalTime &t);

// The DOS stamp of a moment, in local time.
uint32_t dos_date_time_of(time_t t);

// Seconds since the epoch for a DOS date and time read as local time;
// nullopt when the stamp does not name a valid date.
std::optional<time_t> dos_to_time_t(uint32_t dos_date_time);

// Whether an entry's declared sizes can be true for an archive of the given
// size: the compressed data fits in the archive, a stored entry is as long as
// its data, and deflated data expands at most kMaxDeflateRatio times.
bool sizes_plausible(uint16_t method, uint64_t compressed, uint64_t uncompressed,
                     uint64_t archive_size);

}  // namespace torvi::zip
