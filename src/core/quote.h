// Quoting of a text for messages, in the form a debugging printer gives a string.
#pragma once

#include <string>
#include <string_view>

namespace tessamer {

// `text` (UTF-8) between double quotes. Escaped: \" \\ \t \r \n \0, and as \u{h} (lowercase hex,
// no leading zeros) every character that is not printable (general categories Cc, Cf, Cs, Co,
// Cn, Zl, Zp, and Zs other than U+0020) or that has the Grapheme_Extend property. The single
// quote is not escaped. Bytes that are not valid UTF-8 become U+FFFD, written as it stands.
std::string debug_quote(std::string_view text);

}  // namespace tessamer
