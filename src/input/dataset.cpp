// A dataset file of a run: its opens, its read lease, and the checks that it is still the file
// first opened.
#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "input/input.h"

namespace tessamer {
namespace {

// A lease break is told by a signal (SIGIO) to the process holding the lease, and SIGIO ends a
// process by default; the engine sees breaks by asking instead. SIGIO is ignored unless the
// process already handles it, once, before the first lease is asked for.
void ignore_lease_break_signals() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current{};
    if (::sigaction(SIGIO, nullptr, &current) != 0) return;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL) {
      struct sigaction ignore{};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      (void)::sigaction(SIGIO, &ignore, nullptr);
    }
  });
}

}  // namespace

std::optional<FileIdentity> DatasetFile::identity() const {
  if (!first_) return std::nullopt;
  return first_->identity;
}

EngineError DatasetFile::changed() const {
  return EngineError{ErrorCode::NativeIoError, std::string(side_text(side_)) + " CSV changed while being read"};
}

bool DatasetFile::Lease::intact() const { return fd_ && ::fcntl(fd_.get(), F_GETLEASE) == F_RDLCK; }

void DatasetFile::Lease::release() {
  if (!fd_) return;
  // Given up before the descriptor closes, so that a writer waiting on it goes on even while
  // another descriptor of the same open file is still about.
  (void)::fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
  fd_.reset();
}

bool DatasetFile::lease_intact() {
  if (lease_.held() && !lease_.intact()) {
    // A writer is waiting to open or truncate the file: what is read from here on may not be the
    // file first opened, and the writer need not wait any longer to show it.
    broken_ = true;
    lease_.release();
  }
  return !broken_;
}

Result<UniqueFd> DatasetFile::open() {
  auto fail = [this](const IoError& cause) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot open " + std::string(side_text(side_)) + " CSV", cause.text));
  };
  auto fd = open_file_without_waiting(path_, O_RDONLY);
  if (!fd) return fail(fd.error());
  if (!first_) {
    // The lease comes before the state is taken and before any byte is read, so that every
    // change after the state was taken either breaks it or shows in the state.
    // A signal of 0 is SIGIO, which must not end the run.
    ignore_lease_break_signals();
    if (::fcntl(fd->get(), F_SETSIG, 0) == 0 && ::fcntl(fd->get(), F_SETLEASE, F_RDLCK) == 0) {
      UniqueFd holder(::fcntl(fd->get(), F_DUPFD_CLOEXEC, 0));
      if (!holder) {
        const int error = errno;
        (void)::fcntl(fd->get(), F_SETLEASE, F_UNLCK);
        return fail(IoError{system_error_text(error)});
      }
      lease_.hold(std::move(holder));
    } else if (errno == EAGAIN) {
      return std::unexpected(EngineError{ErrorCode::NativeIoError, std::string(side_text(side_)) +
                                                                       " CSV is open for writing by another process"});
    }
    // Refused for any other reason (not the file's owner, a file system or file type without
    // leases, leases disabled): the state checks below are all there is.
  }
  auto status = stat_fd(fd->get());
  if (!status) return fail(status.error());
  // The first open takes what the path names (the request rules found a regular file there, and
  // a read shows whatever else it is); every later one must find just that again, so a file that
  // is no longer regular has changed.
  const FileState now = file_state(*status);
  if (!first_) {
    first_ = now;
  } else if (*first_ != now || !lease_intact()) {
    return std::unexpected(changed());
  }
  return std::move(*fd);
}

Result<void> DatasetFile::check_unchanged(int fd) {
  if (!lease_intact()) return std::unexpected(changed());
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
