// The divergence report file: its buffered writes, its creation with the checks before anything
// is truncated, and its finish.
#include "compare/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace tessamer {
namespace {

// Whether `text` holds a byte that JSON text escapes (below 0x20, '"' or '\\'), or, when
// `AndNonAscii`, one from 0x80 up. How a byte is escaped is left to the JSON writer; this only
// finds the common case where nothing is.
template <bool AndNonAscii>
bool holds_special_byte(std::string_view text) {
  const char* data = text.data();
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    // As signed bytes, those from 0x80 up are below ' ' too; as unsigned ones, a byte is at most
    // 0x1F exactly when min(byte, 0x1F) is the byte.
    const __m128i low = AndNonAscii ? _mm_cmplt_epi8(block, _mm_set1_epi8(' '))
                                    : _mm_cmpeq_epi8(_mm_min_epu8(block, _mm_set1_epi8(0x1F)), block);
    const __m128i hits = _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)));
    if (_mm_movemask_epi8(hits) != 0) return true;
  }
#endif
  for (; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    if (byte < 0x20 || (AndNonAscii && byte >= 0x80) || byte == '"' || byte == '\\') return true;
  }
  return false;
}

bool needs_escaping(std::string_view text) { return holds_special_byte<false>(text); }

}  // namespace

bool is_plain_ascii(std::string_view text) { return !holds_special_byte<true>(text); }

// ---- ReportBuffer ----

ReportBuffer::ReportBuffer(UniqueFd fd) : fd_(std::move(fd)), buffer_(new char[kCapacity]) {}

IoResult<void> ReportBuffer::write_cold(std::string_view bytes) {
  TESSAMER_TRY(flush());
  if (bytes.size() >= kCapacity) return write_all(fd_.get(), bytes.data(), bytes.size(), "failed to write whole buffer");
  std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  used_ = bytes.size();
  return {};
}

IoResult<void> ReportBuffer::flush() {
  std::size_t written = 0;
  IoResult<void> result;
  while (written < used_) {
    ssize_t n = ::write(fd_.get(), buffer_.get() + written, used_ - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      result = std::unexpected(IoError{system_error_text(errno)});
      break;
    }
    if (n == 0) {
      result = std::unexpected(IoError{"failed to write the buffered data"});
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  // Keep what was not written, so that a later write-out neither loses nor repeats bytes.
  if (written > 0) {
    std::memmove(buffer_.get(), buffer_.get() + written, used_ - written);
    used_ -= written;
  }
  return result;
}

IoResult<void> ReportBuffer::write_json_string(std::string_view text) {
  if (needs_escaping(text)) {
    escaped_.clear();
    append_json_string(escaped_, text);
    return write(escaped_);
  }
  if (copy_ == nullptr && text.size() + 2 <= kCapacity - used_) {
    char* out = buffer_.get() + used_;
    out[0] = '"';
    if (!text.empty()) std::memcpy(out + 1, text.data(), text.size());
    out[text.size() + 1] = '"';
    used_ += text.size() + 2;
    return {};
  }
  TESSAMER_TRY(write("\""));
  TESSAMER_TRY(write(text));
  return write("\"");
}

IoResult<void> ReportBuffer::write_unsigned(std::uint64_t value) {
  char digits[20];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 20 digits hold every uint64_t
  return write(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// ---- DivergenceReportWriter ----

DivergenceReportWriter::DivergenceReportWriter(std::unique_ptr<ReportBuffer> buffer, bool regular_file,
                                               std::uint64_t example_limit)
    : buffer_(std::move(buffer)), regular_file_(regular_file), example_limit_(example_limit) {
  // A huge limit is legal, but the room is only reserved up to a modest size; the vector grows
  // as examples actually arrive.
  examples_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(example_limit, 4096)));
}

DivergenceReportWriter::~DivergenceReportWriter() { release(); }

void DivergenceReportWriter::release() {
  if (!buffer_) return;
  (void)buffer_->flush();  // the run already failed; there is no one left to tell
  buffer_.reset();
}

namespace {

// The null device takes anything and keeps nothing: a report sent there while a document goes
// there too spoils no document.
bool is_null_device(const struct stat& status) {
  return S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
}

// Why the report must not be the file `status` describes, if it must not.
std::optional<EngineError> refusal(const struct stat& status, std::span<const FileIdentity> datasets,
                                   std::optional<FileIdentity> request_file,
                                   std::span<const FileIdentity> document_channels) {
  const FileIdentity file{status.st_dev, status.st_ino};
  auto names = [file](std::span<const FileIdentity> files) {
    return std::find(files.begin(), files.end(), file) != files.end();
  };
  if (names(datasets)) {
    return EngineError{ErrorCode::InvalidNativeRequest, "divergencePath must not name the expected or actual dataset"};
  }
  if (request_file && *request_file == file) {
    return EngineError{ErrorCode::InvalidNativeRequest, "divergencePath must not name the request file"};
  }
  if (names(document_channels) && !is_null_device(status)) {
    return EngineError{ErrorCode::InvalidNativeRequest,
                       "divergencePath must not name standard output or standard error"};
  }
  return std::nullopt;
}

}  // namespace

Result<DivergenceReportWriter> open_divergence_report(std::string_view divergence_path, std::uint64_t example_limit,
                                                      std::span<const FileIdentity> datasets,
                                                      std::optional<FileIdentity> request_file,
                                                      std::span<const FileIdentity> document_channels) {
  if (auto parent = parent_path(divergence_path); parent && !parent->empty()) {
    if (auto made = create_directories(*parent); !made) {
      return std::unexpected(EngineError::wrap(ErrorCode::NativeIoError, "cannot create divergence report directory",
                                               made.error().text));
    }
  }
  auto create_failure = [](std::string_view text) {
    return std::unexpected(EngineError::wrap(ErrorCode::NativeIoError, "cannot create divergence report", text));
  };
  // Looked at before the open as well as after it: opening a dataset for writing, even without
  // writing a byte, breaks the run's own read lease on it (and waits for the lease to go).
  if (auto existing = stat_path(divergence_path)) {
    if (auto refused = refusal(*existing, datasets, request_file, document_channels)) return std::unexpected(*refused);
  }
  // No O_TRUNC: the path may turn out to name a dataset or the request, which must stay intact,
  // or a report another run is writing.
  auto fd = open_file_without_waiting(divergence_path, O_WRONLY | O_CREAT, 0666);
  if (!fd) return create_failure(fd.error().text);
  auto status = stat_fd(fd->get());
  if (!status) return create_failure(status.error().text);
  // The path may have been made to name another file between the look and the open.
  if (auto refused = refusal(*status, datasets, request_file, document_channels)) return std::unexpected(*refused);
  // Only a regular file has content to drop; a device such as /dev/null is used as it is.
  const bool regular_file = S_ISREG(status->st_mode);
  if (regular_file) {
    if (auto locked = lock_exclusive_now(fd->get()); !locked) return create_failure(locked.error().text);
    if (auto truncated = truncate_fd(fd->get(), 0); !truncated) return create_failure(truncated.error().text);
  }
  return DivergenceReportWriter(std::make_unique<ReportBuffer>(std::move(*fd)), regular_file, example_limit);
}

Result<void> record_divergence(DivergenceReportWriter& writer, JsonValue record) {
  return writer.record([&record](ReportBuffer& buffer) { return write_compact_json(record, buffer); });
}

Result<DivergenceSummary> finish_divergence_report(DivergenceReportWriter writer) {
  if (auto flushed = writer.buffer_->flush(); !flushed) {
    // Released below, which tries the write-out once more, as any unfinished report is.
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot flush divergence report", flushed.error().text));
  }
  auto closed = writer.buffer_->close();
  writer.buffer_.reset();
  // A device or a FIFO has nothing held back; a regular file may, on a network file system or
  // under a quota, and an error there means the report is incomplete.
  if (!closed && writer.regular_file_) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot close divergence report", closed.error().text));
  }
  return DivergenceSummary{writer.count_, std::move(writer.examples_)};
}

}  // namespace tessamer
