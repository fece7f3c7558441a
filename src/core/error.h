// The one error value of the engine, and the texts of operating-system errors.
//
// Every failure of a run is one EngineError: a code and a message. Errors travel back to the
// driver as values (`Result<T>`), never as exceptions; the first one ends the run.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

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

// Passes the error of an expected-returning expression up to the caller.
#define TESSAMER_TRY(expr)                                \
  do {                                                    \
    if (auto tessamer_try_result_ = (expr); !tessamer_try_result_) \
      return std::unexpected(std::move(tessamer_try_result_).error()); \
  } while (false)

// Declares or assigns `lhs` from the value of an expected-returning expression, or passes its
// error up to the caller: TESSAMER_ASSIGN_OR_RETURN(auto names, read_header(...));
#define TESSAMER_ASSIGN_OR_RETURN(lhs, expr) \
  TESSAMER_ASSIGN_OR_RETURN_IMPL_(TESSAMER_CONCAT_(tessamer_assign_result_, __LINE__), lhs, expr)
#define TESSAMER_ASSIGN_OR_RETURN_IMPL_(result, lhs, expr)         \
  auto result = (expr);                                           \
  if (!result) return std::unexpected(std::move(result).error()); \
  lhs = std::move(*result)
#define TESSAMER_CONCAT_(a, b) TESSAMER_CONCAT_INNER_(a, b)
#define TESSAMER_CONCAT_INNER_(a, b) a##b
