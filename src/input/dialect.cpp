#include "input/input.h"

namespace tessamer {
namespace {

// The request's one-character text as one byte of the dataset encoding: nothing unmappable,
// exactly one byte, and not a line end (which would make every record boundary ambiguous).
[[nodiscard]] Result<unsigned char> dialect_byte(encoding::Encoding encoding, std::string_view text, std::string_view field) {
  encoding::EncodeResult encoded = encoding::encode(encoding, text);
  if (encoded.unmappable || encoded.bytes.size() != 1 || encoded.bytes[0] == '\n' || encoded.bytes[0] == '\r') {
    return std::unexpected(
        EngineError{ErrorCode::InvalidNativeRequest, std::string(field) + " must encode to exactly one non-newline byte"});
  }
  return static_cast<unsigned char>(encoded.bytes[0]);
}

}  // namespace

std::string_view side_text(DatasetSide side) { return side == DatasetSide::Expected ? "expected" : "actual"; }

Result<CsvDialect> resolve_dialect(const ValidationRequest& request) {
  std::optional<encoding::Encoding> resolved = encoding::for_label(request.encoding);
  if (!resolved) {
    return std::unexpected(EngineError{ErrorCode::UnsupportedNativeEncoding,
                                       "encoding '" + request.encoding + "' is not supported by the native engine"});
  }
  CsvDialect dialect{*resolved, ',', '"', std::nullopt};
  auto delimiter = dialect_byte(*resolved, request.delimiter, "delimiter");
  if (!delimiter) return std::unexpected(std::move(delimiter).error());
  dialect.delimiter = *delimiter;
  auto quote = dialect_byte(*resolved, request.quote_char, "quoteChar");
  if (!quote) return std::unexpected(std::move(quote).error());
  dialect.quote = *quote;
  if (request.escape_char) {
    auto escape = dialect_byte(*resolved, *request.escape_char, "escapeChar");
    if (!escape) return std::unexpected(std::move(escape).error());
    dialect.escape = *escape;
  }
  return dialect;
}

csv::Dialect reader_dialect(const CsvDialect& dialect) {
  return csv::Dialect{dialect.delimiter, dialect.quote, dialect.escape, /*skip_utf8_bom=*/true};
}

Result<void> decode_field_into(encoding::Encoding encoding, std::string_view bytes, std::string& out) {
  if (encoding::decode(encoding, bytes, out)) return {};
  return std::unexpected(EngineError{ErrorCode::InvalidGoldenDataset,
                                     "CSV contains bytes invalid for encoding " + std::string(encoding::name(encoding))});
}

Result<std::string> decode_field(encoding::Encoding encoding, std::string_view bytes) {
  std::string text;
  TESSAMER_TRY(decode_field_into(encoding, bytes, text));
  return text;
}

}  // namespace tessamer
