#include <string>
#include <unordered_set>

#include "core/file.h"
#include "input/input.h"

namespace tessamer {
namespace {

// Hands the CSV reader the file's bytes as they are.
class FileSource final : public csv::ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  std::expected<std::size_t, csv::ReadError> read(unsigned char* dst, std::size_t capacity) override {
    auto n = read_some(fd_, dst, capacity);
    if (!n) return std::unexpected(csv::ReadError{std::move(n.error().text)});
    return *n;
  }

 private:
  int fd_;
};

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
  std::string side_name(side_text(side));
  auto fd = file.open();
  if (!fd) return std::unexpected(std::move(fd).error());
  FileSource source(fd->get());
  csv::Reader reader(source, reader_dialect(dialect));
  csv::Record record;
  auto found = reader.next(record);
  if (!found) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::InvalidGoldenDataset, "cannot parse " + side_name + " header", found.error().text));
  }
  if (!*found) return std::unexpected(dataset_error(side_name + " CSV has no header"));
  std::vector<std::string> names;
  names.reserve(record.size());
  for (std::size_t i = 0; i < record.size(); ++i) {
    auto name = decode_field(dialect.encoding, record[i]);
    if (!name) return std::unexpected(std::move(name).error());
    names.push_back(std::move(*name));
  }
  TESSAMER_TRY(check_header(side, names));
  return names;
}

}  // namespace tessamer
