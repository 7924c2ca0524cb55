// The character classes of JSON5 beyond ASCII: which code points may start an identifier name,
// which may continue one, and which are white space. The ranges are generated from Unicode data
// (scripts/gen_json5_chars.py writes json5_chars_table.cpp); ASCII is decided here inline,
// because nearly every character a reader meets is ASCII.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace orn::json5_chars {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;
};

// Sorted, disjoint, covering every code point (ASCII included) of the classes they name.
extern const CodePointRange kIdStart[];  // Lu, Ll, Lt, Lm, Lo, Nl
extern const std::size_t kIdStartSize;
extern const CodePointRange kIdPart[];  // Mn, Mc, Nd, Pc
extern const std::size_t kIdPartSize;
extern const CodePointRange kSpace[];  // Zs
extern const std::size_t kSpaceSize;
extern const char kUnicodeVersion[];

inline bool in_ranges(const CodePointRange* table, std::size_t size, std::uint32_t cp) {
  const CodePointRange* end = table + size;
  const CodePointRange* it = std::upper_bound(
      table, end, cp, [](std::uint32_t c, const CodePointRange& r) { return c < r.first; });
  return it != table && cp <= (it - 1)->last;
}

constexpr bool is_ascii_id_start(std::uint32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' || c == '_';
}

constexpr bool is_ascii_id_part(std::uint32_t c) {
  return is_ascii_id_start(c) || (c >= '0' && c <= '9');
}

// "$", "_" or a letter: the first character of an identifier name.
inline bool is_id_start(std::uint32_t cp) {
  if (cp < 0x80) return is_ascii_id_start(cp);
  return in_ranges(kIdStart, kIdStartSize, cp);
}

// Any later character of an identifier name: a start character, a combining mark, a digit, a
// connector, or ZWNJ / ZWJ.
inline bool is_id_part(std::uint32_t cp) {
  if (cp < 0x80) return is_ascii_id_part(cp);
  if (cp == 0x200C || cp == 0x200D) return true;
  return in_ranges(kIdStart, kIdStartSize, cp) || in_ranges(kIdPart, kIdPartSize, cp);
}

// White space beyond ASCII: NBSP and the rest of Zs, the line and paragraph separators, and the
// byte order mark.
inline bool is_space_beyond_ascii(std::uint32_t cp) {
  if (cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF) return true;
  return in_ranges(kSpace, kSpaceSize, cp);
}

}  // namespace orn::json5_chars
