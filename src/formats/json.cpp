#include "formats/json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/numbers.hpp"
#include "formats/utf8.hpp"

namespace orn {

namespace {

// ---------------------------------------------------------------------------------------------
// Reader

enum class JsonError : std::uint8_t {
  EofList,
  EofObject,
  EofString,
  EofValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  KeyMustBeString,
  TrailingComma,
  TrailingCharacters,
  InvalidNumber,
  NumberOutOfRange,
  InvalidEscape,
  UnexpectedEndOfHexEscape,
  LoneLeadingSurrogate,
  InvalidUnicodeCodePoint,
  ControlCharacter,
  RecursionLimitExceeded,
};

const char* message_of(JsonError error) {
  switch (error) {
    case JsonError::EofList:
      return "EOF while parsing a list";
    case JsonError::EofObject:
      return "EOF while parsing an object";
    case JsonError::EofString:
      return "EOF while parsing a string";
    case JsonError::EofValue:
      return "EOF while parsing a value";
    case JsonError::ExpectedColon:
      return "expected `:`";
    case JsonError::ExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case JsonError::ExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case JsonError::ExpectedIdent:
      return "expected ident";
    case JsonError::ExpectedValue:
      return "expected value";
    case JsonError::KeyMustBeString:
      return "key must be a string";
    case JsonError::TrailingComma:
      return "trailing comma";
    case JsonError::TrailingCharacters:
      return "trailing characters";
    case JsonError::InvalidNumber:
      return "invalid number";
    case JsonError::NumberOutOfRange:
      return "number out of range";
    case JsonError::InvalidEscape:
      return "invalid escape";
    case JsonError::UnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case JsonError::LoneLeadingSurrogate:
      return "lone leading surrogate in hex escape";
    case JsonError::InvalidUnicodeCodePoint:
      return "invalid unicode code point";
    case JsonError::ControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case JsonError::RecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return "invalid JSON";
}

constexpr std::size_t kBufferSize = 8192;
// Containers may nest 127 deep: the counter starts here and a container that would bring it to
// zero is refused.
constexpr int kDepthBudget = 128;

// Bytes that end a run of plain string content.
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero when one of the eight bytes may stop a string run (quotation mark, backslash, control
// character). It can flag a byte above a true hit but never misses one, so a non-zero word is
// rescanned bytewise.
inline std::uint64_t may_stop_string(std::uint64_t w) {
  std::uint64_t quote = w ^ (kOnes * '"');
  std::uint64_t backslash = w ^ (kOnes * '\\');
  std::uint64_t zero_quote = (quote - kOnes) & ~quote;
  std::uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
  std::uint64_t control = (w - kOnes * 0x20) & ~w;
  return (zero_quote | zero_backslash | control) & kHighs;
}

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

void append_utf8(std::string& out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t n;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    n = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One-pass recursive descent over a window of the input. The window is either the caller's
// whole text or an 8 KiB buffer refilled from the source; tokens may straddle refills.
//
// Positions: an error is reported after the bytes consumed so far, and the byte that shows the
// error counts as consumed ("[1 2]" fails at column 4, on the "2"). Only white space and error
// paths can consume a line feed (a raw one inside a string is itself an error), so the line is
// tracked there and nowhere in the hot loops.
class Reader {
 public:
  explicit Reader(ByteSource& source)
      : source_(&source), start_(buffer_), p_(buffer_), end_(buffer_) {}
  explicit Reader(std::string_view text)
      : start_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  Result<SettingValue> run() {
    SettingValue root;
    bool ok = parse_value(root) && parse_end();
    if (io_error_) return std::move(*io_error_);  // the parse only saw a premature end
    if (!ok) {
      std::string message = message_of(error_);
      message += " at line ";
      append_uint(message, error_line_);
      message += " column ";
      append_uint(message, error_column_);
      return type_error(std::move(message));
    }
    return root;
  }

 private:
  // ----- input window

  std::uint64_t offset() const { return base_ + static_cast<std::uint64_t>(p_ - start_); }

  // Called with the window used up. False at the end of the input or when the source fails.
  bool refill() {
    if (source_ == nullptr || at_end_) return false;
    if (marking_) {
      scratch_.append(mark_, end_);
      mark_ = buffer_;
    }
    base_ += static_cast<std::uint64_t>(end_ - start_);
    start_ = p_ = end_ = buffer_;
    Result<std::size_t> got = source_->read(buffer_, kBufferSize);
    if (!got) {
      io_error_ = std::move(got.error());
      at_end_ = true;
      return false;
    }
    if (got.value() == 0) {
      at_end_ = true;
      return false;
    }
    end_ += got.value();
    return true;
  }

  // The next byte without consuming it, or -1 at the end.
  int peek() {
    if (p_ != end_ || refill()) return static_cast<unsigned char>(*p_);
    return -1;
  }

  // Consumes and returns the next byte (-1 at the end), keeping the line count.
  int take() {
    int c = peek();
    if (c >= 0) {
      ++p_;
      if (c == '\n') new_line();
    }
    return c;
  }

  void new_line() {
    ++line_;
    line_start_ = offset();
  }

  // The next byte after white space, not consumed; -1 at the end. Indentation comes in runs of
  // spaces, skipped up to eight at a time.
  int skip_space() {
    for (;;) {
      while (p_ != end_) {
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c > ' ') return c;
        if (c == ' ') {
          if constexpr (std::endian::native == std::endian::little) {
            if (end_ - p_ >= 8) {
              std::uint64_t w;
              std::memcpy(&w, p_, 8);
              std::uint64_t other = w ^ (kOnes * ' ');  // zero bytes where there are spaces
              p_ += other == 0 ? 8 : std::countr_zero(other) / 8;
              continue;
            }
          }
          ++p_;
        } else if (c == '\n') {
          ++p_;
          new_line();
        } else if (c == '\t' || c == '\r') {
          ++p_;
        } else {
          return c;
        }
      }
      if (!refill()) return -1;
    }
  }

  bool fail(JsonError error) {
    error_ = error;
    error_line_ = line_;
    error_column_ = offset() - line_start_;
    return false;
  }

  // Fails with the offending byte, if any, counted as read.
  bool fail_on_next(JsonError error) {
    take();
    return fail(error);
  }

  // ----- values

  bool parse_value(SettingValue& out) {
    int c = skip_space();
    switch (c) {
      case -1:
        return fail(JsonError::EofValue);
      case 'n':
        ++p_;
        if (!parse_ident("ull")) return false;
        out = SettingValue();
        return true;
      case 't':
        ++p_;
        if (!parse_ident("rue")) return false;
        out = SettingValue::boolean(true);
        return true;
      case 'f':
        ++p_;
        if (!parse_ident("alse")) return false;
        out = SettingValue::boolean(false);
        return true;
      case '"': {
        ++p_;
        std::string_view s;
        if (!parse_string(s)) return false;
        out = SettingValue::string(s);
        return true;
      }
      case '[':
        return parse_list(out);
      case '{':
        return parse_map(out);
      case '-':
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
        return parse_number(out);
      default:
        return fail_on_next(JsonError::ExpectedValue);
    }
  }

  bool parse_end() {
    if (skip_space() != -1) return fail_on_next(JsonError::TrailingCharacters);
    return true;
  }

  // The rest of true, false or null, after its first letter.
  bool parse_ident(const char* rest) {
    std::size_t n = std::strlen(rest);
    if (static_cast<std::size_t>(end_ - p_) >= n && std::memcmp(p_, rest, n) == 0) {
      p_ += n;
      return true;
    }
    for (; *rest != '\0'; ++rest) {
      int c = take();
      if (c == -1) return fail(JsonError::EofValue);
      if (c != *rest) return fail(JsonError::ExpectedIdent);
    }
    return true;
  }

  bool enter_container() {
    if (--depth_budget_ == 0) return fail_on_next(JsonError::RecursionLimitExceeded);
    ++p_;
    return true;
  }

  // Elements and entries of the open containers collect on shared stacks and move into a
  // container of exactly the right size at its end: one allocation per container, none for
  // growth.
  bool parse_list(SettingValue& out) {
    if (!enter_container()) return false;
    const std::size_t base = items_.size();
    int c = skip_space();
    if (c == ']') {
      ++p_;
    } else if (c == -1) {
      return fail(JsonError::EofList);
    } else {
      for (;;) {
        SettingValue item;  // not a reference into items_: the recursion may reallocate it
        if (!parse_value(item)) return false;
        items_.push_back(std::move(item));
        c = skip_space();
        if (c == ',') {
          ++p_;
          c = skip_space();
          if (c == ']') return fail_on_next(JsonError::TrailingComma);
          if (c == -1) return fail(JsonError::EofValue);
          continue;
        }
        if (c == ']') {
          ++p_;
          break;
        }
        if (c == -1) return fail(JsonError::EofList);
        return fail_on_next(JsonError::ExpectedListCommaOrEnd);
      }
    }
    List list(std::make_move_iterator(items_.begin() + static_cast<std::ptrdiff_t>(base)),
              std::make_move_iterator(items_.end()));
    items_.resize(base);
    ++depth_budget_;
    out = SettingValue::list(std::move(list));
    return true;
  }

  bool parse_map(SettingValue& out) {
    if (!enter_container()) return false;
    const std::size_t base = entries_.size();
    int c = skip_space();
    if (c == '}') {
      ++p_;
    } else if (c == -1) {
      return fail(JsonError::EofObject);
    } else {
      for (;;) {
        if (c != '"') return fail_on_next(JsonError::KeyMustBeString);
        ++p_;
        std::string_view key_text;
        if (!parse_string(key_text)) return false;
        std::string key(key_text);
        c = skip_space();
        if (c != ':') {
          return c == -1 ? fail(JsonError::EofObject) : fail_on_next(JsonError::ExpectedColon);
        }
        ++p_;
        SettingValue value;
        if (!parse_value(value)) return false;
        entries_.emplace_back(std::move(key), std::move(value));
        c = skip_space();
        if (c == ',') {
          ++p_;
          c = skip_space();
          if (c == '}') return fail_on_next(JsonError::TrailingComma);
          if (c == -1) return fail(JsonError::EofValue);
          continue;
        }
        if (c == '}') {
          ++p_;
          break;
        }
        if (c == -1) return fail(JsonError::EofObject);
        return fail_on_next(JsonError::ExpectedObjectCommaOrEnd);
      }
    }
    Mapping map = take_entries(base);
    ++depth_budget_;
    out = SettingValue::map(std::move(map));
    return true;
  }

  // Moves entries_[base..] into a mapping, which sorts them and keeps the last of repeated keys.
  Mapping take_entries(std::size_t base) {
    auto first = entries_.begin() + static_cast<std::ptrdiff_t>(base);
    Mapping map;
    map.reserve(entries_.size() - base);
    for (auto it = first; it != entries_.end(); ++it) {
      map.append(std::move(it->first), std::move(it->second));
    }
    entries_.resize(base);
    map.finish();
    return map;
  }

  // ----- strings

  // Advances q over plain string bytes, folding them into seen.
  static const char* scan_plain(const char* q, const char* end, std::uint64_t& seen) {
    while (end - q >= 8) {
      std::uint64_t w;
      std::memcpy(&w, q, 8);
      if (may_stop_string(w) != 0) break;
      seen |= w;
      q += 8;
    }
    while (q != end && !kStringStop[static_cast<unsigned char>(*q)]) {
      seen |= static_cast<unsigned char>(*q);
      ++q;
    }
    return q;
  }

  // After the opening quotation mark; consumes the closing one. The result views the window
  // when the string lies in it without escapes, else text_; either way it is valid only until
  // the next read. UTF-8 is checked once on the decoded text, and only when a byte above 0x7F
  // went by: escapes always decode to whole characters, so this equals checking the raw runs
  // between escapes.
  bool parse_string(std::string_view& result) {
    std::uint64_t seen = 0;  // OR of all plain bytes: its high bits say "not pure ASCII"
    const char* q = scan_plain(p_, end_, seen);
    if (q != end_ && *q == '"') {
      result = std::string_view(p_, static_cast<std::size_t>(q - p_));
      p_ = q + 1;
    } else {
      text_.clear();
      for (;;) {
        text_.append(p_, static_cast<std::size_t>(q - p_));
        if (q == end_) {
          p_ = q;
          if (!refill()) return fail(JsonError::EofString);
        } else {
          char c = *q;
          p_ = q + 1;
          if (c == '"') break;
          if (c == '\\') {
            if (!parse_escape(text_)) return false;
          } else {
            if (c == '\n') new_line();
            return fail(JsonError::ControlCharacter);
          }
        }
        q = scan_plain(p_, end_, seen);
      }
      result = text_;
    }
    if ((seen & kHighs) != 0 && !is_utf8(result)) {
      return fail(JsonError::InvalidUnicodeCodePoint);
    }
    return true;
  }

  // After the backslash.
  bool parse_escape(std::string& out) {
    int c = take();
    switch (c) {
      case -1:
        return fail(JsonError::EofString);
      case '"':
      case '\\':
      case '/':
        out += static_cast<char>(c);
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        return parse_unicode_escape(out);
      default:
        return fail(JsonError::InvalidEscape);
    }
  }

  // Four characters are consumed before they are judged, so "\u12x4" fails after the "4".
  bool parse_hex4(std::uint32_t& value) {
    int digits[4];
    for (int& d : digits) {
      d = take();
      if (d == -1) return fail(JsonError::EofString);
    }
    value = 0;
    for (int d : digits) {
      int v = hex_value(d);
      if (v < 0) return fail(JsonError::InvalidEscape);
      value = value * 16 + static_cast<std::uint32_t>(v);
    }
    return true;
  }

  // After "\u".
  bool parse_unicode_escape(std::string& out) {
    std::uint32_t first;
    if (!parse_hex4(first)) return false;
    if (first >= 0xDC00 && first <= 0xDFFF) return fail(JsonError::LoneLeadingSurrogate);
    if (first < 0xD800 || first > 0xDBFF) {
      append_utf8(out, first);
      return true;
    }
    for (char expected : {'\\', 'u'}) {
      int c = take();
      if (c == -1) return fail(JsonError::EofString);
      if (c != expected) return fail(JsonError::UnexpectedEndOfHexEscape);
    }
    std::uint32_t second;
    if (!parse_hex4(second)) return false;
    if (second < 0xDC00 || second > 0xDFFF) return fail(JsonError::LoneLeadingSurrogate);
    append_utf8(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
    return true;
  }

  // ----- numbers

  // The number's text from the mark to p_, gathered in scratch_ when it straddled a refill.
  std::string_view marked_text() {
    if (scratch_.empty()) return {mark_, static_cast<std::size_t>(p_ - mark_)};
    scratch_.append(mark_, p_);
    mark_ = p_;
    return scratch_;
  }

  bool parse_number(SettingValue& out) {
    scratch_.clear();
    mark_ = p_;
    marking_ = true;
    bool ok = scan_number(out);
    marking_ = false;
    return ok;
  }

  // Integers are accumulated on the way; anything else is handed to parse_double as text. A
  // terminator is only peeked: "[1e400]" fails at column 6, before the "]".
  bool scan_number(SettingValue& out) {
    bool negative = *p_ == '-';
    if (negative) ++p_;
    int c = take();
    if (c == -1) return fail(JsonError::EofValue);
    if (!is_digit(c)) return fail(JsonError::InvalidNumber);
    std::uint64_t magnitude = static_cast<std::uint64_t>(c - '0');
    bool too_long = false;  // beyond 2^64 - 1
    c = peek();
    if (magnitude == 0) {
      if (is_digit(c)) return fail_on_next(JsonError::InvalidNumber);
    } else {
      for (; is_digit(c); c = peek()) {
        ++p_;
        if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
            __builtin_add_overflow(magnitude, static_cast<std::uint64_t>(c - '0'), &magnitude)) {
          too_long = true;
        }
      }
    }
    bool is_float = false;
    if (c == '.') {
      is_float = true;
      ++p_;
      c = peek();
      if (c == -1) return fail(JsonError::EofValue);
      if (!is_digit(c)) return fail_on_next(JsonError::InvalidNumber);
      do {
        ++p_;
      } while (is_digit(c = peek()));
    }
    if (c == 'e' || c == 'E') {
      is_float = true;
      ++p_;
      c = peek();
      bool exponent_negative = c == '-';
      if (c == '+' || c == '-') ++p_;
      c = take();
      if (c == -1) return fail(JsonError::EofValue);
      if (!is_digit(c)) return fail(JsonError::InvalidNumber);
      std::int32_t exponent = c - '0';
      for (c = peek(); is_digit(c); c = peek()) {
        ++p_;
        if (exponent > (INT32_MAX - (c - '0')) / 10) {
          return parse_exponent_overflow(out, negative, exponent_negative);
        }
        exponent = exponent * 10 + (c - '0');
      }
    }
    if (!is_float && !too_long) {
      if (!negative) {
        out = SettingValue::uinteger(magnitude);
        return true;
      }
      if (magnitude == 0) {
        out = SettingValue::floating(-0.0);
        return true;
      }
      if (magnitude <= (std::uint64_t{1} << 63)) {
        // Modular conversion (C++20): 2^63 becomes INT64_MIN.
        out = SettingValue::integer(static_cast<std::int64_t>(0 - magnitude));
        return true;
      }
    }
    ParsedDouble parsed = parse_double(marked_text());
    if (parsed.status != ParsedDouble::Status::Ok) return fail(JsonError::NumberOutOfRange);
    out = SettingValue::floating(parsed.value);
    return true;
  }

  // An exponent beyond 32 bits: zero for a zero significand or a negative exponent, else out of
  // range at once, on the digit that overflowed.
  bool parse_exponent_overflow(SettingValue& out, bool negative, bool exponent_negative) {
    bool zero = true;
    for (char c : marked_text()) {
      if (c == 'e' || c == 'E') break;
      if (c >= '1' && c <= '9') zero = false;
    }
    if (!zero && !exponent_negative) return fail(JsonError::NumberOutOfRange);
    while (is_digit(peek())) ++p_;
    out = SettingValue::floating(negative ? -0.0 : 0.0);
    return true;
  }

  ByteSource* source_ = nullptr;
  const char* start_;  // the window's first byte, at input offset base_
  const char* p_;
  const char* end_;
  std::uint64_t base_ = 0;
  bool at_end_ = false;
  std::optional<Error> io_error_;

  std::uint64_t line_ = 1;
  std::uint64_t line_start_ = 0;  // input offset of the current line's first byte
  int depth_budget_ = kDepthBudget;
  std::vector<SettingValue> items_;
  std::vector<Mapping::Entry> entries_;
  std::string text_;  // a string that needed decoding or straddled a refill

  // A number being read: from mark_ in the window, preceded by scratch_ after a refill.
  bool marking_ = false;
  const char* mark_ = nullptr;
  std::string scratch_;

  JsonError error_ = JsonError::EofValue;
  std::uint64_t error_line_ = 0;
  std::uint64_t error_column_ = 0;

  char buffer_[kBufferSize];
};

// ---------------------------------------------------------------------------------------------
// Writer

// Bytes written as an escape.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

void write_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  const char* run = s.data();
  const char* end = run + s.size();
  for (const char* q = run; q != end; ++q) {
    unsigned char c = static_cast<unsigned char>(*q);
    if (!kNeedsEscape[c]) continue;
    out.append(run, q);
    run = q + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default: {
        char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(run, end);
  out += '"';
}

void write_newline(std::string& out, std::size_t level) {
  out += '\n';
  out.append(2 * level, ' ');
}

// A container being written, the index of its next element and, in a mapping, that entry.
struct Frame {
  const SettingValue* container;
  std::size_t next;
  Mapping::const_iterator entry = {};
};

}  // namespace

Result<SettingValue> read_json(ByteSource& source) { return Reader(source).run(); }

Result<SettingValue> read_json(std::string_view text) { return Reader(text).run(); }

// Iterative, with the open containers on an explicit stack: trees built through the API can be
// far deeper than the C stack allows.
void write_json(const SettingValue& root, std::string& out) {
  using Kind = SettingValue::Kind;
  std::vector<Frame> stack;
  const SettingValue* value = &root;
  for (;;) {
    switch (value->kind()) {
      case Kind::Null:
        out += "null";
        break;
      case Kind::Bool:
        out += value->as_bool() ? "true" : "false";
        break;
      case Kind::UInt:
        append_uint(out, value->as_uint());
        break;
      case Kind::Int:
        append_int(out, value->as_int());
        break;
      case Kind::Float:
        append_json_float(out, value->as_double());
        break;
      case Kind::String:
        write_string(out, value->as_string());
        break;
      case Kind::List:
        if (value->as_list().empty()) {
          out += "[]";
        } else {
          out += '[';
          stack.push_back({value, 0});
        }
        break;
      case Kind::Map:
        if (value->as_map().empty()) {
          out += "{}";
        } else {
          out += '{';
          stack.push_back({value, 0, value->as_map().begin()});
        }
        break;
    }
    // Find the next value to write, closing every container that is done.
    for (;;) {
      if (stack.empty()) return;
      Frame& top = stack.back();
      const bool is_list = top.container->is_list();
      const std::size_t size =
          is_list ? top.container->as_list().size() : top.container->as_map().size();
      if (top.next < size) {
        if (top.next != 0) out += ',';
        write_newline(out, stack.size());
        if (is_list) {
          value = &top.container->as_list()[top.next];
        } else {
          const auto& entry = *top.entry++;
          write_string(out, entry.first);
          out += ": ";
          value = &entry.second;
        }
        ++top.next;
        break;
      }
      write_newline(out, stack.size() - 1);
      out += is_list ? ']' : '}';
      stack.pop_back();
    }
  }
}

std::string write_json(const SettingValue& root) {
  std::string out;
  write_json(root, out);
  return out;
}

}  // namespace orn
