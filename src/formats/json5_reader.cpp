#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/byte_scan.hpp"
#include "formats/escapes.hpp"
#include "formats/input.hpp"
#include "formats/json5.hpp"
#include "formats/json5_chars.hpp"
#include "formats/numbers.hpp"
#include "formats/position.hpp"
#include "formats/tree_builder.hpp"
#include "formats/utf8.hpp"

namespace orn {

namespace {

using json5_chars::is_ascii_id_part;
using json5_chars::is_ascii_id_start;

enum class Json5Error : std::uint8_t {
  EofArray,
  EofBool,
  EofComment,
  EofEscape,
  EofIdentifier,
  EofNull,
  EofNumber,
  EofObject,
  EofString,
  EofValue,
  ExpectedBool,
  ExpectedClosingBrace,
  ExpectedClosingBracket,
  ExpectedColon,
  ExpectedComma,
  ExpectedComment,
  ExpectedNull,
  ExpectedNumber,
  ExpectedValue,
  InvalidBytes,
  InvalidEscape,
  InvalidKey,
  LeadingZero,
  LineTerminatorInString,
  TrailingCharacters,
  RecursionLimitExceeded,
  NumberOutOfRange,
  TooLarge,
  TooSmall,
  InvalidFloat,
  InvalidDigit,
  EmptyInteger,
};

const char* message_of(Json5Error error) {
  switch (error) {
    case Json5Error::EofArray:
      return "EOF parsing array";
    case Json5Error::EofBool:
      return "EOF parsing bool";
    case Json5Error::EofComment:
      return "EOF parsing comment";
    case Json5Error::EofEscape:
      return "EOF parsing escape sequence";
    case Json5Error::EofIdentifier:
      return "EOF parsing identifier";
    case Json5Error::EofNull:
      return "EOF parsing null";
    case Json5Error::EofNumber:
      return "EOF parsing number";
    case Json5Error::EofObject:
      return "EOF parsing object";
    case Json5Error::EofString:
      return "EOF parsing string";
    case Json5Error::EofValue:
      return "EOF parsing value";
    case Json5Error::ExpectedBool:
      return "expected bool";
    case Json5Error::ExpectedClosingBrace:
      return "expected closing brace";
    case Json5Error::ExpectedClosingBracket:
      return "expected closing bracket";
    case Json5Error::ExpectedColon:
      return "expected colon";
    case Json5Error::ExpectedComma:
      return "expected comma";
    case Json5Error::ExpectedComment:
      return "expected comment";
    case Json5Error::ExpectedNull:
      return "expected null";
    case Json5Error::ExpectedNumber:
      return "expected number";
    case Json5Error::ExpectedValue:
      return "expected value";
    case Json5Error::InvalidBytes:
      return "invalid bytes";
    case Json5Error::InvalidEscape:
      return "invalid escape sequence";
    case Json5Error::InvalidKey:
      return "invalid key";
    case Json5Error::LeadingZero:
      return "leading zero";
    case Json5Error::LineTerminatorInString:
      return "line terminator in string";
    case Json5Error::TrailingCharacters:
      return "trailing characters";
    case Json5Error::RecursionLimitExceeded:
      return "recursion limit exceeded";
    case Json5Error::NumberOutOfRange:
      return "JSON number out of range";
    case Json5Error::TooLarge:
      return "number too large to fit in target type";
    case Json5Error::TooSmall:
      return "number too small to fit in target type";
    case Json5Error::InvalidFloat:
      return "invalid float literal";
    case Json5Error::InvalidDigit:
      return "invalid digit found in string";
    case Json5Error::EmptyInteger:
      return "cannot parse integer from empty string";
  }
  return "invalid JSON5";
}

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Bytes a number token is made of: the letters, digits, "_", "$" that must not follow a numeric
// literal, and the point. A number is cut at the first other byte and then judged as a whole,
// so "1x" and "0x" fail as numbers rather than leaving a stray letter behind.
constexpr bool is_number_byte(unsigned char c) { return is_ascii_id_part(c) || c == '.'; }

// The line and column of offset: lines end at LF, CR, CR LF, U+2028 and U+2029, the JSON5 line
// terminators; columns count characters from 1. Only errors ask, so this walks from the start.
TextPosition json5_position(std::string_view text, std::size_t offset) {
  TextPosition at;
  at.offset = offset;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t next = 0;
    if (c == '\n') {
      next = i + 1;
    } else if (c == '\r') {
      if (i + 1 < offset && text[i + 1] == '\n') ++i;
      next = i + 1;
    } else if (c == 0xE2 && i + 2 < offset && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xA8) {
      i += 2;
      next = i + 1;
    } else {
      continue;
    }
    ++at.line;
    line_start = next;
  }
  // A CR right before offset whose LF lies beyond it has already ended the line; that is fine.
  for (std::size_t i = line_start; i < offset; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++at.char_column;
  }
  at.byte_column = offset - line_start;
  return at;
}

// What the character after a backslash stands for when it is one byte that needs no more
// checks, or 0: digits, x, u, line terminators and bytes beyond ASCII go through the full
// escape reader.
constexpr std::array<char, 256> kSimpleEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 1; c < 0x80; ++c) table[c] = static_cast<char>(c);
  for (int c = '0'; c <= '9'; ++c) table[c] = 0;
  for (char c : {'x', 'u', '\n', '\r'}) table[static_cast<unsigned char>(c)] = 0;
  table['b'] = '\b';
  table['f'] = '\f';
  table['n'] = '\n';
  table['r'] = '\r';
  table['t'] = '\t';
  table['v'] = '\v';
  return table;
}();

constexpr std::array<bool, 256> kLineEnd = [] {
  std::array<bool, 256> table{};
  table['\n'] = true;
  table['\r'] = true;
  return table;
}();

// Recursive descent over the whole text, which is known to be UTF-8. Nesting is bounded by
// kJson5MaxDepth, so the recursion stays shallow.
class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  Result<SettingValue> run() {
    SettingValue root;
    bool ok = parse_value(root) && skip_space();
    if (ok && p_ != end_) ok = fail_at(Json5Error::TrailingCharacters, p_);
    if (!ok) {
      std::string message = message_of(error_);
      if (error_has_position_) {
        append_json5_position(message,
                              json5_position(std::string_view(begin_, end_ - begin_), error_at_));
      }
      return type_error(std::move(message));
    }
    return root;
  }

 private:
  bool fail_at(Json5Error error, const char* where) {
    error_ = error;
    error_at_ = static_cast<std::size_t>(where - begin_);
    error_has_position_ = true;
    return false;
  }

  // The text ended: the error names the innermost open bracket or brace, or no place at all.
  bool fail_eof(Json5Error error) {
    error_ = error;
    error_has_position_ = depth_ != 0;
    if (error_has_position_) error_at_ = open_[depth_ - 1];
    return false;
  }

  // ----- white space and comments

  // Moves p_ to the next byte that is neither white space nor part of a comment (or to the end).
  // False after a malformed comment.
  bool skip_space() {
    for (;;) {
      while (p_ != end_) {
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c == ' ') {
          if (end_ - p_ >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p_, 8);
            std::uint64_t other = w ^ (kEveryByte * ' ');
            if (other == 0) {
              p_ += 8;
              continue;
            }
          }
          ++p_;
        } else if (c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') {
          ++p_;
        } else if (c < 0x80) {
          break;
        } else {
          std::uint32_t cp = 0;
          std::size_t n = decode_utf8(reinterpret_cast<const unsigned char*>(p_),
                                      reinterpret_cast<const unsigned char*>(end_), cp);
          if (n == 0 || !json5_chars::is_space_beyond_ascii(cp)) return true;
          p_ += n;
        }
      }
      if (p_ == end_ || *p_ != '/') return true;
      if (!skip_comment()) return false;
    }
  }

  // At a "/".
  bool skip_comment() {
    const char* slash = p_;
    if (end_ - p_ < 2) return fail_eof(Json5Error::EofComment);
    if (p_[1] == '/') {
      // To the line terminator, which the caller then skips as white space.
      for (p_ += 2; p_ != end_; ++p_) {
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c == '\n' || c == '\r') break;
        if (c == 0xE2 && end_ - p_ >= 3 && static_cast<unsigned char>(p_[1]) == 0x80 &&
            (static_cast<unsigned char>(p_[2]) & 0xFE) == 0xA8) {
          break;
        }
      }
      return true;
    }
    if (p_[1] == '*') {
      for (const char* q = p_ + 2;;) {
        q = static_cast<const char*>(std::memchr(q, '*', static_cast<std::size_t>(end_ - q)));
        if (q == nullptr || end_ - q < 2) {
          p_ = end_;
          return fail_eof(Json5Error::EofComment);
        }
        if (q[1] == '/') {
          p_ = q + 2;
          return true;
        }
        ++q;
      }
    }
    return fail_at(Json5Error::ExpectedComment, slash);
  }

  // ----- values

  bool parse_value(SettingValue& out) {
    if (!skip_space()) return false;
    if (p_ == end_) return fail_eof(Json5Error::EofValue);
    switch (*p_) {
      case '{':
        return parse_object(out);
      case '[':
        return parse_array(out);
      case '"':
      case '\'': {
        std::string_view s;
        if (!parse_string(s)) return false;
        out = SettingValue::string(s);
        return true;
      }
      case 't':
        if (!parse_word("true", Json5Error::EofBool, Json5Error::ExpectedBool)) return false;
        out = SettingValue::boolean(true);
        return true;
      case 'f':
        if (!parse_word("false", Json5Error::EofBool, Json5Error::ExpectedBool)) return false;
        out = SettingValue::boolean(false);
        return true;
      case 'n':
        if (!parse_word("null", Json5Error::EofNull, Json5Error::ExpectedNull)) return false;
        out = SettingValue();
        return true;
      case '+':
      case '-':
      case '.':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
      case 'I':
      case 'N':
        return parse_number(out);
      default:
        return fail_at(Json5Error::ExpectedValue, p_);
    }
  }

  // true, false or null; a misspelling is reported at the word's first letter.
  bool parse_word(std::string_view word, Json5Error eof, Json5Error wrong) {
    const char* start = p_;
    for (char expected : word) {
      if (p_ == end_) return fail_eof(eof);
      if (*p_ != expected) return fail_at(wrong, start);
      ++p_;
    }
    return true;
  }

  // After an element or entry, a byte that could begin another one suggests a missing comma;
  // anything else a missing closing bracket or brace.
  static bool could_begin_element(unsigned char c) {
    return c == '{' || c == '[' || c == '"' || c == '\'' || c == '+' || c == '-' || c == '.' ||
           c == '\\' || is_ascii_id_part(c) || c >= 0x80;
  }

  bool enter(const char* bracket) {
    if (depth_ == kJson5MaxDepth) return fail_at(Json5Error::RecursionLimitExceeded, bracket);
    open_[depth_++] = static_cast<std::size_t>(bracket - begin_);
    ++p_;
    return true;
  }

  bool parse_array(SettingValue& out) {
    if (!enter(p_)) return false;
    const std::size_t start = tree_.list_start();
    for (;;) {
      if (!skip_space()) return false;
      if (p_ == end_) return fail_eof(Json5Error::EofArray);
      if (*p_ == ']') break;
      SettingValue item;
      if (!parse_value(item)) return false;
      tree_.add_item(std::move(item));
      if (!skip_space()) return false;
      if (p_ == end_) return fail_eof(Json5Error::EofArray);
      if (*p_ == ',') {
        ++p_;
        continue;
      }
      if (*p_ == ']') break;
      return fail_at(could_begin_element(static_cast<unsigned char>(*p_))
                         ? Json5Error::ExpectedComma
                         : Json5Error::ExpectedClosingBracket,
                     p_);
    }
    ++p_;
    --depth_;
    out = tree_.finish_list(start);
    return true;
  }

  bool parse_object(SettingValue& out) {
    if (!enter(p_)) return false;
    const std::size_t start = tree_.map_start();
    for (;;) {
      if (!skip_space()) return false;
      if (p_ == end_) return fail_eof(Json5Error::EofObject);
      if (*p_ == '}') break;
      if (!parse_key(key_)) return false;
      if (!skip_space()) return false;
      if (p_ == end_) return fail_eof(Json5Error::EofObject);
      if (*p_ != ':') return fail_at(Json5Error::ExpectedColon, p_);
      ++p_;
      const std::size_t entry = tree_.new_entry(key_);  // key_ is free again for nested keys
      SettingValue value;
      if (!parse_value(value)) return false;
      tree_.entry_value(entry) = std::move(value);
      if (!skip_space()) return false;
      if (p_ == end_) return fail_eof(Json5Error::EofObject);
      if (*p_ == ',') {
        ++p_;
        continue;
      }
      if (*p_ == '}') break;
      return fail_at(could_begin_element(static_cast<unsigned char>(*p_))
                         ? Json5Error::ExpectedComma
                         : Json5Error::ExpectedClosingBrace,
                     p_);
    }
    ++p_;
    --depth_;
    tree_.finish_map(start, out);  // a repeated key: the later entry wins
    return true;
  }

  // ----- keys

  bool parse_key(std::string& key) {
    unsigned char c = static_cast<unsigned char>(*p_);
    if (c == '"' || c == '\'') {
      std::string_view s;
      if (!parse_string(s)) return false;
      key.assign(s);
      return true;
    }
    if (is_ascii_id_start(c) || c == '\\' || c >= 0x80) return parse_identifier(key);
    return fail_at(Json5Error::InvalidKey, p_);
  }

  // An identifier name: letters, "$", "_" and, after the first, marks, digits, connectors, ZWNJ
  // and ZWJ, each written as itself or as a "\u" escape.
  bool parse_identifier(std::string& key) {
    const char* q = p_;
    while (q != end_ && is_ascii_id_part(static_cast<unsigned char>(*q))) ++q;
    key.assign(p_, q);
    p_ = q;
    while (p_ != end_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      const bool first = key.empty();
      if (c < 0x80) {
        if (first ? is_ascii_id_start(c) : is_ascii_id_part(c)) {
          key += static_cast<char>(c);
          ++p_;
        } else if (c == '\\') {
          if (!parse_identifier_escape(key, first)) return false;
        } else {
          break;
        }
        continue;
      }
      std::uint32_t cp = 0;
      std::size_t n = decode_utf8(reinterpret_cast<const unsigned char*>(p_),
                                  reinterpret_cast<const unsigned char*>(end_), cp);
      if (n == 0 || !(first ? json5_chars::is_id_start(cp) : json5_chars::is_id_part(cp))) break;
      key.append(p_, n);
      p_ += n;
    }
    if (key.empty()) return fail_at(Json5Error::InvalidKey, p_);
    return true;
  }

  // Four hexadecimal digits after "\u" at p_; the escape began at backslash.
  bool parse_hex4(const char* backslash, Json5Error eof, std::uint32_t& unit) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ == end_) return fail_eof(eof);
      int d = hex_digit(static_cast<unsigned char>(*p_));
      if (d < 0) return fail_at(Json5Error::InvalidEscape, backslash);
      value = value * 16 + static_cast<std::uint32_t>(d);
      ++p_;
    }
    unit = value;
    return true;
  }

  // "\uXXXX" at p_, or a surrogate pair of them, as one code point. A lone surrogate is no
  // character and cannot be stored as UTF-8: it is refused.
  bool parse_u_escape(Json5Error eof, std::uint32_t& cp) {
    const char* backslash = p_;
    p_ += 2;
    std::uint32_t unit;
    if (!parse_hex4(backslash, eof, unit)) return false;
    if (is_low_surrogate(unit)) return fail_at(Json5Error::InvalidEscape, backslash);
    if (is_high_surrogate(unit)) {
      const char* second = p_;
      if (p_ == end_ || (end_ - p_ == 1 && *p_ == '\\')) return fail_eof(eof);
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
        return fail_at(Json5Error::InvalidEscape, backslash);
      }
      p_ += 2;
      std::uint32_t low;
      if (!parse_hex4(second, eof, low)) return false;
      if (!is_low_surrogate(low)) return fail_at(Json5Error::InvalidEscape, backslash);
      unit = combine_surrogates(unit, low);
    }
    cp = unit;
    return true;
  }

  bool parse_identifier_escape(std::string& key, bool first) {
    const char* backslash = p_;
    if (end_ - p_ < 2) return fail_eof(Json5Error::EofIdentifier);
    if (p_[1] != 'u') return fail_at(Json5Error::InvalidEscape, backslash);
    std::uint32_t cp;
    if (!parse_u_escape(Json5Error::EofIdentifier, cp)) return false;
    if (!(first ? json5_chars::is_id_start(cp) : json5_chars::is_id_part(cp))) {
      return fail_at(Json5Error::InvalidKey, backslash);
    }
    append_utf8(key, cp);
    return true;
  }

  // ----- strings

  // At the opening quotation mark; consumes the closing one. The result views the text when the
  // string holds no escape, else text_; either way only until the next string.
  bool parse_string(std::string_view& result) {
    const char quote = *p_;
    const char* q = scan_plain(++p_, quote);
    if (q != end_ && *q == quote) {
      result = std::string_view(p_, static_cast<std::size_t>(q - p_));
      p_ = q + 1;
      return true;
    }
    // Decoded into text_, whose size is its capacity. Strings with escapes tend to have many,
    // close together and in no pattern: the loop below copies a byte or decodes a one-letter
    // escape per step without a branch on which it was, leaving the loop only at the end of
    // the string or at an escape that needs more reading.
    auto length = static_cast<std::size_t>(q - p_);
    make_room(length);
    std::memcpy(text_.data(), p_, length);
    p_ = q;
    for (;;) {
      char* w = text_.data() + length;
      char* const w_stop = text_.data() + text_.size() - kStepRoom;
      // A word at a time while eight bytes and the escape's letter lie ahead: the plain bytes
      // up to the first quotation mark, backslash or line end are stored with the whole word,
      // and a one-letter escape there is decoded on the spot.
      if constexpr (std::endian::native == std::endian::little) {
        while (end_ - p_ > 8 && w < w_stop) {
          std::uint64_t word;
          std::memcpy(&word, p_, sizeof word);
          std::memcpy(w, &word, sizeof word);
          const std::uint64_t marks = bytes_equal(word, static_cast<unsigned char>(quote)) |
                                      bytes_equal(word, '\\') | bytes_equal(word, '\n') |
                                      bytes_equal(word, '\r');
          if (marks == 0) {
            p_ += 8;
            w += 8;
            continue;
          }
          const int plain = std::countr_zero(marks) >> 3;
          p_ += plain;
          w += plain;
          const char simple = kSimpleEscapes[static_cast<unsigned char>(p_[1])];
          if (*p_ != '\\' || simple == 0) break;
          *w++ = simple;
          p_ += 2;
        }
      }
      const char* const last = end_ - 1;  // the loop reads two bytes
      while (p_ < last && w < w_stop) {
        auto c = static_cast<unsigned char>(*p_);
        char simple = kSimpleEscapes[static_cast<unsigned char>(p_[1])];
        bool backslash = c == '\\';
        if ((c == static_cast<unsigned char>(quote)) | kLineEnd[c] | (backslash & (simple == 0))) {
          break;
        }
        *w++ = backslash ? simple : static_cast<char>(c);
        p_ += backslash ? 2 : 1;
      }
      length = static_cast<std::size_t>(w - text_.data());
      if (w >= w_stop) {
        make_room(2 * text_.size());
        continue;
      }
      if (p_ == end_) return fail_eof(Json5Error::EofString);
      char c = *p_;
      if (c == quote) {
        ++p_;
        break;
      }
      if (c == '\n' || c == '\r') return fail_at(Json5Error::LineTerminatorInString, p_);
      if (c == '\\') {
        escape_.clear();
        if (!parse_escape(escape_)) return false;
        std::memcpy(w, escape_.data(), escape_.size());  // at most four bytes
        length += escape_.size();
      } else {
        *w = c;  // the text's last byte
        ++length;
        ++p_;
      }
    }
    result = std::string_view(text_.data(), length);
    return true;
  }

  // Room in text_ for at least n decoded bytes and one more step of the loop above.
  static constexpr std::size_t kStepRoom = 8;
  void make_room(std::size_t n) {
    if (text_.size() < n + kStepRoom) text_.resize(std::max<std::size_t>(n + kStepRoom, 256));
  }

  // The first byte from q on that ends a run of plain string content: the quotation mark, a
  // backslash, LF or CR; or the end.
  const char* scan_plain(const char* q, char quote) const {
    while (end_ - q >= 8) {
      std::uint64_t w;
      std::memcpy(&w, q, 8);
      if ((bytes_equal(w, static_cast<unsigned char>(quote)) | bytes_equal(w, '\\') |
           bytes_equal(w, '\n') | bytes_equal(w, '\r')) != 0) {
        break;
      }
      q += 8;
    }
    while (q != end_ && *q != quote && *q != '\\' && *q != '\n' && *q != '\r') ++q;
    return q;
  }

  // At a backslash inside a string; appends what the escape stands for to out.
  bool parse_escape(std::string& out) {
    const char* backslash = p_;
    if (end_ - p_ < 2) {
      p_ = end_;
      return fail_eof(Json5Error::EofEscape);
    }
    unsigned char c = static_cast<unsigned char>(p_[1]);
    switch (c) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'v':
        out += '\v';
        break;
      case '0':
        if (end_ - p_ >= 3 && is_digit(p_[2])) return fail_at(Json5Error::InvalidEscape, backslash);
        out += '\0';
        break;
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return fail_at(Json5Error::InvalidEscape, backslash);
      case 'x': {
        p_ += 2;
        std::uint32_t value = 0;
        for (int i = 0; i < 2; ++i) {
          if (p_ == end_) return fail_eof(Json5Error::EofEscape);
          int d = hex_digit(static_cast<unsigned char>(*p_));
          if (d < 0) return fail_at(Json5Error::InvalidEscape, backslash);
          value = value * 16 + static_cast<std::uint32_t>(d);
          ++p_;
        }
        append_utf8(out, value);
        return true;
      }
      case 'u': {
        std::uint32_t cp;
        if (!parse_u_escape(Json5Error::EofEscape, cp)) return false;
        append_utf8(out, cp);
        return true;
      }
      case '\n':
        break;  // a line continuation: neither character is part of the string
      case '\r':
        if (end_ - p_ >= 3 && p_[2] == '\n') ++p_;
        break;
      default:
        if (c < 0x80) {
          out += static_cast<char>(c);  // any other character stands for itself
          break;
        }
        // A character beyond ASCII stands for itself too, except that the line and paragraph
        // separators continue the line.
        std::uint32_t cp = 0;
        std::size_t n = decode_utf8(reinterpret_cast<const unsigned char*>(p_ + 1),
                                    reinterpret_cast<const unsigned char*>(end_), cp);
        if (n == 0) n = 1;
        if (cp != 0x2028 && cp != 0x2029) out.append(p_ + 1, n);
        p_ += 1 + n;
        return true;
    }
    p_ += 2;
    return true;
  }

  // ----- numbers

  bool parse_number(SettingValue& out) {
    const char* start = p_;
    bool negative = false;
    if (*p_ == '+' || *p_ == '-') {
      negative = *p_ == '-';
      ++p_;
    }
    const char* body = p_;
    // The common case first: a short decimal integer that nothing of a number follows.
    if (p_ != end_ && *p_ >= '1' && *p_ <= '9') {
      std::uint64_t magnitude = 0;
      const char* q = p_;
      while (q != end_ && is_digit(*q) && q - p_ < 18) {  // below 10^18: fits either sign
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*q - '0');
        ++q;
      }
      if (q == end_ || !is_number_byte(static_cast<unsigned char>(*q))) {
        p_ = q;
        out = negative ? SettingValue::integer(-static_cast<std::int64_t>(magnitude))
                       : SettingValue::uinteger(magnitude);
        return true;
      }
    }
    const bool hex = end_ - p_ >= 2 && p_[0] == '0' && (p_[1] == 'x' || p_[1] == 'X');
    const char* q = hex ? p_ + 2 : p_;
    while (q != end_) {
      unsigned char c = static_cast<unsigned char>(*q);
      if (is_number_byte(c)) {
        ++q;
      } else if ((c == '+' || c == '-') && !hex && q != body && (q[-1] == 'e' || q[-1] == 'E')) {
        ++q;
      } else {
        break;
      }
    }
    p_ = q;
    const bool at_end = q == end_;
    std::string_view token(body, static_cast<std::size_t>(q - body));
    if (token.empty())
      return at_end ? fail_eof(Json5Error::EofNumber) : fail_at(Json5Error::ExpectedNumber, start);
    if (!is_digit(token[0]) && token[0] != '.') {
      if (token == "Infinity" || token == "NaN") {
        out = SettingValue();  // no infinity or NaN in the tree
        return true;
      }
      const bool prefix = std::string_view("Infinity").starts_with(token) ||
                          std::string_view("NaN").starts_with(token);
      return at_end && prefix ? fail_eof(Json5Error::EofNumber)
                              : fail_at(Json5Error::ExpectedNumber, start);
    }
    if (hex) return integer(out, start, q, RadixPrefixes::HexAnyCase, token.size() == 2, at_end);
    if (token.size() > 1 && token[0] == '0' && is_digit(token[1])) {
      return fail_at(Json5Error::LeadingZero, start);
    }
    if (token.find_first_of(".eE") == std::string_view::npos) {
      return integer(out, start, q, RadixPrefixes::None, false, at_end);
    }
    switch (scan_decimal(token)) {
      case Scan::Complete:
        break;
      case Scan::Incomplete:
        if (at_end) return fail_eof(Json5Error::EofNumber);
        return fail_at(Json5Error::InvalidFloat, start);
      case Scan::Invalid:
        return fail_at(Json5Error::InvalidFloat, start);
    }
    // parse_double takes a "-" but no "+".
    ParsedDouble parsed = parse_double(std::string_view(
        negative ? start : body, static_cast<std::size_t>(q - (negative ? start : body))));
    if (parsed.status == ParsedDouble::Status::Invalid)
      return fail_at(Json5Error::InvalidFloat, start);
    // A literal beyond the float range would be infinite, which the tree stores as null.
    out = parsed.status == ParsedDouble::Status::Ok ? SettingValue::floating(parsed.value)
                                                    : SettingValue();
    return true;
  }

  bool integer(SettingValue& out, const char* start, const char* stop, RadixPrefixes prefixes,
               bool no_digits, bool at_end) {
    if (no_digits) {
      return at_end ? fail_eof(Json5Error::EofNumber) : fail_at(Json5Error::EmptyInteger, start);
    }
    IntegerText n;
    if (!classify_integer(std::string_view(start, static_cast<std::size_t>(stop - start)), prefixes,
                          true, n)) {
      return fail_at(Json5Error::InvalidDigit, start);
    }
    switch (n.range) {
      case IntegerRange::Unsigned64:
        out = SettingValue::uinteger(unsigned_value(n));  // "-0" too: the integer 0
        return true;
      case IntegerRange::Signed64:
        out = SettingValue::integer(signed_value(n));
        return true;
      case IntegerRange::Wide:
        return fail_at(Json5Error::NumberOutOfRange, start);
      case IntegerRange::Beyond:
        return fail_at(n.negative ? Json5Error::TooSmall : Json5Error::TooLarge, start);
    }
    return fail_at(Json5Error::InvalidDigit, start);
  }

  enum class Scan : std::uint8_t { Complete, Incomplete, Invalid };

  // Judges a decimal token with a point or an exponent mark: digits, an optional point and
  // digits (at least one digit on either side), then an optional exponent. Incomplete means the
  // token is the start of such a literal.
  static Scan scan_decimal(std::string_view t) {
    std::size_t i = 0;
    const std::size_t n = t.size();
    bool digits = false;
    while (i < n && is_digit(t[i])) {
      ++i;
      digits = true;
    }
    if (i < n && t[i] == '.') {
      ++i;
      while (i < n && is_digit(t[i])) {
        ++i;
        digits = true;
      }
    }
    if (!digits) return i == n ? Scan::Incomplete : Scan::Invalid;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
      ++i;
      if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
      if (i == n) return Scan::Incomplete;
      if (!is_digit(t[i])) return Scan::Invalid;
      while (i < n && is_digit(t[i])) ++i;
    }
    return i == n ? Scan::Complete : Scan::Invalid;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  TreeBuilder tree_{DuplicateKeys::LastWins};
  std::size_t depth_ = 0;
  std::size_t open_[kJson5MaxDepth] = {};  // offsets of the open brackets and braces
  std::string text_;    // scratch: a string that needed decoding is its first bytes
  std::string escape_;  // what one escape stands for
  std::string key_;     // scratch: the key being read, until its entry holds a copy
  Json5Error error_ = Json5Error::EofValue;
  std::size_t error_at_ = 0;
  bool error_has_position_ = false;
};

Result<SettingValue> parse_json5(std::string_view text) { return Reader(text).run(); }

}  // namespace

Result<SettingValue> read_json5(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  for (const auto* q = p; q != end;) {
    if (*q < 0x80) {
      ++q;
      continue;
    }
    std::size_t bad = 0;
    std::size_t n = utf8_sequence(q, end, bad);
    if (n == 0) {
      std::string message = message_of(Json5Error::InvalidBytes);
      append_json5_position(message, json5_position(text, static_cast<std::size_t>(q - p)));
      return type_error(std::move(message));
    }
    q += n;
  }
  return parse_json5(text);
}

Result<SettingValue> read_json5_file(ByteSource& source) {
  auto text = read_utf8_text(source);
  if (!text) return std::move(text.error());
  return parse_json5(text.value());
}

}  // namespace orn
