// Transports besides USB. A link whose `if_type` names a registered
// transport is opened through that transport's table; every later call on
// the link follows the table its open stored in `ops`.
#pragma once

#include <torvi/torvi_ll.h>

#include <cstdint>

namespace torvi::ll {

// Highest if_type a transport may register under (0 is USB).
inline constexpr uint32_t kMaxIfType = 7;

// Registers `ops` for links of kind `if_type` (1 .. kMaxIfType); nullptr
// removes it. Any thread. False for an if_type out of range.
bool register_transport(uint32_t if_type, const torvi_ll_op_t *ops);

// A link that brings its own calibration files (a replayed recording) names
// the folder holding them, with a trailing '/'; the device opened on it
// reads its files there instead of under the library's path prefix.
using FilesDirOf = const char *(*)(const torvi_ll_t &ll);
// Registers how links of kind `if_type` name that folder; nullptr removes it.
bool register_files_dir(uint32_t if_type, FilesDirOf files_dir);
// The folder of an open link, or nullptr when it has none (USB cameras).
const char *link_files_dir(const torvi_ll_t &ll);

}  // namespace torvi::ll
