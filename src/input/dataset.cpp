// A dataset file of a run: its opens, and the checks that it is still the file first opened.
#include <fcntl.h>

#include <string>

#include "input/input.h"

namespace tessamer {

std::optional<FileIdentity> DatasetFile::identity() const {
  if (!first_) return std::nullopt;
  return first_->identity;
}

EngineError DatasetFile::changed() const {
  return EngineError{ErrorCode::NativeIoError, std::string(side_text(side_)) + " CSV changed while being read"};
}

Result<UniqueFd> DatasetFile::open() {
  auto fail = [this](const IoError& cause) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot open " + std::string(side_text(side_)) + " CSV", cause.text));
  };
  auto fd = open_file_without_waiting(path_, O_RDONLY);
  if (!fd) return fail(fd.error());
  auto status = stat_fd(fd->get());
  if (!status) return fail(status.error());
  // The first open takes what the path names (the request rules found a regular file there, and
  // a read shows whatever else it is); every later one must find just that again, so a file that
  // is no longer regular has changed.
  const FileState now = file_state(*status);
  if (!first_) {
    first_ = now;
  } else if (*first_ != now) {
    return std::unexpected(changed());
  }
  return std::move(*fd);
}

Result<void> DatasetFile::check_unchanged(int fd) const {
  auto status = stat_fd(fd);
  if (!status) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot stat " + std::string(side_text(side_)) + " CSV",
                          status.error().text));
  }
  if (!first_ || *first_ != file_state(*status)) return std::unexpected(changed());
  return {};
}

}  // namespace tessamer
