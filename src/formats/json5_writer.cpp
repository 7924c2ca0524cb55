#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/byte_scan.hpp"
#include "formats/json5.hpp"
#include "formats/json5_chars.hpp"
#include "formats/numbers.hpp"
#include "formats/tree_writer.hpp"
#include "formats/utf8.hpp"

namespace orn {

namespace {

// For each byte, the letter that follows the backslash of its escape, 0 when it is written as it
// is, or kSeparatorLead for 0xE2, the lead byte of U+2028 and U+2029. A quotation mark is escaped
// only when it is the delimiter: one table per delimiter.
constexpr char kSeparatorLead = 1;
constexpr std::array<char, 256> escape_letters(char quote) {
  std::array<char, 256> table{};
  table['\\'] = '\\';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table[static_cast<unsigned char>(quote)] = quote;
  table[0xE2] = kSeparatorLead;
  return table;
}
constexpr std::array<char, 256> kInDoubleQuotes = escape_letters('"');
constexpr std::array<char, 256> kInSingleQuotes = escape_letters('\'');

// A string between the quotation marks that need no escape where possible: single ones when it
// holds a double one and no single one. Line and paragraph separators are escaped because older
// readers end a line there.
void write_string(TextBuffer& out, std::string_view s) {
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = has_double && s.find('\'') == std::string_view::npos ? '\'' : '"';
  const std::array<char, 256>& letters = quote == '"' ? kInDoubleQuotes : kInSingleQuotes;
  // Room for the worst case first (an escape at most doubles its bytes), then plain stores with
  // no branch on the byte: settings text mixes escapes in at random, which a branch per byte
  // would mispredict.
  const char* end = s.data() + s.size();
  const char* q = s.data();
  while (q != end && letters[static_cast<unsigned char>(*q)] == 0) ++q;
  if (q == end) {  // most strings: nothing to escape
    out += quote;
    out += s;
    out += quote;
    return;
  }
  char* w = out.claim(2 * s.size() + 2);
  *w++ = quote;
  std::memcpy(w, s.data(), static_cast<std::size_t>(q - s.data()));
  w += q - s.data();
  for (; q != end; ++q) {
    char letter = letters[static_cast<unsigned char>(*q)];
    if (letter == kSeparatorLead) [[unlikely]] {
      if (end - q >= 3 && static_cast<unsigned char>(q[1]) == 0x80 &&
          (static_cast<unsigned char>(q[2]) == 0xA8 || static_cast<unsigned char>(q[2]) == 0xA9)) {
        std::memcpy(w, static_cast<unsigned char>(q[2]) == 0xA8 ? "\\u2028" : "\\u2029", 6);
        w += 6;
        q += 2;
        continue;
      }
      letter = 0;
    }
    w[0] = letter != 0 ? '\\' : *q;
    w[1] = letter;
    w += letter != 0 ? 2 : 1;
  }
  *w++ = quote;
  out.advance(w);
}

void write_key(TextBuffer& out, std::string_view key) {
  if (is_json5_identifier(key)) {
    out += key;
  } else {
    write_string(out, key);
  }
}

struct Json5Emitter {
  TextBuffer& out;

  void null() { out += "null"; }
  void boolean(bool b) { out += b ? "true" : "false"; }
  void uinteger(std::uint64_t u) { append_uint(out, u); }
  void integer(std::int64_t i) { append_int(out, i); }
  void floating(double d) {
    // An integral float reads back as an integer. Within the integer range its exact digits are
    // written: beyond 2^53 the shortest digits name a float but read back as another integer.
    // Beyond that range ".0" keeps it a float, which the reader would otherwise refuse as an
    // integer out of range ("JSON number out of range"). Doubles that large are all integral.
    if (d >= 18446744073709551616.0 || d < -9223372036854775808.0) {
      append_float(out, d, FloatLayout::Json5);
      out += ".0";
    } else if (d != 0 && std::trunc(d) == d) {
      if (d < 0) {
        append_int(out, static_cast<std::int64_t>(d));
      } else {
        append_uint(out, static_cast<std::uint64_t>(d));
      }
    } else {
      append_float(out, d, FloatLayout::Json5);
    }
  }
  void string(std::string_view s) { write_string(out, s); }
  void empty(const SettingValue& container) { out += container.is_list() ? "[]" : "{}"; }
  void open(const SettingValue& container) { out += container.is_list() ? '[' : '{'; }
  // Every element is followed by a comma, the last one included.
  void item(std::size_t index, std::size_t level) {
    if (index != 0) out += ',';
    append_newline(out, level, 2);
  }
  void entry(std::string_view key, std::size_t index, std::size_t level) {
    item(index, level);
    write_key(out, key);
    out += ": ";
  }
  void close(const SettingValue& container, std::size_t level) {
    out += ',';
    append_newline(out, level, 2);
    out += container.is_list() ? ']' : '}';
  }
};

}  // namespace

bool is_json5_identifier(std::string_view key) {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const auto* end = p + key.size();
  if (p == end) return false;
  // Nearly every key is ASCII letters, digits, '_' and '$': tested sixteen bytes a step. Any
  // other key is judged a character at a time, one table load for each ASCII character, and
  // goes on to the decoding loop below from its first byte beyond ASCII.
  if (all_word_bytes(key, '$')) return !(*p >= '0' && *p <= '9');
  enum Class : std::uint8_t { kNever, kPart, kBeyondAscii };
  static constexpr auto kClass = [] {
    std::array<std::uint8_t, 0x100> table{};
    for (std::uint32_t c = 0; c < 0x100; ++c) {
      table[c] = c >= 0x80 ? kBeyondAscii : json5_chars::is_ascii_id_part(c) ? kPart : kNever;
    }
    return table;
  }();
  bool first = true;
  if (*p < 0x80) {
    if (!json5_chars::is_ascii_id_start(*p)) return false;
    first = false;
    ++p;
    while (p != end && kClass[*p] == kPart) ++p;
    if (p == end) return true;
    if (kClass[*p] == kNever) return false;
  }
  while (p != end) {
    std::uint32_t cp = *p;
    std::size_t n = 1;
    if (cp >= 0x80) {
      n = decode_utf8(p, end, cp);
      if (n == 0) return false;
    }
    if (!(first ? json5_chars::is_id_start(cp) : json5_chars::is_id_part(cp))) return false;
    first = false;
    p += n;
  }
  return true;
}

std::string write_json5(const SettingValue& root) {
  TextBuffer out;
  walk_tree(root, kAnyDepth, Json5Emitter{out});
  return out.take();
}

Result<TextBuffer> write_json5_file(const SettingValue& root) {
  TextBuffer out;
  if (!walk_tree(root, kJson5MaxDepth, Json5Emitter{out})) {
    return too_deep_error("JSON5", root, kJson5MaxDepth);
  }
  return out;
}

}  // namespace orn
