// Shared by this area's files; not included from other areas.
#pragma once

#include "csv/csv.h"
#include "input/input.h"

namespace tessamer {

// The reader configuration every dataset is read with (a leading BOM is skipped: the UTF-16 one
// under UTF-16, the UTF-8 one under every other encoding), aware of the encoding's characters.
csv::Dialect reader_dialect(const CsvDialect& dialect);

}  // namespace tessamer
