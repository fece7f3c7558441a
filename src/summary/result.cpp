// Reading the result document into the members the summary uses.
#include <string>
#include <utility>

#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace detail {

json::Expected<JsonValue> read_value(json::Reader& reader, int depth_limit) {
  auto next = reader.skip_whitespace();
  if (!next) return std::unexpected(reader.error("EOF while parsing a value"));
  switch (*next) {
    case 'n':
    case 't':
    case 'f': {
      reader.eat();
      std::string_view rest = *next == 'n' ? "ull" : *next == 't' ? "rue" : "alse";
      if (auto ok = reader.parse_ident(rest); !ok) return std::unexpected(ok.error());
      return *next == 'n' ? JsonValue() : JsonValue::boolean(*next == 't');
    }
    case '"': {
      reader.eat();
      auto text = reader.parse_string();
      if (!text) return std::unexpected(text.error());
      return JsonValue::string(std::move(*text));
    }
    case '[':
    case '{': {
      if (depth_limit <= 0) return std::unexpected(reader.error("recursion limit exceeded"));
      reader.eat();
      const bool is_array = *next == '[';
      JsonValue value = is_array ? JsonValue::array() : JsonValue::object();
      bool first = true;
      for (;;) {
        auto more = is_array ? reader.next_element(first) : reader.next_member(first);
        if (!more) return std::unexpected(more.error());
        if (!*more) break;
        std::string key;
        if (!is_array) {
          if (reader.skip_whitespace() != '"') return std::unexpected(reader.peek_error("key must be a string"));
          reader.eat();
          auto parsed = reader.parse_string();
          if (!parsed) return std::unexpected(parsed.error());
          key = std::move(*parsed);
          if (auto colon = reader.parse_colon(); !colon) return std::unexpected(colon.error());
        }
        auto element = read_value(reader, depth_limit - 1);
        if (!element) return element;
        if (is_array) {
          value.push(std::move(*element));
        } else {
          value.set(std::move(key), std::move(*element));
        }
      }
      auto closed = is_array ? reader.end_array() : reader.end_object();
      if (!closed) return std::unexpected(closed.error());
      return value;
    }
    default: break;
  }
  bool positive = *next != '-';
  if (!positive) reader.eat();
  auto number = reader.parse_number(positive);
  if (!number) return std::unexpected(number.error());
  switch (number->kind) {
    case json::Number::Kind::Unsigned: return JsonValue::number(number->u);
    case json::Number::Kind::Signed: return JsonValue::signed_number(number->i);
    case json::Number::Kind::Float: return JsonValue::floating(number->f);
  }
  return JsonValue();
}

}  // namespace detail

namespace {

Error member_error(std::string_view key, std::string_view what) {
  return Error{"result document: \"" + std::string(key) + "\" " + std::string(what)};
}

Expected<const JsonValue*> member(const JsonValue& object, std::string_view key, JsonValue::Kind kind,
                                  bool nullable = false) {
  const JsonValue* value = object.find(key);
  if (value == nullptr) return std::unexpected(member_error(key, "is missing"));
  if (nullable && value->kind() == JsonValue::Kind::Null) return nullptr;
  if (value->kind() != kind) {
    std::string_view expected = kind == JsonValue::Kind::Unsigned ? "must be a non-negative integer"
                                : kind == JsonValue::Kind::String ? "must be a string"
                                : kind == JsonValue::Kind::Array  ? "must be an array"
                                                                  : "must be an object";
    return std::unexpected(member_error(key, expected));
  }
  return value;
}

#define SUMMARY_MEMBER(var, ...)                         \
  auto var = member(__VA_ARGS__);                        \
  if (!var) return std::unexpected(std::move(var).error())

using Kind = JsonValue::Kind;

Expected<std::uint64_t> unsigned_member(const JsonValue& object, std::string_view key) {
  SUMMARY_MEMBER(value, object, key, Kind::Unsigned);
  return (*value)->as_unsigned();
}

Expected<std::optional<std::uint64_t>> optional_unsigned(const JsonValue& object, std::string_view key) {
  SUMMARY_MEMBER(value, object, key, Kind::Unsigned, true);
  if (*value == nullptr) return std::nullopt;
  return (*value)->as_unsigned();
}

Expected<std::string> string_member(const JsonValue& object, std::string_view key) {
  SUMMARY_MEMBER(value, object, key, Kind::String);
  return (*value)->as_string();
}

}  // namespace

Expected<RunResult> parse_result_document(std::string_view bytes) {
  json::Reader reader(bytes);
  if (!reader.skip_whitespace()) {
    return std::unexpected(Error{"result document is empty (the run may have failed: see the engine's standard error)"});
  }
  auto document = detail::read_value(reader);
  if (document) {
    if (auto end = reader.end_document(); !end) document = std::unexpected(end.error());
  }
  if (!document) return std::unexpected(Error{"result document is not valid JSON: " + document.error().to_string()});
  if (document->kind() != Kind::Object) return std::unexpected(Error{"result document is not a JSON object"});
  const JsonValue& doc = *document;
  const JsonValue* code = doc.find("code");
  const JsonValue* message = doc.find("message");
  if (code && message && code->kind() == Kind::String && message->kind() == Kind::String) {
    return std::unexpected(Error{"the run failed with " + code->as_string() + ": " + message->as_string()});
  }

  RunResult result;
#define SUMMARY_ASSIGN(target, expr)                        \
  do {                                                      \
    auto summary_value_ = (expr);                           \
    if (!summary_value_) return std::unexpected(std::move(summary_value_).error()); \
    target = std::move(*summary_value_);                    \
  } while (false)
  SUMMARY_ASSIGN(result.status, string_member(doc, "status"));
  SUMMARY_ASSIGN(result.comparison_mode, string_member(doc, "comparisonMode"));
  SUMMARY_ASSIGN(result.expected_bytes, unsigned_member(doc, "expectedBytes"));
  SUMMARY_ASSIGN(result.actual_bytes, unsigned_member(doc, "actualBytes"));
  SUMMARY_ASSIGN(result.expected_sha256, string_member(doc, "expectedSha256"));
  SUMMARY_ASSIGN(result.actual_sha256, string_member(doc, "actualSha256"));
  SUMMARY_ASSIGN(result.cells_compared, optional_unsigned(doc, "cellsCompared"));
  SUMMARY_ASSIGN(result.excluded_cells, unsigned_member(doc, "excludedCells"));
  SUMMARY_ASSIGN(result.divergences, unsigned_member(doc, "divergences"));

  SUMMARY_MEMBER(rows, doc, "rows", Kind::Object);
  SUMMARY_ASSIGN(result.expected_rows, optional_unsigned(**rows, "expected"));
  SUMMARY_ASSIGN(result.actual_rows, optional_unsigned(**rows, "actual"));
  SUMMARY_ASSIGN(result.compared_rows, optional_unsigned(**rows, "compared"));
  SUMMARY_ASSIGN(result.missing_rows, unsigned_member(**rows, "missing"));
  SUMMARY_ASSIGN(result.additional_rows, unsigned_member(**rows, "additional"));

  SUMMARY_MEMBER(pairs, doc, "columnPairs", Kind::Array);
  for (const JsonValue& entry : (*pairs)->as_array()) {
    if (entry.kind() != Kind::Object) return std::unexpected(member_error("columnPairs", "must hold objects"));
    ColumnPair pair;
    SUMMARY_ASSIGN(pair.expected, string_member(entry, "expected"));
    SUMMARY_ASSIGN(pair.actual, string_member(entry, "actual"));
    SUMMARY_ASSIGN(pair.expected_index, unsigned_member(entry, "expectedIndex"));
    SUMMARY_ASSIGN(pair.actual_index, unsigned_member(entry, "actualIndex"));
    result.column_pairs.push_back(std::move(pair));
  }
#undef SUMMARY_ASSIGN

  SUMMARY_MEMBER(examples, doc, "divergenceExamples", Kind::Array);
  result.examples = (*examples)->as_array();
  if (result.status != "PASS" && result.status != "FAIL" && result.status != "PASS_WITH_EXCLUSIONS") {
    return std::unexpected(member_error("status", "is not \"PASS\", \"FAIL\" or \"PASS_WITH_EXCLUSIONS\""));
  }
  if (result.comparison_mode != "quor-csv-stream" && result.comparison_mode != "quor-binary") {
    return std::unexpected(member_error("comparisonMode", "is neither \"quor-csv-stream\" nor \"quor-binary\""));
  }
  if (!result.identical() && (!result.expected_rows || !result.actual_rows || !result.compared_rows)) {
    return std::unexpected(member_error("rows", "must hold counts in a streamed run"));
  }
  return result;
}

}  // namespace tessamer::summary
