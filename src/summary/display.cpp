// Numbers and values as people read them: grouped digits, sizes, shares, escaped and shortened text.
#include <unicode/uchar.h>

#include <algorithm>
#include <numeric>
#include <cstdio>

#include "summary/detail.h"

namespace tessamer::summary::detail {
namespace {

constexpr std::string_view kEllipsis = "…";

// The next code point of `text` at `i` (advancing `i`), or -1 for a byte that starts no valid
// UTF-8 character (then `i` advances by one).
std::int32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char c = s[i];
  if (c < 0x80) {
    ++i;
    return c;
  }
  std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (length == 0 || i + length > text.size()) {
    ++i;
    return -1;
  }
  std::int32_t cp = c & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (s[i + k] & 0x3F);
  }
  i += length;
  return cp;
}

// East Asian wide and fullwidth characters take two terminal columns. The ranges are the blocks
// that terminals draw double width; ICU's width property would pull its whole data library into
// the executable.
bool is_wide(std::int32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
         (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

// One character as shown: its display text and width.
struct Unit {
  std::size_t begin = 0;  // byte offset in the value
  std::size_t end = 0;
  std::size_t width = 0;
  bool escaped = false;
  std::string text;  // set only when escaped
};

void describe_unit(std::string_view text, Unit& unit, std::int32_t cp) {
  char buffer[16];
  auto escape = [&](const char* form, unsigned value) {
    std::snprintf(buffer, sizeof buffer, form, value);
    unit.escaped = true;
    unit.text = buffer;
    unit.width = unit.text.size();
  };
  if (cp < 0) return escape("\\x%02x", static_cast<unsigned char>(text[unit.begin]));
  if (cp == '\n') return escape("\\n", 0);
  if (cp == '\t') return escape("\\t", 0);
  if (cp == '\r') return escape("\\r", 0);
  if (cp < 0x20 || cp == 0x7F) return escape("\\x%02x", static_cast<unsigned>(cp));
  if (cp < 0x80) {
    unit.width = 1;
    return;
  }
  // Characters that would be invisible or ambiguous on screen (C1 controls, format characters
  // such as a zero-width space or a byte order mark, spaces other than the plain one) are shown
  // by their code, so that two values that look alike still show their difference.
  auto category = static_cast<UCharCategory>(u_charType(cp));
  if (category == U_CONTROL_CHAR || category == U_FORMAT_CHAR || category == U_SPACE_SEPARATOR ||
      category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR || category == U_UNASSIGNED ||
      category == U_SURROGATE || category == U_PRIVATE_USE_CHAR) {
    return escape(cp > 0xFFFF ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(cp));
  }
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK) {
    unit.width = 0;
    return;
  }
  unit.width = is_wide(cp) ? 2 : 1;
}

std::vector<Unit> units_of(std::string_view text) {
  std::vector<Unit> units;
  std::size_t i = 0;
  while (i < text.size()) {
    Unit unit;
    unit.begin = i;
    std::int32_t cp = next_code_point(text, i);
    unit.end = i;
    describe_unit(text, unit, cp);
    units.push_back(std::move(unit));
  }
  return units;
}

std::size_t align_back(std::string_view text, std::size_t offset) {
  while (offset > 0 && offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80) --offset;
  return offset;
}

}  // namespace

std::string grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string human_bytes(std::uint64_t n) {
  if (n < 1000) return std::to_string(n) + " B";
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(n);
  std::size_t unit = 0;
  value /= 1000;
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
  double share = static_cast<double>(count) / static_cast<double>(of) * 100.0;
  if (share < 0.05) return "<0.1%";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f%%", share);
  return buffer;
}

std::string csv_row(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out.push_back(',');
    const std::string& f = fields[i];
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
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

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (const Unit& unit : units_of(text)) width += unit.width;
  return width;
}

Shown show(const KeptValue& value, const KeptValue* other, std::size_t max_width) {
  max_width = std::max<std::size_t>(max_width, 8);
  std::string_view v = value.text;
  // The differing bytes of `value`: after the common start, before the common end.
  std::size_t diff_begin = v.size(), diff_end = v.size();
  if (other != nullptr) {
    std::string_view o = other->text;
    std::size_t n = std::min(v.size(), o.size());
    std::size_t prefix = static_cast<std::size_t>(std::mismatch(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n), o.begin()).first - v.begin());
    prefix = align_back(v, prefix);
    std::size_t suffix = 0;
    if (!value.cut_after && !other->cut_after) {
      while (suffix < n - prefix && v[v.size() - 1 - suffix] == o[o.size() - 1 - suffix]) ++suffix;
      while (suffix > 0 && (static_cast<unsigned char>(v[v.size() - suffix]) & 0xC0) == 0x80) --suffix;
    }
    diff_begin = prefix;
    diff_end = v.size() - suffix;
  }

  std::vector<Unit> units = units_of(v);
  std::size_t total = 0;
  for (const Unit& u : units) total += u.width;
  std::size_t first = 0, last = units.size();
  bool lead = value.cut_before, trail = value.cut_after;
  if (total + lead + trail > max_width) {
    // Keep a little of what precedes the first difference, then as much as fits.
    std::size_t d = 0;
    while (d < units.size() && units[d].end <= diff_begin) ++d;
    if (d == units.size()) d = 0;
    std::size_t before = 0;
    first = d;
    while (first > 0 && before + units[first - 1].width <= max_width / 3) before += units[--first].width;
    lead = lead || first > 0;
    std::size_t room = max_width - (lead ? 1 : 0);
    std::size_t rest = 0;
    for (std::size_t i = first; i < units.size(); ++i) rest += units[i].width;
    if (rest > room || trail) {
      room -= 1;
      trail = true;
      std::size_t used = 0;
      last = first;
      while (last < units.size() && used + units[last].width <= room) used += units[last++].width;
      trail = trail || last < units.size();
    }
  }

  Shown shown;
  auto add = [&](std::string_view text, bool differs, std::size_t width) {
    if (!shown.pieces.empty() && shown.pieces.back().differs == differs) {
      shown.pieces.back().text.append(text);
    } else {
      shown.pieces.push_back(Piece{std::string(text), differs});
    }
    shown.width += width;
  };
  if (lead) add(kEllipsis, false, 1);
  for (std::size_t i = first; i < last; ++i) {
    const Unit& u = units[i];
    bool differs = u.begin < diff_end && u.end > diff_begin;
    add(u.escaped ? std::string_view(u.text) : v.substr(u.begin, u.end - u.begin), differs, u.width);
  }
  if (trail) add(kEllipsis, false, 1);
  return shown;
}

std::vector<std::size_t> columns_by_count(const ReportSummary& report) {
  std::vector<std::size_t> order(report.by_column.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::erase_if(order, [&](std::size_t i) { return report.by_column[i].count == 0; });
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const std::uint64_t x = report.by_column[a].count, y = report.by_column[b].count;
    return x != y ? x > y : a < b;  // ties in plan order
  });
  return order;
}

}  // namespace tessamer::summary::detail
