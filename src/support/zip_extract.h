// Extraction of entries to files: one entry to a file the caller names, and
// a whole archive below a folder, never writing outside it.
#pragma once

#include <cstddef>
#include <string>

#include "support/zip_reader.h"

namespace torvi::zip {

using EntryCallback = int (*)(const char *filename, void *arg);

// Writes the entry to `path` (replacing a file there) with the entry's time
// as modification and access time. A failed extraction removes the file.
bool extract_entry_to_file(Reader &reader, size_t index, const std::string &path);

// Unpacks every entry of the archive below `dir`. Every entry name is checked
// before anything is written: absolute names, drive prefixes, '..'
// components, symbolic links and entries that cannot be extracted fail the
// whole call. Folders are then walked without following symbolic links, and
// a file already present is replaced rather than written through. The
// callback gets dir + "/" + entry name after each entry; a negative answer
// stops with -1. Returns 0 or -1.
int extract_archive(const std::string &zipname, const std::string &dir, EntryCallback on_entry,
                    void *arg);

}  // namespace torvi::zip
