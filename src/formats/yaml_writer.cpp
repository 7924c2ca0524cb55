// Writing YAML. The layout is libyaml's emitter's for the events a tree gives (block
// collections, flow only when empty, no tags, no document markers, unlimited width, indentation
// 2), reproduced here step for step: its state (the indentation stack, the column, whether the
// line holds only indentation and indicators, whether the last character was white space) and
// its rules for which scalar styles a text permits. The one change is that characters above
// U+FFFF are printable and written as themselves, where libyaml would quote and escape them.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/byte_scan.hpp"
#include "formats/numbers.hpp"
#include "formats/tree_writer.hpp"
#include "formats/yaml.hpp"

namespace orn {

namespace {

constexpr int kIndent = 2;

using Byte = unsigned char;

// The length of the UTF-8 character that begins with lead.
inline std::size_t width_of(Byte lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

// Line breaks as YAML 1.1 counts them: CR, LF, NEL, LS and PS. end is the text's end, read as a
// NUL byte, as libyaml reads the terminator behind its copy of the value.
inline bool is_break(const Byte* p, const Byte* end) {
  if (p == end) return false;
  if (p[0] == '\r' || p[0] == '\n') return true;
  if (p[0] == 0xC2) return end - p >= 2 && p[1] == 0x85;
  if (p[0] == 0xE2) return end - p >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9);
  return false;
}

inline bool is_blank_or_end(const Byte* p, const Byte* end) {
  return p == end || p[0] == ' ' || p[0] == '\t' || p[0] == '\0' || is_break(p, end);
}

// The printable set: LF, U+0020..U+007E, and the non-ASCII characters except U+0080..U+009F,
// U+FEFF, U+FFFE and U+FFFF (the surrogates never occur in valid UTF-8).
inline bool is_printable(const Byte* p) {
  const Byte c = p[0];
  if (c == 0x0A || (c >= 0x20 && c <= 0x7E)) return true;
  if (c < 0x80) return false;
  if (c == 0xC2) return p[1] >= 0xA0;
  if (c == 0xEF) return !(p[1] == 0xBB && p[2] == 0xBF) && !(p[1] == 0xBF && p[2] >= 0xBE);
  return true;
}

// Which styles a text permits in block context (libyaml's scalar analysis).
struct Analysis {
  bool has_line_feed = false;
  bool multiline = false;
  bool plain = true;
  bool single_quoted = true;
  bool block = true;
};

// Bytes that change no style decision anywhere but at the text's ends: letters, digits, spaces
// and the quiet punctuation, and the non-ASCII bytes except the lead bytes of NEL and U+0080..
// U+009F (0xC2), LS and PS (0xE2), and U+FEFF, U+FFFE, U+FFFF (0xEF).
constexpr std::array<bool, 256> kQuiet = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = true;
  for (char c : std::string_view(" $()+-./;<=^_~")) table[static_cast<Byte>(c)] = true;
  for (int c = 0x80; c <= 0xFF; ++c) table[c] = c != 0xC2 && c != 0xE2 && c != 0xEF;
  return table;
}();

// Bytes that, past a text's first character, change no style decision: all but white space,
// ':' and '#', the controls and DEL, and the lead bytes named under kQuiet. Continuation bytes
// are among them, so a run of these may be skipped byte by byte without decoding.
constexpr std::array<bool, 256> kNeutral = [] {
  std::array<bool, 256> table{};
  for (int c = 0x21; c <= 0x7E; ++c) table[c] = c != ':' && c != '#';
  for (int c = 0x80; c <= 0xFF; ++c) table[c] = c != 0xC2 && c != 0xE2 && c != 0xEF;
  return table;
}();

// Bytes that go on a run of a single-quoted scalar whatever follows them: all but the space,
// the apostrophe and the bytes that may begin a line break. Continuation bytes are among them.
constexpr std::array<bool, 256> kInRun = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = c != ' ' && c != '\'' && c != '\r' && c != '\n' && c != 0xC2 && c != 0xE2;
  }
  return table;
}();

// Whether the first character of a non-empty text is an indicator that keeps it from being
// plain: one that always is, or '?', ':' or '-' before a blank or the end.
bool leading_indicator(std::string_view text) {
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  switch (*p) {
    case '#':
    case ',':
    case '[':
    case ']':
    case '{':
    case '}':
    case '&':
    case '*':
    case '!':
    case '|':
    case '>':
    case '\'':
    case '"':
    case '%':
    case '@':
    case '`':
      return true;
    case '?':
    case ':':
    case '-':
      return is_blank_or_end(p + 1, p + text.size());
    default:
      return false;
  }
}

// What analyze_one_line needs of a byte: space, ':' or '#' (kSpace, kColon, kHash, else 0), and
// kHard for a control, DEL, or a lead byte that may begin a line break or an unprintable
// character (0xC2, 0xE2, 0xEF).
constexpr unsigned kSpace = 1, kColon = 2, kHash = 3, kHard = 4;
constexpr std::array<unsigned char, 4> kHardAbove0x20 = {0x7F, 0xC2, 0xE2, 0xEF};
constexpr std::array<unsigned char, 256> kLineClass = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = kHard;
  for (unsigned char c : kHardAbove0x20) table[c] = kHard;
  table[' '] = kSpace;
  table[':'] = kColon;
  table['#'] = kHash;
  return table;
}();

// The analysis of a non-empty text in which nothing may break a line and every character is
// printable, into a; false, with a untouched, for any other text. Then only the indicators and
// the spaces at its ends decide. One pass without a branch per byte: past the first character,
// ':' before a space and '#' after one are the indicators, found as pairs of byte classes.
bool analyze_one_line(std::string_view text, Analysis& a) {
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  const auto* const end = p + text.size();
  unsigned previous = 0;
  bool paired = false;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time: exact marks of ':', ' ' and '#', each pair found by shifting the
    // first byte's mark onto the next byte, the last byte's mark carried into the next word.
    std::uint64_t hard = 0;
    std::uint64_t pairs = 0;
    std::uint64_t colon_before = 0;  // the high bit of byte 0 when the byte before p was ':'
    std::uint64_t space_before = 0;
    for (; end - p >= 8; p += 8) {
      std::uint64_t w;
      std::memcpy(&w, p, sizeof w);
      const std::uint64_t colon = bytes_equal_exactly(w, ':');
      const std::uint64_t space = bytes_equal_exactly(w, ' ');
      const std::uint64_t hash = bytes_equal_exactly(w, '#');
      hard |= bytes_below(w, 0x20);
      for (unsigned char c : kHardAbove0x20) hard |= bytes_equal(w, c);
      pairs |= ((colon << 8) | colon_before) & space;
      pairs |= ((space << 8) | space_before) & hash;
      colon_before = colon >> 56;
      space_before = space >> 56;
    }
    if (hard != 0) return false;
    paired = pairs != 0;
    previous = colon_before != 0 ? kColon : space_before != 0 ? kSpace : 0;
  }
  constexpr unsigned kIndicatorPairs = 1u << (kColon * 4 + kSpace) | 1u << (kSpace * 4 + kHash);
  unsigned seen = 0;
  unsigned pairs = 0;
  for (; p != end; ++p) {
    const unsigned c = kLineClass[*p];
    seen |= c;
    pairs |= kIndicatorPairs >> (previous * 4 + (c & 3));
    previous = c & 3;
  }
  if (seen & kHard) return false;
  const bool indicators = paired || (pairs & 1) != 0 || text.back() == ':' ||
                          leading_indicator(text) || text.starts_with("---") ||
                          text.starts_with("...");
  const bool trailing_space = text.back() == ' ';
  if (text.front() == ' ' || trailing_space || indicators) a.plain = false;
  if (trailing_space) a.block = false;
  return true;
}

Analysis analyze(std::string_view text) {
  Analysis a;
  if (text.empty()) {
    a.block = false;
    return a;
  }
  // Most settings strings: a letter or digit first, quiet bytes after, no trailing space. Every
  // style is permitted.
  const Byte head = static_cast<Byte>(text.front());
  if (((head >= '0' && head <= '9') || ((head | 0x20) >= 'a' && (head | 0x20) <= 'z')) &&
      text.back() != ' ' && std::all_of(text.begin() + 1, text.end(), [](char c) {
        return kQuiet[static_cast<Byte>(c)];
      })) {
    return a;
  }
  if (analyze_one_line(text, a)) return a;
  const Byte* const start = reinterpret_cast<const Byte*>(text.data());
  const Byte* const end = start + text.size();
  bool indicators = text.starts_with("---") || text.starts_with("...");
  bool special = false;
  bool leading_space = false, leading_break = false, trailing_space = false, trailing_break = false;
  bool break_space = false, space_break = false;
  bool previous_space = false, previous_break = false;
  bool preceded_by_blank = true;
  for (const Byte* p = start; p != end;) {
    const Byte c = *p;
    // Past the first character, the common bytes take a short way: each does what the general
    // steps below would do with it.
    if (p != start) {
      if (kNeutral[c]) {
        while (++p != end && kNeutral[*p]) {
        }
        previous_space = false;
        previous_break = false;
        preceded_by_blank = false;
        continue;
      }
      if (c == ' ') {
        if (p + 1 == end) trailing_space = true;
        if (previous_break) break_space = true;
        previous_space = true;
        previous_break = false;
        preceded_by_blank = true;
        ++p;
        continue;
      }
      if (c == ':' || c == '#') {
        if (c == ':' ? is_blank_or_end(p + 1, end) : preceded_by_blank) indicators = true;
        previous_space = false;
        previous_break = false;
        preceded_by_blank = false;
        ++p;
        continue;
      }
    }
    const std::size_t width = width_of(c);
    if (p == start) {
      if (leading_indicator(text)) indicators = true;
    } else if ((c == ':' && is_blank_or_end(p + 1, end)) || (c == '#' && preceded_by_blank)) {
      indicators = true;
    }
    if (c < 0x80) {
      if (c != 0x0A && (c < 0x20 || c > 0x7E)) special = true;
    } else if (!is_printable(p)) {
      special = true;
    }
    const bool line_break = (c == '\n' || c == '\r' || c == 0xC2 || c == 0xE2) && is_break(p, end);
    if (c == ' ') {
      if (p == start) leading_space = true;
      if (p + 1 == end) trailing_space = true;
      if (previous_break) break_space = true;
      previous_space = true;
      previous_break = false;
    } else if (line_break) {
      a.multiline = true;
      if (c == '\n') a.has_line_feed = true;
      if (p == start) leading_break = true;
      if (p + width == end) trailing_break = true;
      if (previous_space) space_break = true;
      previous_space = false;
      previous_break = true;
    } else {
      previous_space = false;
      previous_break = false;
    }
    preceded_by_blank = c == ' ' || c == '\t' || c == '\0' || line_break;
    p += width;
  }
  if (leading_space || leading_break || trailing_space || trailing_break || a.multiline ||
      indicators) {
    a.plain = false;
  }
  if (trailing_space) a.block = false;
  if (break_space) a.plain = a.single_quoted = false;
  if (space_break || special) a.plain = a.single_quoted = a.block = false;
  return a;
}

enum class Style : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal };

// The style a string asks for: literal for a line feed; single quotes when the text would read
// back as something other than this string; otherwise whatever the text permits, plain first.
Style requested_style(std::string_view text, const Analysis& a) {
  if (a.has_line_feed) return Style::Literal;
  if (!a.plain) return Style::SingleQuoted;  // what a plain request would become anyway
  if (resolve_yaml_plain(text).kind != YamlPlainKind::String || is_leading_zero_digits(text)) {
    return Style::SingleQuoted;
  }
  return Style::Plain;
}

Style written_style(Style style, const Analysis& a, std::size_t length, bool simple_key) {
  if (simple_key && a.multiline) style = Style::DoubleQuoted;
  if (style == Style::Plain && (!a.plain || (length == 0 && simple_key))) {
    style = Style::SingleQuoted;
  }
  if (style == Style::SingleQuoted && !a.single_quoted) style = Style::DoubleQuoted;
  if (style == Style::Literal && (!a.block || simple_key)) style = Style::DoubleQuoted;
  return style;
}

void append_hex(TextBuffer& out, std::uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// The emitter's state between the tree walk's calls, with libyaml's meaning.
class Emitter {
 public:
  Emitter(TextBuffer& out, std::vector<int>& indents) : out_(out), indents_(indents) {}

  void null() { plain("null"); }
  void boolean(bool b) { plain(b ? "true" : "false"); }
  void uinteger(std::uint64_t u) {
    char text[kIntegerTextRoom];
    plain(std::string_view(text, static_cast<std::size_t>(put_uint(text, u) - text)));
  }
  void integer(std::int64_t i) {
    char text[kIntegerTextRoom];
    plain(std::string_view(text, static_cast<std::size_t>(put_int(text, i) - text)));
  }
  void floating(double d) {
    char text[kFloatTextMax];
    plain(std::string_view(text,
                           static_cast<std::size_t>(put_float(text, d, FloatLayout::Yaml) - text)));
  }
  void string(std::string_view s) { scalar(s, analyze(s), false); }

  void empty(const SettingValue& container) {
    indicator(container.is_list() ? "[" : "{", true, true, false);
    indicator(container.is_list() ? "]" : "}", false, false, false);
  }

  void open(const SettingValue& container) {
    indents_.push_back(indent_);
    // A sequence that is a mapping's value starts on the key's column.
    const bool indentless = container.is_list() && in_mapping_ && !indention_;
    if (indent_ < 0) {
      indent_ = 0;
    } else if (!indentless) {
      indent_ += kIndent;
    }
  }

  void item(std::size_t, std::size_t) {
    write_indent();
    indicator("-", true, false, true);
    in_mapping_ = false;
  }

  void entry(std::string_view key, std::size_t, std::size_t) {
    write_indent();
    const Analysis a = analyze(key);
    // Longer or multi-line keys take the explicit "? " form.
    if (key.size() <= 128 && !a.multiline) {
      scalar(key, a, true);
      indicator(":", false, false, false);
    } else {
      indicator("?", true, false, true);
      scalar(key, a, false);
      write_indent();
      indicator(":", true, false, true);
    }
    in_mapping_ = true;
  }

  void close(const SettingValue&, std::size_t) {
    indent_ = indents_.back();
    indents_.pop_back();
  }

  // The document's end: the last line is ended.
  void finish() { write_indent(); }

 private:
  void put(char c) {
    out_ += c;
    ++column_;
  }

  void put_break() {
    out_ += '\n';
    column_ = 0;
  }

  // Text that holds no line break; column_ only matters on lines that hold nothing else yet.
  void write(std::string_view text) {
    out_ += text;
    column_ += static_cast<int>(text.size());
  }

  void indicator(std::string_view text, bool need_whitespace, bool is_whitespace,
                 bool is_indention) {
    if (need_whitespace && !whitespace_) put(' ');
    write(text);
    whitespace_ = is_whitespace;
    indention_ = indention_ && is_indention;
  }

  void write_indent() {
    const int indent = indent_ >= 0 ? indent_ : 0;
    if (!indention_ || column_ > indent || (column_ == indent && !whitespace_)) put_break();
    if (column_ < indent) {
      out_.append(static_cast<std::size_t>(indent - column_), ' ');
      column_ = indent;
    }
    whitespace_ = true;
    indention_ = true;
  }

  void plain(std::string_view text) {
    if (!whitespace_ && !text.empty()) put(' ');
    write(text);
    whitespace_ = false;
    indention_ = false;
  }

  void scalar(std::string_view text, const Analysis& a, bool simple_key) {
    const Style style = written_style(requested_style(text, a), a, text.size(), simple_key);
    // A scalar's continuation lines sit one step in from its owner.
    const int saved = indent_;
    indent_ = indent_ < 0 ? kIndent : indent_ + kIndent;
    switch (style) {
      case Style::Plain:
        plain(text);
        break;
      case Style::SingleQuoted:
        single_quoted(text, a.multiline);
        break;
      case Style::DoubleQuoted:
        double_quoted(text);
        break;
      case Style::Literal:
        literal(text);
        break;
    }
    indent_ = saved;
  }

  // A line break inside a quoted or block scalar: a line feed as the configured break, any
  // other break character as itself.
  void write_break(const Byte* p, std::size_t width) {
    if (*p == '\n') {
      put_break();
    } else {
      out_.append(reinterpret_cast<const char*>(p), width);
      column_ = 0;
    }
  }

  void single_quoted(std::string_view text, bool multiline) {
    if (!multiline) {
      single_quoted_line(text);
      return;
    }
    indicator("'", true, false, false);
    const Byte* p = reinterpret_cast<const Byte*>(text.data());
    const Byte* const end = p + text.size();
    bool breaks = false;
    while (p != end) {
      const std::size_t width = width_of(*p);
      if (*p == ' ') {
        put(' ');
      } else if (is_break(p, end)) {
        if (!breaks && *p == '\n') put_break();
        write_break(p, width);
        indention_ = true;
        breaks = true;
      } else {
        if (breaks) write_indent();
        if (*p == '\'') put('\'');
        // The run up to the next space, break or apostrophe goes out at once.
        const Byte* run = p;
        p += width;
        while (p != end) {
          if (kInRun[*p]) {
            ++p;
          } else if (*p == ' ' || *p == '\'' || is_break(p, end)) {
            break;
          } else {
            p += width_of(*p);
          }
        }
        write(std::string_view(reinterpret_cast<const char*>(run),
                               static_cast<std::size_t>(p - run)));
        indention_ = false;
        breaks = false;
        continue;
      }
      p += width;
    }
    if (breaks) write_indent();
    indicator("'", false, false, false);
    whitespace_ = false;
    indention_ = false;
  }

  // A single-quoted text without line breaks: the text, each apostrophe doubled, in quotes.
  void single_quoted_line(std::string_view text) {
    if (!whitespace_) put(' ');
    char* const first = out_.claim(2 * text.size() + 2);
    char* out = first;
    *out++ = '\'';
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
      const auto* quote =
          static_cast<const char*>(std::memchr(p, '\'', static_cast<std::size_t>(end - p)));
      const char* stop = quote != nullptr ? quote + 1 : end;
      std::memcpy(out, p, static_cast<std::size_t>(stop - p));
      out += stop - p;
      if (quote == nullptr) break;
      *out++ = '\'';
      p = stop;
    }
    *out++ = '\'';
    out_.advance(out);
    column_ += static_cast<int>(out - first);
    whitespace_ = false;
    indention_ = false;
  }

  void double_quoted(std::string_view text) {
    indicator("\"", true, false, false);
    const Byte* p = reinterpret_cast<const Byte*>(text.data());
    const Byte* const end = p + text.size();
    while (p != end) {
      const std::size_t width = width_of(*p);
      if (!is_printable(p) || is_break(p, end) || *p == '"' || *p == '\\') {
        std::uint32_t value = width == 1 ? *p : *p & (0xFF >> (width + 1));
        for (std::size_t k = 1; k < width; ++k) value = (value << 6) | (p[k] & 0x3F);
        escape(value);
      } else {
        write(std::string_view(reinterpret_cast<const char*>(p), width));
      }
      p += width;
    }
    indicator("\"", false, false, false);
    whitespace_ = false;
    indention_ = false;
  }

  void escape(std::uint32_t value) {
    out_ += '\\';
    char short_form = 0;
    switch (value) {
      case 0x00:
        short_form = '0';
        break;
      case 0x07:
        short_form = 'a';
        break;
      case 0x08:
        short_form = 'b';
        break;
      case 0x09:
        short_form = 't';
        break;
      case 0x0A:
        short_form = 'n';
        break;
      case 0x0B:
        short_form = 'v';
        break;
      case 0x0C:
        short_form = 'f';
        break;
      case 0x0D:
        short_form = 'r';
        break;
      case 0x1B:
        short_form = 'e';
        break;
      case 0x22:
        short_form = '"';
        break;
      case 0x5C:
        short_form = '\\';
        break;
      case 0x85:
        short_form = 'N';
        break;
      case 0xA0:
        short_form = '_';
        break;
      case 0x2028:
        short_form = 'L';
        break;
      case 0x2029:
        short_form = 'P';
        break;
      default:
        break;
    }
    if (short_form != 0) {
      out_ += short_form;
    } else if (value <= 0xFF) {
      out_ += 'x';
      append_hex(out_, value, 2);
    } else if (value <= 0xFFFF) {
      out_ += 'u';
      append_hex(out_, value, 4);
    } else {
      out_ += 'U';
      append_hex(out_, value, 8);
    }
    column_ += 2;  // the line is no longer empty; its exact width matters nowhere
  }

  void literal(std::string_view text) {
    indicator("|", true, false, false);
    const Byte* const start = reinterpret_cast<const Byte*>(text.data());
    const Byte* const end = start + text.size();
    // The indentation indicator keeps a leading space or break from being read as indentation;
    // the chomping indicator says how many of the final breaks belong to the text.
    if (*start == ' ' || is_break(start, end)) indicator("2", false, false, false);
    const Byte* last = end - 1;
    while ((*last & 0xC0) == 0x80) --last;
    const char* chomp = nullptr;
    if (!is_break(last, end)) {
      chomp = "-";
    } else if (last == start) {
      chomp = "+";
    } else {
      const Byte* before = last - 1;
      while ((*before & 0xC0) == 0x80) --before;
      if (is_break(before, end)) chomp = "+";
    }
    if (chomp != nullptr) indicator(chomp, false, false, false);
    put_break();
    indention_ = true;
    whitespace_ = true;
    bool breaks = true;
    for (const Byte* p = start; p != end;) {
      const std::size_t width = width_of(*p);
      if (is_break(p, end)) {
        write_break(p, width);
        indention_ = true;
        breaks = true;
        p += width;
        continue;
      }
      if (breaks) write_indent();
      const Byte* run = p;
      while (p != end && !is_break(p, end)) p += width_of(*p);
      write(
          std::string_view(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run)));
      indention_ = false;
      breaks = false;
    }
  }

  TextBuffer& out_;
  std::vector<int>& indents_;  // the enclosing containers' indentation
  int indent_ = -1;            // of the innermost open container; -1 before the root
  int column_ = 0;
  bool whitespace_ = true;   // the last character written was white space (or nothing yet)
  bool indention_ = true;    // the line holds only indentation and indicators such as "- "
  bool in_mapping_ = false;  // the next node is a mapping's value
};

// walk_tree takes its emitter by value; the state lives in the Emitter that this forwards to.
struct Walk {
  Emitter& e;
  void null() { e.null(); }
  void boolean(bool b) { e.boolean(b); }
  void uinteger(std::uint64_t u) { e.uinteger(u); }
  void integer(std::int64_t i) { e.integer(i); }
  void floating(double d) { e.floating(d); }
  void string(std::string_view s) { e.string(s); }
  void empty(const SettingValue& c) { e.empty(c); }
  void open(const SettingValue& c) { e.open(c); }
  void item(std::size_t index, std::size_t level) { e.item(index, level); }
  void entry(std::string_view key, std::size_t index, std::size_t level) {
    e.entry(key, index, level);
  }
  void close(const SettingValue& c, std::size_t level) { e.close(c, level); }
};

bool write(const SettingValue& root, std::size_t max_depth, TextBuffer& out) {
  std::vector<int> indents;
  Emitter emitter(out, indents);
  if (!walk_tree(root, max_depth, Walk{emitter})) return false;
  emitter.finish();
  return true;
}

}  // namespace

std::string write_yaml(const SettingValue& root) {
  TextBuffer out;
  write(root, kAnyDepth, out);
  return out.take();
}

Result<TextBuffer> write_yaml_file(const SettingValue& root) {
  TextBuffer out;
  if (!write(root, kYamlMaxDepth, out)) return too_deep_error("YAML", root, kYamlMaxDepth);
  return out;
}

}  // namespace orn
