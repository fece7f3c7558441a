// Passing the error of a std::expected up to the caller, in one line: the one idiom for it.
//
// Header-only and free of the engine's types, so that the self-contained modules (the JSON
// reader, the Encoding Standard) use it too. Works with any std::expected whose error converts to
// the caller's: the error moves up unchanged.
#pragma once

#include <expected>
#include <utility>

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
