// Backslash escapes of the text formats: reading hexadecimal escapes, UTF-16 surrogate pairs,
// and writing strings through a per-format table of which bytes are escaped and how.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orn {

// The value of one hexadecimal digit of either case, or -1.
inline int hex_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of digits read as hexadecimal (at most eight of them), or -1 when one is not a digit
// or there are none.
std::int64_t parse_hex(std::string_view digits);

constexpr bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr std::uint32_t combine_surrogates(std::uint32_t high, std::uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

enum class HexCase : std::uint8_t { Lower, Upper };

// "\uXXXX" for one UTF-16 unit.
void append_u4_escape(std::string& out, std::uint32_t unit, HexCase hex);
// "\uXXXX", or a surrogate pair of them above U+FFFF.
void append_utf16_escape(std::string& out, std::uint32_t code_point, HexCase hex);
// "\UXXXXXXXX".
void append_u8_escape(std::string& out, std::uint32_t code_point, HexCase hex);
// "\xHH".
void append_x_escape(std::string& out, std::uint8_t byte, HexCase hex);

// How a string writer treats each byte: kPlain writes it unchanged, kUnicode as "\u00XX", and
// any other letter L as a backslash followed by L ('n' for a line feed, '"' for the quotation
// mark). Bytes above 0x7F are parts of characters; formats that escape some of those characters
// do so on top of the table.
struct EscapeTable {
  static constexpr char kPlain = 0;
  static constexpr char kUnicode = 'u';
  std::array<char, 256> action{};
  HexCase hex = HexCase::Lower;
};

// The table that escapes every control character below U+0020 as "\u00XX" except those with a
// short form: backspace b, tab t, line feed n, form feed f, carriage return r.
constexpr EscapeTable control_escapes(HexCase hex) {
  EscapeTable table;
  table.hex = hex;
  for (int c = 0; c < 0x20; ++c) table.action[c] = EscapeTable::kUnicode;
  table.action['\b'] = 'b';
  table.action['\t'] = 't';
  table.action['\n'] = 'n';
  table.action['\f'] = 'f';
  table.action['\r'] = 'r';
  return table;
}

// Appends text with the table's escapes; no quotation marks around it.
void append_escaped(std::string& out, std::string_view text, const EscapeTable& table);

}  // namespace orn
