// Error code names and the text of operating-system errors.
#include "core/error.h"

#include <cstring>

namespace tessamer {

std::string_view error_code_text(ErrorCode code) {
  switch (code) {
    case ErrorCode::InvalidNativeArguments: return "INVALID_NATIVE_ARGUMENTS";
    case ErrorCode::InvalidNativeRequest: return "INVALID_NATIVE_REQUEST";
    case ErrorCode::NativeIoError: return "NATIVE_IO_ERROR";
    case ErrorCode::InvalidGoldenDataset: return "INVALID_GOLDEN_DATASET";
    case ErrorCode::UnsupportedNativeEncoding: return "UNSUPPORTED_NATIVE_ENCODING";
    case ErrorCode::NativeReportError: return "NATIVE_REPORT_ERROR";
  }
  return "NATIVE_IO_ERROR";
}

std::string system_error_text(int errnum) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  std::string text(description);
  text.append(" (os error ").append(std::to_string(errnum)).append(")");
  return text;
}

}  // namespace tessamer
