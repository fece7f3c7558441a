// Labels and names; the decoders and encoders are in decoders.cpp and encoders.cpp.
#include "encoding/encoding.h"

#include <algorithm>
#include <array>

#include "encoding/generated/tables.h"

namespace encoding {
namespace {

constexpr bool is_ascii_whitespace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr auto kAllEncodings = [] {
  std::array<Encoding, tables::kEncodingCount> all{};
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<Encoding>(i);
  return all;
}();

}  // namespace

std::optional<Encoding> for_label(std::string_view label) {
  while (!label.empty() && is_ascii_whitespace(label.front())) label.remove_prefix(1);
  while (!label.empty() && is_ascii_whitespace(label.back())) label.remove_suffix(1);
  if (label.size() > tables::kLongestLabel) return std::nullopt;
  // Only ASCII letters fold: a non-ASCII byte never matches, as no label has one.
  std::array<char, tables::kLongestLabel> folded{};
  std::transform(label.begin(), label.end(), folded.begin(), ascii_lower);
  const std::string_view key(folded.data(), label.size());
  const auto found = std::lower_bound(tables::labels.begin(), tables::labels.end(), key,
                                      [](const tables::Label& entry, std::string_view k) { return entry.label < k; });
  if (found == tables::labels.end() || found->label != key) return std::nullopt;
  return found->encoding;
}

std::string_view name(Encoding encoding) { return tables::names[static_cast<std::size_t>(encoding)]; }

std::span<const Encoding> all_encodings() { return kAllEncodings; }

}  // namespace encoding
