#include <fcntl.h>

#include <cstring>
#include <memory>

#include "core/file.h"
#include "core/sha256.h"
#include "input/input.h"

namespace tessamer {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

EngineError io_error(std::string_view context, const IoError& cause) {
  return EngineError::wrap(ErrorCode::NativeIoError, context, cause.text);
}

}  // namespace

Result<IdenticalOutcome> compare_identical(std::string_view expected_path, std::string_view actual_path) {
  auto expected_status = stat_path(expected_path);
  if (!expected_status) return std::unexpected(io_error("cannot stat expected CSV", expected_status.error()));
  auto actual_status = stat_path(actual_path);
  if (!actual_status) return std::unexpected(io_error("cannot stat actual CSV", actual_status.error()));
  if (expected_status->st_size != actual_status->st_size) return DifferentFiles{};

  auto expected = open_file(expected_path, O_RDONLY);
  if (!expected) return std::unexpected(io_error("cannot open expected CSV", expected.error()));
  auto actual = open_file(actual_path, O_RDONLY);
  if (!actual) return std::unexpected(io_error("cannot open actual CSV", actual.error()));

  auto expected_chunk = std::make_unique_for_overwrite<unsigned char[]>(kChunk);
  auto actual_chunk = std::make_unique_for_overwrite<unsigned char[]>(kChunk);
  Sha256 expected_digest;
  Sha256 actual_digest;
  for (;;) {
    auto expected_read = read_some(expected->get(), expected_chunk.get(), kChunk);
    if (!expected_read) return std::unexpected(io_error("cannot read expected CSV", expected_read.error()));
    auto actual_read = read_some(actual->get(), actual_chunk.get(), kChunk);
    if (!actual_read) return std::unexpected(io_error("cannot read actual CSV", actual_read.error()));
    if (*expected_read != *actual_read ||
        std::memcmp(expected_chunk.get(), actual_chunk.get(), *expected_read) != 0) {
      return DifferentFiles{};
    }
    if (*expected_read == 0) break;
    // Digest only what compared equal: a difference ends the pass without hashing further.
    expected_digest.update(expected_chunk.get(), *expected_read);
    actual_digest.update(actual_chunk.get(), *actual_read);
  }
  return IdenticalFiles{expected_digest.finish(), actual_digest.finish(),
                        static_cast<std::uint64_t>(expected_status->st_size)};
}

}  // namespace tessamer
