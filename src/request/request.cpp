// The request: its strict reading (object or positional form) and the rules it must meet.
#include "request/request.h"

#include <sys/stat.h>

#include <array>
#include <limits>
#include <span>
#include <unordered_set>
#include <utility>

#include "core/file.h"
#include "core/quote.h"
#include "json/reader.h"

namespace tessamer {
namespace {

using json::Error;
using json::Expected;
using json::Reader;

constexpr std::string_view kEofValue = "EOF while parsing a value";

Error unpositioned(std::string message) { return Error{std::move(message), 0, 0}; }

// Reads the value at the reader (whitespace skipped) as far as needed and describes it in the
// "invalid type" message; arrays and objects are not entered.
Error invalid_type(Reader& reader, std::string_view expecting) {
  auto found = reader.read_unexpected();
  if (!found) return found.error();
  std::string description = found->kind == json::Unexpected::Kind::String ? "string " + debug_quote(found->text)
                                                                          : json::describe(*found);
  return reader.fix_position(unpositioned("invalid type: " + description + ", expected " + std::string(expecting)));
}

[[nodiscard]] Expected<std::string> read_string(Reader& reader, std::string_view expecting) {
  auto c = reader.skip_whitespace();
  if (!c) return std::unexpected(reader.peek_error(std::string(kEofValue)));
  if (*c != '"') return std::unexpected(invalid_type(reader, expecting));
  reader.eat();
  auto text = reader.parse_string();
  if (!text) return std::unexpected(reader.fix_position(std::move(text).error()));
  return text;
}

[[nodiscard]] Expected<std::optional<std::string>> read_optional_string(Reader& reader) {
  auto c = reader.skip_whitespace();
  if (c && *c == 'n') {
    reader.eat();
    TESSAMER_TRY(reader.parse_ident("ull"));
    return std::optional<std::string>();
  }
  TESSAMER_ASSIGN_OR_RETURN(std::string text, read_string(reader, "a string"));
  return std::optional<std::string>(std::move(text));
}

[[nodiscard]] Expected<bool> read_bool(Reader& reader) {
  auto c = reader.skip_whitespace();
  if (!c) return std::unexpected(reader.peek_error(std::string(kEofValue)));
  if (*c != 't' && *c != 'f') return std::unexpected(invalid_type(reader, "a boolean"));
  reader.eat();
  TESSAMER_TRY(reader.parse_ident(*c == 't' ? "rue" : "alse"));
  return *c == 't';
}

// An unsigned integer no greater than `max`; `expecting` names the type in messages.
[[nodiscard]] Expected<std::uint64_t> read_unsigned(Reader& reader, std::uint64_t max, std::string_view expecting) {
  auto c = reader.skip_whitespace();
  if (!c) return std::unexpected(reader.peek_error(std::string(kEofValue)));
  if (*c != '-' && (*c < '0' || *c > '9')) return std::unexpected(invalid_type(reader, expecting));
  if (*c == '-') reader.eat();
  TESSAMER_ASSIGN_OR_RETURN(const json::Number number, reader.parse_number(*c != '-'));
  switch (number.kind) {
    case json::Number::Kind::Unsigned:
      if (number.u <= max) return number.u;
      return std::unexpected(reader.fix_position(unpositioned("invalid value: integer `" + std::to_string(number.u) +
                                                              "`, expected " + std::string(expecting))));
    case json::Number::Kind::Signed:
      return std::unexpected(reader.fix_position(unpositioned("invalid value: integer `" + std::to_string(number.i) +
                                                              "`, expected " + std::string(expecting))));
    case json::Number::Kind::Float:
      return std::unexpected(reader.fix_position(unpositioned("invalid type: floating point `" +
                                                              json::format_float(number.f) + "`, expected " +
                                                              std::string(expecting))));
  }
  return std::unexpected(reader.error("invalid number"));
}

// An array whose elements are read by `read_element(reader)`.
template <class T, class ReadElement>
[[nodiscard]] Expected<std::vector<T>> read_sequence(Reader& reader, ReadElement read_element) {
  auto c = reader.skip_whitespace();
  if (!c) return std::unexpected(reader.peek_error(std::string(kEofValue)));
  if (*c != '[') return std::unexpected(invalid_type(reader, "a sequence"));
  reader.eat();
  auto elements = [&]() -> Expected<std::vector<T>> {
    std::vector<T> values;
    bool first = true;
    for (;;) {
      TESSAMER_ASSIGN_OR_RETURN(const bool more, reader.next_element(first));
      if (!more) return values;
      TESSAMER_ASSIGN_OR_RETURN(T value, read_element(reader));
      values.push_back(std::move(value));
    }
  }();
  // The closing bracket is looked for even after an error, as the error's position includes it.
  auto end = reader.end_array();
  if (elements && !end) return std::unexpected(end.error());
  if (!elements) return std::unexpected(reader.fix_position(std::move(elements).error()));
  return elements;
}

// One field of a record: its key, whether the object form may leave it out, whether the
// positional form may end before it, and how its value is read into the record.
template <class Record>
struct Field {
  std::string_view key;
  bool optional_in_object;
  bool optional_in_array;
  Expected<void> (*read)(Reader&, Record&);
};

template <class Record, std::size_t N>
struct Shape {
  std::string_view name;            // "ValidationRequest"
  std::string_view unknown_suffix;  // what the unknown-field message lists
  // The positions up to and including the last one the positional form must give. The message
  // of a positional form that ends too early names it, even where later positions are accepted.
  std::size_t required_length;
  std::array<Field<Record>, N> fields;
};

template <class Record, std::size_t N>
[[nodiscard]] Expected<Record> read_object_members(Reader& reader, const Shape<Record, N>& shape) {
  Record record{};
  std::array<bool, N> seen{};
  bool first = true;
  for (;;) {
    TESSAMER_ASSIGN_OR_RETURN(const bool more, reader.next_member(first));
    if (!more) break;
    reader.eat();
    TESSAMER_ASSIGN_OR_RETURN(const std::string key, reader.parse_string());
    std::size_t index = 0;
    while (index < N && shape.fields[index].key != key) ++index;
    if (index == N) return std::unexpected(unpositioned("unknown field `" + key + "`, expected " + std::string(shape.unknown_suffix)));
    if (seen[index]) return std::unexpected(unpositioned("duplicate field `" + key + "`"));
    seen[index] = true;
    TESSAMER_TRY(reader.parse_colon());
    TESSAMER_TRY(shape.fields[index].read(reader, record));
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i] && !shape.fields[i].optional_in_object) {
      return std::unexpected(unpositioned("missing field `" + std::string(shape.fields[i].key) + "`"));
    }
  }
  return record;
}

template <class Record, std::size_t N>
[[nodiscard]] Expected<Record> read_array_values(Reader& reader, const Shape<Record, N>& shape) {
  Record record{};
  bool first = true;
  for (std::size_t i = 0; i < N; ++i) {
    TESSAMER_ASSIGN_OR_RETURN(const bool more, reader.next_element(first));
    if (!more) {
      if (shape.fields[i].optional_in_array) continue;
      return std::unexpected(unpositioned("invalid length " + std::to_string(i) + ", expected struct " +
                                          std::string(shape.name) + " with " + std::to_string(shape.required_length) +
                                          " elements"));
    }
    TESSAMER_TRY(shape.fields[i].read(reader, record));
  }
  return record;
}

// A record in object form or positional (array) form.
template <class Record, std::size_t N>
[[nodiscard]] Expected<Record> read_record(Reader& reader, const Shape<Record, N>& shape) {
  auto c = reader.skip_whitespace();
  if (!c) return std::unexpected(reader.peek_error(std::string(kEofValue)));
  if (*c != '[' && *c != '{') return std::unexpected(invalid_type(reader, "struct " + std::string(shape.name)));
  reader.eat();
  Expected<Record> record = *c == '[' ? read_array_values(reader, shape) : read_object_members(reader, shape);
  // The closing byte is looked for even after an error, as the error's position includes it.
  auto end = *c == '[' ? reader.end_array() : reader.end_object();
  if (record && !end) return std::unexpected(end.error());
  if (!record) return std::unexpected(reader.fix_position(std::move(record).error()));
  return record;
}

// Field readers: each stores one value into its member.
template <auto Member, class Record>
[[nodiscard]] Expected<void> store_string(Reader& reader, Record& record, std::string_view expecting) {
  TESSAMER_ASSIGN_OR_RETURN(record.*Member, read_string(reader, expecting));
  return {};
}

template <auto Member, class Record>
[[nodiscard]] Expected<void> store_optional_string(Reader& reader, Record& record) {
  TESSAMER_ASSIGN_OR_RETURN(record.*Member, read_optional_string(reader));
  return {};
}

template <auto Member, class Record>
[[nodiscard]] Expected<void> store_string_list(Reader& reader, Record& record) {
  TESSAMER_ASSIGN_OR_RETURN(record.*Member, read_sequence<std::string>(reader, [](Reader& r) { return read_string(r, "a string"); }));
  return {};
}

#define TESSAMER_STRING_FIELD(Record, key, member, expecting, opt_object)                                  \
  Field<Record> {                                                                                          \
    key, opt_object, false, [](Reader& r, Record& rec) { return store_string<&Record::member>(r, rec, expecting); } \
  }

const Shape<ColumnMapping, 2> kColumnMappingShape{
    "ColumnMapping",
    "`expected` or `actual`",
    2,
    {{
        TESSAMER_STRING_FIELD(ColumnMapping, "expected", expected, "a string", false),
        TESSAMER_STRING_FIELD(ColumnMapping, "actual", actual, "a string", false),
    }}};

const Shape<ExcludedColumn, 5> kExcludedColumnShape{
    "ExcludedColumn",
    "one of `expected`, `actual`, `reason`, `approvedBy`, `approvalReference`",
    5,
    {{
        Field<ExcludedColumn>{"expected", true, false,
                              [](Reader& r, ExcludedColumn& rec) { return store_optional_string<&ExcludedColumn::expected>(r, rec); }},
        Field<ExcludedColumn>{"actual", true, false,
                              [](Reader& r, ExcludedColumn& rec) { return store_optional_string<&ExcludedColumn::actual>(r, rec); }},
        TESSAMER_STRING_FIELD(ExcludedColumn, "reason", reason, "a string", false),
        TESSAMER_STRING_FIELD(ExcludedColumn, "approvedBy", approved_by, "a string", false),
        TESSAMER_STRING_FIELD(ExcludedColumn, "approvalReference", approval_reference, "a string", false),
    }}};

#define TESSAMER_KEY_STRING_FIELD(key, member, expecting)                                        \
  Field<ValidationRequest> {                                                                     \
    key, true, true, [](Reader& r, ValidationRequest& rec) {                                     \
      return store_string<&ValidationRequest::member>(r, rec, expecting);                  \
    }                                                                                            \
  }

// exampleLimit is the last value the positional form must give; the key members after it may be
// left off at its end, like the four arrays. Null is no value for a key member: a member that is
// not wanted is left out.
const Shape<ValidationRequest, 20> kRequestShape{
    "ValidationRequest",
    "one of `schemaVersion`, `expectedPath`, `actualPath`, `divergencePath`, `encoding`, `delimiter`, "
    "`quoteChar`, `escapeChar`, `hasHeader`, `nullValue`, `expectedColumns`, `actualColumns`, `columns`, "
    "`excludedColumns`, `exampleLimit`, `keyColumns`, `keyOrder`, `duplicateKeys`, `sortMemoryBytes`, "
    "`sortDirectory`",
    15,
    {{
        Field<ValidationRequest>{"schemaVersion", false, false,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   TESSAMER_ASSIGN_OR_RETURN(
                                       const std::uint64_t v, read_unsigned(r, std::numeric_limits<std::uint32_t>::max(), "u32"));
                                   rec.schema_version = static_cast<std::uint32_t>(v);
                                   return {};
                                 }},
        TESSAMER_STRING_FIELD(ValidationRequest, "expectedPath", expected_path, "path string", false),
        TESSAMER_STRING_FIELD(ValidationRequest, "actualPath", actual_path, "path string", false),
        TESSAMER_STRING_FIELD(ValidationRequest, "divergencePath", divergence_path, "path string", false),
        TESSAMER_STRING_FIELD(ValidationRequest, "encoding", encoding, "a string", false),
        TESSAMER_STRING_FIELD(ValidationRequest, "delimiter", delimiter, "a string", false),
        TESSAMER_STRING_FIELD(ValidationRequest, "quoteChar", quote_char, "a string", false),
        Field<ValidationRequest>{"escapeChar", true, false,
                                 [](Reader& r, ValidationRequest& rec) {
                                   return store_optional_string<&ValidationRequest::escape_char>(r, rec);
                                 }},
        Field<ValidationRequest>{"hasHeader", false, false,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   TESSAMER_ASSIGN_OR_RETURN(rec.has_header, read_bool(r));
                                   return {};
                                 }},
        TESSAMER_STRING_FIELD(ValidationRequest, "nullValue", null_value, "a string", false),
        Field<ValidationRequest>{"expectedColumns", true, true,
                                 [](Reader& r, ValidationRequest& rec) {
                                   return store_string_list<&ValidationRequest::expected_columns>(r, rec);
                                 }},
        Field<ValidationRequest>{"actualColumns", true, true,
                                 [](Reader& r, ValidationRequest& rec) {
                                   return store_string_list<&ValidationRequest::actual_columns>(r, rec);
                                 }},
        Field<ValidationRequest>{"columns", true, true,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   TESSAMER_ASSIGN_OR_RETURN(rec.columns, read_sequence<ColumnMapping>(r, [](Reader& rr) {
                                                               return read_record(rr, kColumnMappingShape);
                                                             }));
                                   return {};
                                 }},
        Field<ValidationRequest>{"excludedColumns", true, true,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   TESSAMER_ASSIGN_OR_RETURN(rec.excluded_columns, read_sequence<ExcludedColumn>(r, [](Reader& rr) {
                                                               return read_record(rr, kExcludedColumnShape);
                                                             }));
                                   return {};
                                 }},
        Field<ValidationRequest>{"exampleLimit", false, false,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   TESSAMER_ASSIGN_OR_RETURN(rec.example_limit,
                                                             read_unsigned(r, std::numeric_limits<std::uint64_t>::max(), "usize"));
                                   return {};
                                 }},
        Field<ValidationRequest>{"keyColumns", true, true,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   auto v = read_sequence<std::string>(r, [](Reader& rr) { return read_string(rr, "a string"); });
                                   if (!v) return std::unexpected(std::move(v).error());
                                   rec.key_columns = std::move(*v);
                                   return {};
                                 }},
        TESSAMER_KEY_STRING_FIELD("keyOrder", key_order, "a string"),
        TESSAMER_KEY_STRING_FIELD("duplicateKeys", duplicate_keys, "a string"),
        Field<ValidationRequest>{"sortMemoryBytes", true, true,
                                 [](Reader& r, ValidationRequest& rec) -> Expected<void> {
                                   auto v = read_unsigned(r, std::numeric_limits<std::uint64_t>::max(), "u64");
                                   if (!v) return std::unexpected(std::move(v).error());
                                   rec.sort_memory_bytes = *v;
                                   return {};
                                 }},
        TESSAMER_KEY_STRING_FIELD("sortDirectory", sort_directory, "path string"),
    }}};

#undef TESSAMER_KEY_STRING_FIELD
#undef TESSAMER_STRING_FIELD

bool is_regular_file(std::string_view path) {
  auto status = stat_path(path);
  return status && S_ISREG(status->st_mode);
}

bool is_directory(std::string_view path) {
  auto status = stat_path(path);
  return status && S_ISDIR(status->st_mode);
}

constexpr std::uint64_t kMinSortMemoryBytes = 1048576;     // 1 MiB
constexpr std::uint64_t kMaxSortMemoryBytes = 4294967296;  // 4 GiB

// The rules on the key members, after the other request rules.
[[nodiscard]] Result<void> validate_key_members(const ValidationRequest& request) {
  auto fail = [](std::string message) -> Result<void> {
    return std::unexpected(EngineError{ErrorCode::InvalidNativeRequest, std::move(message)});
  };
  // In field order, so that the first member given is the one named.
  const std::pair<std::string_view, bool> given[] = {
      {"keyOrder", request.key_order.has_value()},
      {"duplicateKeys", request.duplicate_keys.has_value()},
      {"sortMemoryBytes", request.sort_memory_bytes.has_value()},
      {"sortDirectory", request.sort_directory.has_value()},
  };
  if (!request.key_columns) {
    for (const auto& [key, present] : given) {
      if (present) return fail(std::string(key) + " requires keyColumns");
    }
    return {};
  }
  const std::vector<std::string>& names = *request.key_columns;
  if (names.empty()) return fail("keyColumns must not be empty");
  std::unordered_set<std::string_view> seen;
  seen.reserve(names.size());
  for (const std::string& name : names) {
    if (!seen.insert(name).second) return fail("keyColumns contains duplicate column name '" + name + "'");
  }
  if (request.key_order && *request.key_order != kKeyOrderAny && *request.key_order != kKeyOrderSorted) {
    return fail("keyOrder must be ANY or SORTED");
  }
  if (request.duplicate_keys && *request.duplicate_keys != kDuplicateKeysReject &&
      *request.duplicate_keys != kDuplicateKeysPairByOccurrence) {
    return fail("duplicateKeys must be REJECT or PAIR_BY_OCCURRENCE");
  }
  if (request.key_order == kKeyOrderSorted) {
    // A sorted run reads each file once and never sorts: the sort settings have nothing to act on.
    for (const auto& [key, present] : std::span(given).subspan(2)) {
      if (present) return fail(std::string(key) + " requires keyOrder ANY");
    }
  }
  if (request.sort_memory_bytes &&
      (*request.sort_memory_bytes < kMinSortMemoryBytes || *request.sort_memory_bytes > kMaxSortMemoryBytes)) {
    return fail("sortMemoryBytes must be from 1048576 through 4294967296");
  }
  // Whether it is writable shows when the sort first creates a file there.
  if (request.sort_directory && !is_directory(*request.sort_directory)) return fail("sortDirectory must be a directory");
  return {};
}

}  // namespace

std::expected<ValidationRequest, std::string> parse_validation_request(std::string_view bytes) {
  Reader reader(bytes);
  auto request = read_record(reader, kRequestShape);
  if (!request) return std::unexpected(request.error().to_string());
  if (auto end = reader.end_document(); !end) return std::unexpected(end.error().to_string());
  return std::move(*request);
}

Result<void> validate_request(const ValidationRequest& request) {
  auto fail = [](ErrorCode code, std::string_view message) -> Result<void> {
    return std::unexpected(EngineError{code, std::string(message)});
  };
  if (request.schema_version != 1) return fail(ErrorCode::InvalidNativeRequest, "request schemaVersion must be 1");
  // A path whose status cannot be read counts as not naming a regular file.
  if (!is_regular_file(request.expected_path)) {
    return fail(ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file");
  }
  if (!is_regular_file(request.actual_path)) return fail(ErrorCode::InvalidGoldenDataset, "actualPath must be a regular file");
  if (request.example_limit > 100) return fail(ErrorCode::InvalidNativeRequest, "exampleLimit must be from 0 through 100");
  if (request.null_value.find_first_of("\r\n") != std::string::npos) {
    return fail(ErrorCode::InvalidNativeRequest, "nullValue must not contain a newline");
  }
  if (!request.has_header && (request.expected_columns.empty() || request.actual_columns.empty())) {
    return fail(ErrorCode::InvalidGoldenDataset, "expectedColumns and actualColumns are required when hasHeader is false");
  }
  return validate_key_members(request);
}

std::string_view key_order_text(KeyOrder order) {
  switch (order) {
    case KeyOrder::Any: return kKeyOrderAny;
    case KeyOrder::Sorted: return kKeyOrderSorted;
  }
  return kKeyOrderAny;
}

std::string_view duplicate_keys_text(DuplicateKeys duplicates) {
  switch (duplicates) {
    case DuplicateKeys::Reject: return kDuplicateKeysReject;
    case DuplicateKeys::PairByOccurrence: return kDuplicateKeysPairByOccurrence;
  }
  return kDuplicateKeysReject;
}

bool is_keyed(const ValidationRequest& request) { return request.key_columns.has_value(); }

KeyOrder effective_key_order(const ValidationRequest& request) {
  return request.key_order == kKeyOrderSorted ? KeyOrder::Sorted : KeyOrder::Any;
}

DuplicateKeys effective_duplicate_keys(const ValidationRequest& request) {
  return request.duplicate_keys == kDuplicateKeysPairByOccurrence ? DuplicateKeys::PairByOccurrence
                                                                  : DuplicateKeys::Reject;
}

std::uint64_t effective_sort_memory_bytes(const ValidationRequest& request) {
  return request.sort_memory_bytes.value_or(kDefaultSortMemoryBytes);
}

}  // namespace tessamer
