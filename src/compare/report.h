// The divergence report: one compact JSON record per line, written through a 1 MiB buffer.
//
// Internal to the comparison. The file holds no header and no summary; a run without divergences
// leaves it empty. Lines written before a failure stay: the file is never deleted.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/file.h"
#include "json/json.h"

namespace tessamer {

// Which file an open descriptor refers to, whatever path or link reached it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// fstat(2) of `fd`.
[[nodiscard]] IoResult<FileIdentity> file_identity(int fd);

// A file written through a fixed buffer by the rules of a conventional buffered writer: a piece
// that fits into the free part of the buffer is copied into it; otherwise the buffer is written
// out first, and then the piece is copied when it is shorter than the capacity or written
// straight to the file when it is not. Writing out retries interrupted and short writes. After a
// failed write-out the bytes not yet written stay buffered, in order.
class ReportBuffer final : public ByteSink {
 public:
  static constexpr std::size_t kCapacity = std::size_t{1} << 20;

  explicit ReportBuffer(UniqueFd fd);
  ReportBuffer(const ReportBuffer&) = delete;
  ReportBuffer& operator=(const ReportBuffer&) = delete;

  [[nodiscard]] IoResult<void> write(std::string_view bytes) override {
    if (bytes.size() <= kCapacity - used_) {
      if (!bytes.empty()) std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
      return {};
    }
    return write_cold(bytes);
  }

  // Writes `text` as a JSON string literal, byte for byte as write_compact_json writes a string
  // value. Text that needs no escaping (the common case) is copied as it stands.
  [[nodiscard]] IoResult<void> write_json_string(std::string_view text);

  // Writes `value` in decimal.
  [[nodiscard]] IoResult<void> write_unsigned(std::uint64_t value);

  // Writes out the buffered bytes.
  [[nodiscard]] IoResult<void> flush();

  std::size_t buffered() const { return used_; }

 private:
  IoResult<void> write_cold(std::string_view bytes);

  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::string escaped_;  // reused for texts that need escaping
};

// What a finished report hands over.
struct DivergenceSummary {
  std::uint64_t count = 0;
  std::vector<JsonValue> examples;  // the first `exampleLimit` divergences, in order
};

// An open report. Released without finishing (the run ended with an error), it writes out its
// buffer once, ignoring any failure, and closes the file.
class DivergenceReportWriter {
 public:
  DivergenceReportWriter(DivergenceReportWriter&&) noexcept = default;
  DivergenceReportWriter& operator=(DivergenceReportWriter&&) = delete;
  ~DivergenceReportWriter();

  std::uint64_t count() const { return count_; }

  // Records one divergence. `write_text(ReportBuffer&)` writes its compact JSON text and returns
  // IoResult<void>; `make_example()` builds the equivalent JsonValue and is called only when the
  // divergence is kept as an example. The text must be the bytes write_compact_json gives for
  // that value. A failure of the text gives NATIVE_REPORT_ERROR with the bare error text, a
  // failure of the line end NATIVE_IO_ERROR; either way the divergence is neither counted nor kept.
  template <class WriteText, class MakeExample>
  [[nodiscard]] Result<void> record(WriteText&& write_text, MakeExample&& make_example) {
    if (IoResult<void> text = write_text(*buffer_); !text) {
      return std::unexpected(EngineError{ErrorCode::NativeReportError, std::move(text.error().text)});
    }
    if (IoResult<void> end = buffer_->write("\n"); !end) {
      return std::unexpected(
          EngineError::wrap(ErrorCode::NativeIoError, "cannot write divergence report", end.error().text));
    }
    ++count_;
    if (examples_.size() < example_limit_) examples_.push_back(make_example());
    return {};
  }

 private:
  friend Result<DivergenceReportWriter> open_divergence_report(std::string_view, std::uint64_t,
                                                               std::span<const FileIdentity>);
  friend Result<DivergenceSummary> finish_divergence_report(DivergenceReportWriter writer);

  DivergenceReportWriter(std::unique_ptr<ReportBuffer> buffer, std::uint64_t example_limit);
  void release();

  std::unique_ptr<ReportBuffer> buffer_;  // null once finished or moved from
  std::uint64_t example_limit_ = 0;
  std::uint64_t count_ = 0;
  std::vector<JsonValue> examples_;
};

// Creates the report's directory (with every missing ancestor) and the report file, truncated.
// `datasets` are the identities of the open dataset files: a path naming one of them is refused
// (INVALID_NATIVE_REQUEST) before anything is truncated. Other failures are NATIVE_IO_ERROR.
[[nodiscard]] Result<DivergenceReportWriter> open_divergence_report(std::string_view divergence_path,
                                                                    std::uint64_t example_limit,
                                                                    std::span<const FileIdentity> datasets);

// Records `record` (a JSON object) through write_compact_json.
[[nodiscard]] Result<void> record_divergence(DivergenceReportWriter& writer, JsonValue record);

// Writes out the buffer and closes the file; NATIVE_IO_ERROR when the write-out fails.
[[nodiscard]] Result<DivergenceSummary> finish_divergence_report(DivergenceReportWriter writer);

namespace detail {

// The parent of `path` the way path components define it: the path without its last component
// and without the separators and "." components before that. Empty components and "." after the
// first are not components; the last component must be a name, "." or "..". Examples:
// "r.jsonl" -> "", "out/sub/r.jsonl" -> "out/sub", "/r.jsonl" -> "/", "a/./b" -> "a",
// "a//" -> "", "./a" -> ".", "" and "/" -> none. The result is a view into `path`.
std::optional<std::string_view> parent_path(std::string_view path);

// mkdir -p with mode 0777 (umask applies): an existing directory, or one created meanwhile by
// someone else, is no error.
[[nodiscard]] IoResult<void> create_directories(std::string_view path);

}  // namespace detail
}  // namespace tessamer
