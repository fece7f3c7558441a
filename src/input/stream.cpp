// Reading a dataset once: the byte source that counts and hashes for the CSV reader, and the
// paired digests of both sides.
#include <algorithm>
#include <cassert>
#include <utility>

#include "input/detail.h"

namespace tessamer {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 20;

}  // namespace

// Each side's bytes wait where its reader put them until the reader releases them; then they are
// hashed together with the other side's waiting bytes (the two messages' rounds interleave,
// nearly doubling the rate), and what has no partner is hashed alone. Nothing is copied, and
// nothing waits beyond the readers' own buffers.
PairedDigests::PairedDigests(const DigestedPrefix& prefix)
    : digests_{prefix.digest, prefix.digest}, prefix_size_(prefix.size) {}

void PairedDigests::add(int lane, const unsigned char* data, std::size_t n) {
  Waiting& waiting = waiting_[lane];
  if (waiting.size == 0) waiting.data = data;
  if (waiting.data + waiting.size != data) {  // not contiguous: settle what waits first
    hash_waiting(lane);
    waiting.data = data;
  }
  waiting.size += n;
}

void PairedDigests::hash_waiting(int lane) {
  Waiting& mine = waiting_[lane];
  Waiting& other = waiting_[1 - lane];
  const std::size_t paired =
      update_pair(digests_[lane], mine.data, mine.size, digests_[1 - lane], other.data, other.size);
  other.data += paired;
  other.size -= paired;
  digests_[lane].update(mine.data + paired, mine.size - paired);
  mine.size = 0;
}

// Hands the file's bytes to the CSV reader, counting every byte it hands on (a BOM the reader
// skips included) and, when digesting, passing them to the digests, so that a digest covers the
// file exactly. Each refill also looks at the file's lease: once it is broken, every read fails,
// and the stream reports the file changed.
class DatasetStream::Source final : public csv::ByteSource {
 public:
  Source(DatasetFile& file, UniqueFd fd, PairedDigests* digests, int lane)
      : file_(file), fd_(std::move(fd)), digests_(digests), lane_(lane), skip_(digests ? digests->prefix_size_ : 0) {}

  std::expected<std::size_t, csv::ReadError> read(unsigned char* dst, std::size_t capacity) override {
    auto n = read_some(fd_.get(), dst, std::min(capacity, kReadSize));
    if (!n) return std::unexpected(csv::ReadError{std::move(n.error().text)});
    if (!file_.lease_intact()) [[unlikely]] {
      changed_ = true;
      return std::unexpected(csv::ReadError{"changed while being read"});
    }
    bytes_ += *n;
    if (digests_ == nullptr) return *n;
    // The first bytes of the file may have been hashed already, by the check for identical files.
    const std::size_t skipped = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, *n));
    skip_ -= skipped;
    if (*n > skipped) digests_->add(lane_, dst + skipped, *n - skipped);
    return *n;
  }

  void release() override {
    if (digests_ != nullptr) digests_->hash_waiting(lane_);
  }

  // After the last read: what waits is hashed, and the lane's digest is complete.
  std::string finish_digest() {
    if (digests_ == nullptr) return {};
    digests_->hash_waiting(lane_);
    return digests_->digests_[lane_].finish();
  }

  int fd() const { return fd_.get(); }
  std::uint64_t bytes() const { return bytes_; }
  bool changed() const { return changed_; }

 private:
  DatasetFile& file_;
  UniqueFd fd_;
  PairedDigests* digests_;
  int lane_;
  std::uint64_t skip_;  // bytes still to read that the digest already holds
  std::uint64_t bytes_ = 0;
  bool changed_ = false;  // a read found the lease broken
};

// Not movable: the reader refers to the source, and the record may hold a loan of the reader's
// buffer. The stream moves by its pointer to this.
struct DatasetStream::Body {
  Body(DatasetFile& file, UniqueFd fd, const CsvDialect& dialect, PairedDigests* digests)
      : file(file),
        source(file, std::move(fd), digests, file.side() == DatasetSide::Expected ? 0 : 1),
        reader(source, reader_dialect(dialect), kReadSize) {}

  DatasetFile& file;
  Source source;
  csv::Reader reader;
  csv::Record record;
  std::optional<StreamedBytes> finished;
};

Result<DatasetStream> DatasetStream::open(DatasetFile& file, const CsvDialect& dialect, PairedDigests* digests) {
  TESSAMER_ASSIGN_OR_RETURN(UniqueFd fd, file.open());
  return DatasetStream(std::make_unique<Body>(file, std::move(fd), dialect, digests));
}

DatasetStream::DatasetStream(std::unique_ptr<Body> body)
    : body_(std::move(body)), reader_(&body_->reader), record_(&body_->record) {}
DatasetStream::DatasetStream(DatasetStream&&) noexcept = default;
DatasetStream& DatasetStream::operator=(DatasetStream&&) noexcept = default;
DatasetStream::~DatasetStream() = default;

DatasetSide DatasetStream::side() const { return body_->file.side(); }

// A failed read of the reader: `what` is "header" or "CSV". A read that found the file's lease
// broken failed because the file changed, whatever the reader made of it.
[[gnu::cold]] static EngineError read_failure(const DatasetFile& file, bool changed, std::string_view what,
                                              const csv::ReadError& error) {
  if (changed) return file.changed();
  const DatasetSide side = file.side();
  return EngineError::wrap(ErrorCode::InvalidGoldenDataset,
                           "cannot parse " + std::string(side_text(side)) + " " + std::string(what), error.text);
}

Result<bool> DatasetStream::read_header() {
  auto more = reader_->next(*record_);
  if (!more) return std::unexpected(read_failure(body_->file, body_->source.changed(), "header", more.error()));
  return *more;
}

Result<bool> DatasetStream::next() {
  auto more = reader_->next(*record_);
  if (!more) [[unlikely]] return std::unexpected(read_failure(body_->file, body_->source.changed(), "CSV", more.error()));
  return *more;
}

std::uint64_t DatasetStream::bytes() const { return body_->source.bytes(); }

Result<StreamedBytes> DatasetStream::finish() {
  Body& body = *body_;
  if (!body.finished) {
    // Everything counted and hashed came from the file as it was first opened.
    TESSAMER_TRY(body.file.check_unchanged(body.source.fd()));
    body.finished = StreamedBytes{body.source.bytes(), body.source.finish_digest()};
  }
  return *body.finished;
}

}  // namespace tessamer
