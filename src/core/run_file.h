// Unnamed temporary files for the external sort's runs, made in a chosen directory.
#pragma once

#include <string_view>

#include "core/error.h"
#include "core/file.h"

namespace tessamer {

// Creates a new empty file, open for reading and writing, in the directory `location` ("" or "."
// for the working directory), that has no name from before its first byte is written: the kernel
// frees it when the descriptor is closed, on every kind of exit, and nothing of it ever shows in
// the directory. Made with O_TMPFILE; where the file system refuses that (EOPNOTSUPP, EISDIR,
// EINVAL), as "{location}/.tessamer-sort-XXXXXX" with mode 0600, whose name is removed at once.
// A failure to remove that name is a failure to create. The error carries the system's text.
[[nodiscard]] IoResult<UniqueFd> create_run_file(std::string_view location);

// Test-only: while set, create_run_file goes straight to the named way, as on a file system
// without O_TMPFILE.
void force_named_run_files(bool forced);

}  // namespace tessamer
