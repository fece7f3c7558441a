// The one error value of the engine, and the texts of operating-system errors.
//
// Every failure of a run is one EngineError: a code and a message. Errors travel back to the
// driver as values (`Result<T>`), never as exceptions; the first one ends the run.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "core/try.h"

namespace tessamer {

enum class ErrorCode {
  InvalidNativeArguments,     // the command line
  InvalidNativeRequest,       // request parsing, request-level rules, dialect characters
  NativeIoError,              // request read, dataset stat/open/read, report create/write
  InvalidGoldenDataset,       // dataset content, headers, column plan
  UnsupportedNativeEncoding,  // an encoding label outside the Encoding Standard
  NativeReportError,          // writing JSON text: a divergence line or the result document
};

// The code as callers see it, e.g. "NATIVE_IO_ERROR".
std::string_view error_code_text(ErrorCode code);

struct EngineError {
  ErrorCode code;
  std::string message;

  // "context: cause", the one form in which a message wraps a cause.
  static EngineError wrap(ErrorCode code, std::string_view context, std::string_view cause) {
    std::string message;
    message.reserve(context.size() + 2 + cause.size());
    message.append(context).append(": ").append(cause);
    return EngineError{code, std::move(message)};
  }

  friend bool operator==(const EngineError&, const EngineError&) = default;
};

template <class T>
using Result = std::expected<T, EngineError>;

// An I/O failure below the engine's own vocabulary: only its text, which callers wrap.
struct IoError {
  std::string text;
  friend bool operator==(const IoError&, const IoError&) = default;
};

template <class T>
using IoResult = std::expected<T, IoError>;

// The platform's description of `errnum` followed by " (os error N)",
// e.g. "No such file or directory (os error 2)".
std::string system_error_text(int errnum);

// The text given for a path that cannot reach the file system because it holds a NUL byte.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

}  // namespace tessamer
