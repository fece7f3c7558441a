// The divergence report: one compact JSON record per line, written through a 1 MiB buffer.
//
// Internal to the comparison. The file holds no header and no summary; a run without divergences
// leaves it empty. Lines written before a failure stay: the file is never deleted.
#pragma once

#include <sys/types.h>

#include <cassert>
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
    if (copy_ != nullptr) [[unlikely]] copy_->append(bytes);
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

  // Closes the file (without writing out the buffer), reporting a failure to close.
  [[nodiscard]] IoResult<void> close() { return fd_.close(); }

  std::size_t buffered() const { return used_; }

  // Room for `size` bytes right in the buffer, when they fit into its free part and no copy is
  // being kept; null otherwise. The bytes count as written once advance() says so.
  char* room_for(std::size_t size) {
    return copy_ == nullptr && size <= kCapacity - used_ ? buffer_.get() + used_ : nullptr;
  }
  void advance(std::size_t size) { used_ += size; }

  // While `copy` is set, every byte written is also appended to it; nullptr stops that.
  void copy_to(std::string* copy) { copy_ = copy; }

 private:
  [[nodiscard]] IoResult<void> write_cold(std::string_view bytes);

  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::string escaped_;  // reused for texts that need escaping
  std::string* copy_ = nullptr;
};

// Whether `text` is printable ASCII other than '"' and '\\': JSON writes it as a string literal
// with nothing escaped, and UTF-8 decoding gives it back unchanged.
bool is_plain_ascii(std::string_view text);

// What a finished report hands over.
struct DivergenceSummary {
  std::uint64_t count = 0;
  std::vector<JsonValue> examples;  // the first `exampleLimit` report lines (raw JSON), in order
};

// An open report. Released without finishing (the run ended with an error), it writes out its
// buffer once, ignoring any failure, and closes the file.
class DivergenceReportWriter {
 public:
  DivergenceReportWriter(DivergenceReportWriter&&) noexcept = default;
  DivergenceReportWriter& operator=(DivergenceReportWriter&&) = delete;
  ~DivergenceReportWriter();

  std::uint64_t count() const { return count_; }

  // Whether the report is a regular file, not a device or FIFO.
  bool regular_file() const { return regular_file_; }

  // Records one divergence. `write_text(ReportBuffer&)` writes its compact JSON text (one
  // object, no line end) and returns IoResult<void>. While examples are still wanted, the same
  // bytes are kept as the example, so a report line and its example cannot differ. A failure of
  // the text gives NATIVE_REPORT_ERROR with the bare error text, a failure of the line end
  // NATIVE_IO_ERROR; either way the divergence is neither counted nor kept.
  template <class WriteText>
  [[nodiscard]] Result<void> record(WriteText&& write_text) {
    const bool keep = examples_.size() < example_limit_;
    std::string example;
    if (keep) buffer_->copy_to(&example);
    IoResult<void> text = write_text(*buffer_);
    buffer_->copy_to(nullptr);
    if (!text) return std::unexpected(EngineError{ErrorCode::NativeReportError, std::move(text.error().text)});
    if (IoResult<void> end = buffer_->write("\n"); !end) {
      return std::unexpected(
          EngineError::wrap(ErrorCode::NativeIoError, "cannot write divergence report", end.error().text));
    }
    ++count_;
    if (keep) examples_.push_back(JsonValue::raw(std::move(example)));
    return {};
  }

  // Records one divergence whose compact JSON text of at most `max_size` bytes `fill(char*)`
  // writes in place, returning how many it wrote, when no example is wanted and that many fit
  // into the buffer as it stands, so that nothing is written out in between; then true.
  // Otherwise false, with nothing done: record() does it, and writes out exactly when it would
  // have.
  template <class Fill>
  bool record_in_place(std::size_t max_size, Fill&& fill) {
    if (examples_.size() < example_limit_) return false;
    char* line = buffer_->room_for(max_size + 1);
    if (line == nullptr) return false;
    const std::size_t size = fill(line);
    assert(size <= max_size && "a line in place stays within the room it asked for");
    line[size] = '\n';
    buffer_->advance(size + 1);
    ++count_;
    return true;
  }

 private:
  friend Result<DivergenceReportWriter> open_divergence_report(std::string_view, std::uint64_t,
                                                               std::span<const FileIdentity>,
                                                               std::optional<FileIdentity>,
                                                               std::span<const FileIdentity>);
  friend Result<DivergenceSummary> finish_divergence_report(DivergenceReportWriter writer);

  DivergenceReportWriter(std::unique_ptr<ReportBuffer> buffer, bool regular_file, std::uint64_t example_limit);
  void release();

  std::unique_ptr<ReportBuffer> buffer_;  // null once finished or moved from
  bool regular_file_ = false;             // not a device or FIFO: locked, truncated, closed with care
  std::uint64_t example_limit_ = 0;
  std::uint64_t count_ = 0;
  std::vector<JsonValue> examples_;
};

// Creates the report's directory (with every missing ancestor) and the report file, truncated.
// `datasets` are the identities of the open dataset files, `request_file` that of the request
// the run was read from and `document_channels` those of standard output and error: a path
// naming one of them (the null device excepted among the channels) is refused
// (INVALID_NATIVE_REQUEST), looked at before the open and again after it, before anything is
// truncated. Opening never waits: a FIFO without a reader fails at once (ENXIO); one
// with a reader, /dev/null and other devices are written as they are. A regular file is locked
// (flock, exclusive) before it is truncated and until it is closed, so that two runs never write
// one report: the second fails with EWOULDBLOCK and leaves the file alone. Other failures are
// NATIVE_IO_ERROR.
[[nodiscard]] Result<DivergenceReportWriter> open_divergence_report(
    std::string_view divergence_path, std::uint64_t example_limit, std::span<const FileIdentity> datasets,
    std::optional<FileIdentity> request_file = std::nullopt, std::span<const FileIdentity> document_channels = {});

// Records `record` (a JSON object) through write_compact_json.
[[nodiscard]] Result<void> record_divergence(DivergenceReportWriter& writer, JsonValue record);

// Writes out the buffer and closes the file; NATIVE_IO_ERROR when the write-out fails, or when
// closing a regular report file fails (write errors held back until then are errors too).
[[nodiscard]] Result<DivergenceSummary> finish_divergence_report(DivergenceReportWriter writer);

}  // namespace tessamer
