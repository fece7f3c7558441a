// Numbers and text as people read them: grouped digits, sizes, shares, and values made visible.
#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <span>

#include "core/utf8.h"
#include "summary/detail.h"

namespace tessamer::summary::detail {
namespace {

constexpr std::string_view kEllipsis = "…";

// East Asian wide and fullwidth characters take two terminal columns. The ranges are the blocks
// that terminals draw double width; ICU's width property would pull its whole data library into
// the executable.
bool is_wide(std::int32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
         (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

// One character as shown: where it is in the value, its width, and its spelling when the
// character itself would not show.
struct Unit {
  std::size_t begin = 0, end = 0;
  std::size_t width = 0;
  char spelling[12] = {};
  std::size_t spelled = 0;  // 0: shown as it stands
  std::string_view spelled_text() const { return std::string_view(spelling, spelled); }
};

// Characters that would be invisible or ambiguous on screen (controls, format characters such
// as a zero-width space or a byte order mark, spaces other than the plain one, line and paragraph
// separators) are spelled by their code, so that values that look alike still show their
// difference.
constexpr std::uint32_t kSpelled = U_GC_CC_MASK | U_GC_CF_MASK | U_GC_ZS_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK |
                                   U_GC_CN_MASK | U_GC_CS_MASK | U_GC_CO_MASK;

// The characters of `text`. A byte that starts no valid UTF-8 character is one unit of its own.
std::vector<Unit> units_of(std::string_view text) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i < text.size();) {
    Unit unit;
    unit.begin = i;
    const bool valid = utf8::well_formed_prefix(text.substr(i, std::min<std::size_t>(4, text.size() - i))) > 0;
    std::size_t next = i + 1;
    const auto cp = valid ? static_cast<UChar32>(utf8::next_code_point(text, next = i)) : 0;
    auto spell = [&](const char* form, unsigned value) {
      unit.spelled = static_cast<std::size_t>(std::snprintf(unit.spelling, sizeof unit.spelling, form, value));
    };
    if (!valid) {
      spell("\\x%02x", static_cast<unsigned char>(text[i]));
    } else if (cp == '\n' || cp == '\t' || cp == '\r') {
      spell("\\%c", cp == '\n' ? 'n' : cp == '\t' ? 't' : 'r');
    } else if (cp < 0x20 || cp == 0x7F) {
      spell("\\x%02x", static_cast<unsigned>(cp));
    } else if (cp != ' ' && (U_GET_GC_MASK(cp) & kSpelled) != 0) {
      spell(cp > 0xFFFF ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(cp));
    } else {
      unit.width = (U_GET_GC_MASK(cp) & (U_GC_MN_MASK | U_GC_ME_MASK)) != 0 ? 0 : is_wide(cp) ? 2 : 1;
    }
    if (unit.spelled > 0) unit.width = unit.spelled;
    unit.end = i = next;
    units.push_back(unit);
  }
  return units;
}

// The code points of `text`, without white space and case-folded as asked.
std::u32string folded(std::string_view text, bool drop_space, bool fold_case) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto cp = static_cast<UChar32>(utf8::next_code_point(text, i));
    if (drop_space && u_isUWhiteSpace(cp)) continue;
    out.push_back(static_cast<char32_t>(fold_case ? u_foldCase(cp, U_FOLD_CASE_DEFAULT) : cp));
  }
  return out;
}

// The terminal columns the units take.
std::size_t width_of(std::span<const Unit> units) {
  return std::accumulate(units.begin(), units.end(), std::size_t{0}, [](std::size_t w, const Unit& u) { return w + u.width; });
}

}  // namespace

std::string grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return grouped(n) + " " + std::string(n == 1 ? one : many);
}

std::string human_bytes(std::uint64_t n) {
  if (n < 1000) return std::to_string(n) + " B";
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(n) / 1000;
  std::size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
  return buffer;
}

std::string percent(std::uint64_t count, std::uint64_t of) {
  if (of == 0) return "";
  if (count == 0) return "0%";
  const double share = static_cast<double>(count) / static_cast<double>(of) * 100.0;
  if (share < 0.05) return "<0.1%";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f%%", share);
  return buffer;
}

std::string csv_row(const std::vector<std::optional<std::string>>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out.push_back(',');
    if (!fields[i]) continue;
    const std::string& f = *fields[i];
    if (!f.empty() && f.find_first_of(",\"\r\n") == std::string::npos) {
      out.append(f);
      continue;
    }
    out.push_back('"');
    for (char c : f) {
      if (c == '"') out.push_back('"');
      out.push_back(c);
    }
    out.push_back('"');
  }
  return out;
}

std::size_t char_start(std::string_view text, std::size_t offset) {
  while (offset > 0 && offset < text.size() && utf8::is_continuation(static_cast<unsigned char>(text[offset]))) --offset;
  return offset;
}

std::string pair_label(std::string_view expected, std::string_view actual) {
  return expected == actual ? std::string(expected) : std::string(expected) + " → " + std::string(actual);
}

std::size_t display_width(std::string_view text) { return width_of(units_of(text)); }

std::vector<Span> show(const KeptValue& value, const KeptValue* other, std::size_t max_width, Mark mark) {
  max_width = std::max<std::size_t>(max_width, 8);
  const std::string_view v = value.text;
  // The differing bytes of `value`: after the common start, before the common end.
  std::size_t diff_begin = v.size(), diff_end = v.size();
  if (other != nullptr) {
    const std::string_view o = other->text;
    const std::size_t n = std::min(v.size(), o.size());
    diff_begin = char_start(v, static_cast<std::size_t>(std::ranges::mismatch(v.substr(0, n), o).in1 - v.begin()));
    std::size_t suffix = 0;
    if (!value.cut_after && !other->cut_after) {
      while (suffix < n - diff_begin && v[v.size() - 1 - suffix] == o[o.size() - 1 - suffix]) ++suffix;
      while (suffix > 0 && utf8::is_continuation(static_cast<unsigned char>(v[v.size() - suffix]))) --suffix;
    }
    diff_end = v.size() - suffix;
  }

  std::vector<Unit> units = units_of(v);
  std::size_t first = 0, last = units.size();
  bool lead = value.cut_before, trail = value.cut_after;
  if (width_of(units) + lead + trail > max_width) {
    // Keep a little of what precedes the first difference, then as much as fits.
    while (first < units.size() && units[first].end <= diff_begin) ++first;
    if (first == units.size()) first = 0;
    std::size_t before = 0;
    while (first > 0 && before + units[first - 1].width <= max_width / 3) before += units[--first].width;
    lead = lead || first > 0;
    std::size_t room = max_width - (lead ? 1 : 0);
    if (width_of(std::span(units).subspan(first)) > room || trail) {
      room -= 1;
      std::size_t used = 0;
      last = first;
      while (last < units.size() && used + units[last].width <= room) used += units[last++].width;
      trail = true;
    }
  }

  std::vector<Span> spans;
  auto add = [&](std::string_view text, Mark m) {
    if (spans.empty() || spans.back().mark != m) spans.push_back(Span{{}, m});
    spans.back().text.append(text);
  };
  if (lead) add(kEllipsis, Mark::None);
  for (std::size_t i = first; i < last; ++i) {
    const Unit& u = units[i];
    const bool differs = other != nullptr && u.begin < diff_end && u.end > diff_begin;
    std::string_view text = u.spelled == 0 ? v.substr(u.begin, u.end - u.begin) : u.spelled_text();
    if (differs && text == " ") text = "·";
    if (differs && text == "\\t") text = "→";
    add(text, differs ? mark : Mark::None);
  }
  if (trail) add(kEllipsis, Mark::None);
  return spans;
}

std::vector<Span> visible(std::string_view text, std::size_t max_width, Mark mark) {
  std::vector<Span> spans = show(KeptValue{std::string(text)}, nullptr, max_width, Mark::None);
  for (Span& span : spans) span.mark = mark;
  return spans;
}

void append_markup(std::string& out, std::string_view text) {
  static constexpr std::pair<std::string_view, std::string_view> kReferences[] = {
      {"&", "&amp;"}, {"<", "&lt;"}, {">", "&gt;"}, {"\"", "&quot;"}, {"'", "&#39;"}};
  for (const Unit& unit : units_of(text)) {
    // A spelling never holds a markup character.
    const std::string_view c = unit.spelled > 0 ? unit.spelled_text() : text.substr(unit.begin, unit.end - unit.begin);
    const auto* reference = std::ranges::find(kReferences, c, &std::pair<std::string_view, std::string_view>::first);
    out.append(reference != std::end(kReferences) ? reference->second : c);
  }
}

Likeness likeness(std::string_view a, std::string_view b) {
  if (a == b) return Likeness::None;
  if (folded(a, true, false) == folded(b, true, false)) return Likeness::Whitespace;
  if (folded(a, false, true) == folded(b, false, true)) return Likeness::Case;
  if (folded(a, true, true) == folded(b, true, true)) return Likeness::WhitespaceAndCase;
  return Likeness::None;
}

}  // namespace tessamer::summary::detail
