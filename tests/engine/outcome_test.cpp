#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include "engine/engine.h"

namespace tessamer {
namespace {

JsonValue str(std::string s) { return JsonValue::string(std::move(s)); }

// A pipe whose read end is read back after the write, for the outcome documents.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  std::string drain() {
    ::close(fds[1]);
    fds[1] = -1;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }
  int fds[2] = {-1, -1};
};

TEST(OutcomeDocuments, ResultGoesToStdoutWithNewline) {
  Pipe out, err;
  JsonValue document = JsonValue::object();
  document.set("status", str("FAIL"));
  EXPECT_EQ(emit_result_document(document, out.fds[1], err.fds[1]), 0);
  EXPECT_EQ(out.drain(), "{\"status\":\"FAIL\"}\n");
  EXPECT_EQ(err.drain(), "");
}

TEST(OutcomeDocuments, ErrorDocumentIsOneLine) {
  Pipe err;
  EXPECT_EQ(emit_error_document(EngineError{ErrorCode::InvalidNativeArguments, "usage: \"x\""}, err.fds[1]), 2);
  EXPECT_EQ(err.drain(), "{\"code\":\"INVALID_NATIVE_ARGUMENTS\",\"message\":\"usage: \\\"x\\\"\"}\n");
}

TEST(OutcomeDocuments, FailedResultWriteBecomesReportError) {
  struct Case {
    const char* name;
    int (*open_stdout)();
    std::string message;
  };
  const Case cases[] = {
      {"broken pipe",
       [] {
         int fds[2];
         EXPECT_EQ(::pipe(fds), 0);
         ::close(fds[0]);
         return fds[1];
       },
       "Broken pipe (os error 32)"},
      {"device full", [] { return ::open("/dev/full", O_WRONLY); }, "No space left on device (os error 28)"},
      {"closed descriptor", [] { return 1000; }, "Bad file descriptor (os error 9)"},
  };
  std::signal(SIGPIPE, SIG_IGN);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int out_fd = c.open_stdout();
    Pipe err;
    JsonValue document = JsonValue::object();
    document.set("status", str("PASS"));
    EXPECT_EQ(emit_result_document(document, out_fd, err.fds[1]), 2);
    EXPECT_EQ(err.drain(), "{\"code\":\"NATIVE_REPORT_ERROR\",\"message\":\"" + c.message + "\"}\n");
    if (out_fd != 1000) ::close(out_fd);
  }
}

TEST(OutcomeDocuments, ClosedStderrStillEndsWithStatusTwo) {
  EXPECT_EQ(emit_error_document(EngineError{ErrorCode::NativeIoError, "x"}, 1000), 2);
}

}  // namespace
}  // namespace tessamer
