#include "formats/escapes.hpp"

namespace orn {

namespace {

void append_hex(std::string& out, std::uint32_t value, int digits, HexCase hex) {
  const char* alphabet = hex == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out += alphabet[(value >> shift) & 0xF];
}

}  // namespace

std::int64_t parse_hex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return -1;
  std::int64_t value = 0;
  for (char c : digits) {
    int v = hex_digit(static_cast<unsigned char>(c));
    if (v < 0) return -1;
    value = value * 16 + v;
  }
  return value;
}

void append_u4_escape(std::string& out, std::uint32_t unit, HexCase hex) {
  out += "\\u";
  append_hex(out, unit, 4, hex);
}

void append_utf16_escape(std::string& out, std::uint32_t code_point, HexCase hex) {
  if (code_point < 0x10000) {
    append_u4_escape(out, code_point, hex);
    return;
  }
  code_point -= 0x10000;
  append_u4_escape(out, 0xD800 + (code_point >> 10), hex);
  append_u4_escape(out, 0xDC00 + (code_point & 0x3FF), hex);
}

void append_u8_escape(std::string& out, std::uint32_t code_point, HexCase hex) {
  out += "\\U";
  append_hex(out, code_point, 8, hex);
}

void append_x_escape(std::string& out, std::uint8_t byte, HexCase hex) {
  out += "\\x";
  append_hex(out, byte, 2, hex);
}

void append_escaped(std::string& out, std::string_view text, const EscapeTable& table) {
  const char* run = text.data();
  const char* end = run + text.size();
  for (const char* q = run; q != end; ++q) {
    unsigned char c = static_cast<unsigned char>(*q);
    char action = table.action[c];
    if (action == EscapeTable::kPlain) continue;
    out.append(run, q);
    run = q + 1;
    if (action == EscapeTable::kUnicode) {
      append_u4_escape(out, c, table.hex);
    } else {
      char escape[2] = {'\\', action};
      out.append(escape, 2);
    }
  }
  out.append(run, end);
}

}  // namespace orn
