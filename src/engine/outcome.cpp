// Printing the outcome: the result document on standard output, the error document on standard
// error.
#include <string>

#include "core/file.h"
#include "engine/engine.h"

namespace tessamer {

int emit_result_document(const JsonValue& document, int out_fd, int err_fd) {
  // The document and its newline leave in one piece: a caller never sees a complete document
  // from a run that then reports a failure, and every failure comes with its error document.
  std::string text = to_compact_json(document);
  text.push_back('\n');
  if (auto written = write_all(out_fd, text.data(), text.size(), "failed to write the buffered data"); !written) {
    return emit_error_document(EngineError{ErrorCode::NativeReportError, std::move(written.error().text)}, err_fd);
  }
  return 0;
}

int emit_error_document(const EngineError& error, int err_fd) {
  JsonValue document = JsonValue::object();
  document.set("code", JsonValue::string(std::string(error_code_text(error.code))));
  document.set("message", JsonValue::string(error.message));
  std::string text = to_compact_json(document);
  text.push_back('\n');
  (void)write_all(err_fd, text.data(), text.size(), "failed to write whole buffer");
  return 2;
}

}  // namespace tessamer
