// The CSV dialect of a run, and the decoding of field bytes into text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "csv/csv.h"
#include "encoding/encoding.h"
#include "request/request.h"

namespace tessamer {

enum class DatasetSide { Expected, Actual };

// "expected" or "actual", as messages show the side.
std::string_view side_text(DatasetSide side);

// Built once from the request, read-only afterwards.
struct CsvDialect {
  encoding::Encoding encoding;
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::optional<unsigned char> escape;
};

// Resolves the encoding label, then delimiter, quoteChar and escapeChar (when given) to bytes.
[[nodiscard]] Result<CsvDialect> resolve_dialect(const ValidationRequest& request);

// The reader configuration every dataset is read with (a leading BOM is skipped: the UTF-16 one
// under UTF-16, the UTF-8 one under every other encoding), aware of the encoding's characters.
csv::Dialect reader_dialect(const CsvDialect& dialect);

// The field's bytes as UTF-8 text, decoded strictly (fatal, no BOM handling).
[[nodiscard]] Result<std::string> decode_field(encoding::Encoding encoding, std::string_view bytes);

// Appends the decoded text to `out` instead of returning it, for callers that reuse a buffer.
[[nodiscard]] Result<void> decode_field_into(encoding::Encoding encoding, std::string_view bytes, std::string& out);

}  // namespace tessamer
