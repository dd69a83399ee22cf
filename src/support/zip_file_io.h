// Read-only file access for minizip that serves its many small reads and
// seeks (one per central directory record, per local header) from a window
// of the file read with pread, instead of a stdio stream that seeks and
// reads again for each of them.
#pragma once

#include "ioapi.h"

namespace torvi::zip {

// Functions for unzOpen2_64: the file opened read-only; write modes fail.
zlib_filefunc64_def windowed_read_funcs();

}  // namespace torvi::zip
