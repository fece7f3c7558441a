// The dialect of a run: the encoding and the one-byte delimiter, quote and escape; the reader
// configuration that follows from it; and field decoding.
#include "input/detail.h"

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
  TESSAMER_ASSIGN_OR_RETURN(dialect.delimiter, dialect_byte(*resolved, request.delimiter, "delimiter"));
  TESSAMER_ASSIGN_OR_RETURN(dialect.quote, dialect_byte(*resolved, request.quote_char, "quoteChar"));
  if (request.escape_char) {
    TESSAMER_ASSIGN_OR_RETURN(dialect.escape, dialect_byte(*resolved, *request.escape_char, "escapeChar"));
  }
  return dialect;
}

namespace {

// How the encoding's characters are built from bytes, where that matters to the reader: where one
// character's bytes can include a delimiter, quote, escape, CR or LF byte.
csv::Characters characters_of(encoding::Encoding encoding) {
  const std::string_view name = encoding::name(encoding);
  if (name == "UTF-16LE") return csv::Characters::utf16le;
  if (name == "UTF-16BE") return csv::Characters::utf16be;
  if (name == "Shift_JIS") return csv::Characters::shift_jis;
  if (name == "Big5") return csv::Characters::big5;
  if (name == "gb18030" || name == "GBK") return csv::Characters::gb18030;
  if (name == "EUC-KR") return csv::Characters::euc_kr;
  if (name == "ISO-2022-JP") return csv::Characters::iso2022jp;
  return csv::Characters::bytes;
}

}  // namespace

csv::Dialect reader_dialect(const CsvDialect& dialect) {
  csv::Dialect d;
  d.delimiter = dialect.delimiter;
  d.quote = dialect.quote;
  d.escape = dialect.escape;
  d.skip_utf8_bom = true;  // under UTF-16 the reader skips that encoding's own mark instead
  d.characters = characters_of(dialect.encoding);
  if (d.characters != csv::Characters::bytes) {
    d.pair_is_character = [encoding = dialect.encoding](unsigned char lead, unsigned char trail) {
      const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
      std::string text;
      return encoding::decode(encoding, std::string_view(pair, 2), text);
    };
  }
  return d;
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
