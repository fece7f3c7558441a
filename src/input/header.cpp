// Header reading: the column names of each side, and the rules they must meet.
#include <string>
#include <unordered_set>

#include "csv/csv.h"
#include "input/input.h"

namespace tessamer {
namespace {

EngineError dataset_error(std::string message) { return EngineError{ErrorCode::InvalidGoldenDataset, std::move(message)}; }

}  // namespace

Result<void> check_header(DatasetSide side, const std::vector<std::string>& names) {
  std::string side_name(side_text(side));
  // Every name is checked for emptiness before any is checked for repetition.
  for (const std::string& name : names) {
    if (name.empty()) return std::unexpected(dataset_error(side_name + " header contains an empty column name"));
  }
  std::unordered_set<std::string_view> seen;
  seen.reserve(names.size());
  for (const std::string& name : names) {
    if (!seen.insert(name).second) {
      return std::unexpected(dataset_error(side_name + " header contains duplicate column name '" + name + "'"));
    }
  }
  return {};
}

Result<std::vector<std::string>> read_header(DatasetFile& file, bool has_header,
                                             const std::vector<std::string>& request_names, const CsvDialect& dialect) {
  const DatasetSide side = file.side();
  if (!has_header) {
    TESSAMER_TRY(check_header(side, request_names));
    return request_names;
  }
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream stream, DatasetStream::open(file, dialect));
  TESSAMER_ASSIGN_OR_RETURN(const bool found, stream.read_header());
  if (!found) return std::unexpected(dataset_error(std::string(side_text(side)) + " CSV has no header"));
  const csv::Record& record = stream.record();
  std::vector<std::string> names;
  names.reserve(record.size());
  for (const std::string_view field : record.fields()) {
    TESSAMER_ASSIGN_OR_RETURN(std::string name, decode_field(dialect.encoding, field));
    names.push_back(std::move(name));
  }
  TESSAMER_TRY(check_header(side, names));
  return names;
}

}  // namespace tessamer
