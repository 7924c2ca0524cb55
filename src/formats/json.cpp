#include "formats/json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/byte_scan.hpp"
#include "formats/escapes.hpp"
#include "formats/input.hpp"
#include "formats/numbers.hpp"
#include "formats/position.hpp"
#include "formats/tree_builder.hpp"
#include "formats/tree_writer.hpp"
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

// One-pass recursive descent over an InputWindow: the caller's whole text, or a 64 KiB buffer
// refilled from the source; tokens may straddle refills.
//
// Positions: an error is reported after the bytes consumed so far, and the byte that shows the
// error counts as consumed ("[1 2]" fails at column 4, on the "2"). Only white space and error
// paths can consume a line feed (a raw one inside a string is itself an error), so the line is
// counted there and nowhere in the hot loops.
class Reader {
 public:
  explicit Reader(ByteSource& source) : in_(source) {}
  explicit Reader(std::string_view text) : in_(text) {}

  Result<SettingValue> run() {
    SettingValue root;
    bool ok = parse_value(root) && parse_end();
    if (in_.io_error()) return std::move(*in_.io_error());  // the parse only saw a premature end
    if (!ok) {
      std::string message = message_of(error_);
      append_json_position(message, error_at_);
      return type_error(std::move(message));
    }
    return root;
  }

 private:
  // The next byte after white space, not consumed; -1 at the end. Indentation comes in runs of
  // spaces, skipped up to sixteen (SSE2) or eight at a time.
  int skip_space() {
    const char*& p = in_.cur;
    for (;;) {
      while (p != in_.end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c > ' ') return c;
        if (c == ' ') {
#if defined(__SSE2__)
          if (in_.end - p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const auto spaces =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(' '))));
            p += std::countr_one(spaces);  // 16 when all are spaces
            continue;
          }
#endif
          if constexpr (std::endian::native == std::endian::little) {
            if (in_.end - p >= 8) {
              std::uint64_t w;
              std::memcpy(&w, p, 8);
              std::uint64_t other = w ^ (kOnes * ' ');  // zero bytes where there are spaces
              p += other == 0 ? 8 : std::countr_zero(other) / 8;
              continue;
            }
          }
          ++p;
        } else if (c == '\n') {
          ++p;
          in_.new_line();
        } else if (c == '\t' || c == '\r') {
          ++p;
        } else {
          return c;
        }
      }
      if (!in_.refill()) return -1;
    }
  }

  bool fail(JsonError error) {
    error_ = error;
    error_at_ = in_.position();
    return false;
  }

  // Fails with the offending byte, if any, counted as read.
  bool fail_on_next(JsonError error) {
    in_.take();
    return fail(error);
  }

  // ----- values

  // out is null. Containers go through a local: the value of a list or mapping is made when it
  // closes, and its elements move the builder's stacks meanwhile.
  bool parse_value(SettingValue& out) {
    int c = skip_space();
    if (c == '[') return parse_list(out);
    if (c == '{') return parse_map(out);
    return parse_scalar(c, out);
  }

  // A value other than a container, starting with c; out is null. Scalars are made in place
  // (placement new of the factory's result): out may be a slot of the builder's stacks that
  // nothing reads back soon, so no store of a temporary is reloaded on the hot path.
  bool parse_scalar(int c, SettingValue& out) {
    switch (c) {
      case -1:
        return fail(JsonError::EofValue);
      case 'n':
        ++in_.cur;
        return parse_ident("ull");
      case 't':
        ++in_.cur;
        if (!parse_ident("rue")) return false;
        ::new (static_cast<void*>(&out)) SettingValue(SettingValue::boolean(true));
        return true;
      case 'f':
        ++in_.cur;
        if (!parse_ident("alse")) return false;
        ::new (static_cast<void*>(&out)) SettingValue(SettingValue::boolean(false));
        return true;
      case '"': {
        ++in_.cur;
        std::string_view s;
        if (!parse_string(s)) return false;
        ::new (static_cast<void*>(&out)) SettingValue(SettingValue::string(s));
        return true;
      }
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
    if (static_cast<std::size_t>(in_.end - in_.cur) >= n && std::memcmp(in_.cur, rest, n) == 0) {
      in_.cur += n;
      return true;
    }
    for (; *rest != '\0'; ++rest) {
      int c = in_.take();
      if (c == -1) return fail(JsonError::EofValue);
      if (c != *rest) return fail(JsonError::ExpectedIdent);
    }
    return true;
  }

  bool enter_container() {
    if (depth_ == kJsonMaxDepth) return fail_on_next(JsonError::RecursionLimitExceeded);
    ++depth_;
    ++in_.cur;
    return true;
  }

  bool parse_list(SettingValue& out) {
    if (!enter_container()) return false;
    const std::size_t start = tree_.list_start();
    int c = skip_space();
    if (c == ']') {
      ++in_.cur;
    } else if (c == -1) {
      return fail(JsonError::EofList);
    } else {
      for (;;) {
        if (c == '[' || c == '{') {
          SettingValue item;
          if (!(c == '[' ? parse_list(item) : parse_map(item))) return false;
          tree_.add_item(std::move(item));
        } else if (!parse_scalar(c, tree_.new_item())) {
          return false;
        }
        c = skip_space();
        if (c == ',') {
          ++in_.cur;
          c = skip_space();
          if (c == ']') return fail_on_next(JsonError::TrailingComma);
          if (c == -1) return fail(JsonError::EofValue);
          continue;
        }
        if (c == ']') {
          ++in_.cur;
          break;
        }
        if (c == -1) return fail(JsonError::EofList);
        return fail_on_next(JsonError::ExpectedListCommaOrEnd);
      }
    }
    --depth_;
    out = tree_.finish_list(start);
    return true;
  }

  bool parse_map(SettingValue& out) {
    if (!enter_container()) return false;
    const std::size_t start = tree_.map_start();
    int c = skip_space();
    if (c == '}') {
      ++in_.cur;
    } else if (c == -1) {
      return fail(JsonError::EofObject);
    } else {
      for (;;) {
        if (c != '"') return fail_on_next(JsonError::KeyMustBeString);
        ++in_.cur;
        std::string_view key_text;
        if (!parse_string(key_text)) return false;
        // The entry is placed at once and its value filled in afterwards, in place for a scalar;
        // a container's own entries come and go above it on the stack.
        const std::size_t entry = tree_.new_entry(key_text);
        c = skip_space();
        if (c != ':') {
          return c == -1 ? fail(JsonError::EofObject) : fail_on_next(JsonError::ExpectedColon);
        }
        ++in_.cur;
        c = skip_space();
        if (c == '[' || c == '{') {
          SettingValue value;
          if (!(c == '[' ? parse_list(value) : parse_map(value))) return false;
          tree_.entry_value(entry) = std::move(value);
        } else if (!parse_scalar(c, tree_.entry_value(entry))) {
          return false;
        }
        c = skip_space();
        if (c == ',') {
          ++in_.cur;
          c = skip_space();
          if (c == '}') return fail_on_next(JsonError::TrailingComma);
          if (c == -1) return fail(JsonError::EofValue);
          continue;
        }
        if (c == '}') {
          ++in_.cur;
          break;
        }
        if (c == -1) return fail(JsonError::EofObject);
        return fail_on_next(JsonError::ExpectedObjectCommaOrEnd);
      }
    }
    --depth_;
    tree_.finish_map(start, out);  // later entries win: never refused
    return true;
  }

  // ----- strings

  // Advances q over plain string bytes, folding them into seen (whose high bits alone are read).
  static const char* scan_plain(const char* q, const char* end, std::uint64_t& seen) {
#if defined(__SSE2__)
    // Sixteen bytes a compare: quotation mark, backslash, or at most 0x1F (unsigned: the
    // maximum with 0x1F is 0x1F). The high bits of the bytes before the stop go into seen.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    while (end - q >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const __m128i stop =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                       _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
      const auto stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
      const auto highs = static_cast<unsigned>(_mm_movemask_epi8(x));
      if (stops != 0) {
        if ((highs & (stops ^ (stops - 1))) != 0) seen |= 0x80;  // up to the first stop
        return q + std::countr_zero(stops);
      }
      if (highs != 0) seen |= 0x80;
      q += 16;
    }
#endif
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
    const char*& p = in_.cur;
    const char* q = scan_plain(p, in_.end, seen);
    if (q != in_.end && *q == '"') {
      result = std::string_view(p, static_cast<std::size_t>(q - p));
      p = q + 1;
    } else {
      text_.clear();
      for (;;) {
        text_.append(p, static_cast<std::size_t>(q - p));
        if (q == in_.end) {
          p = q;
          if (!in_.refill()) return fail(JsonError::EofString);
        } else {
          char c = *q;
          p = q + 1;
          if (c == '"') break;
          if (c == '\\') {
            if (!parse_escape(text_)) return false;
          } else {
            if (c == '\n') in_.new_line();
            return fail(JsonError::ControlCharacter);
          }
        }
        q = scan_plain(p, in_.end, seen);
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
    int c = in_.take();
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
    char digits[4];
    for (char& d : digits) {
      int c = in_.take();
      if (c == -1) return fail(JsonError::EofString);
      d = static_cast<char>(c);
    }
    std::int64_t parsed = parse_hex(std::string_view(digits, 4));
    if (parsed < 0) return fail(JsonError::InvalidEscape);
    value = static_cast<std::uint32_t>(parsed);
    return true;
  }

  // After "\u".
  bool parse_unicode_escape(std::string& out) {
    std::uint32_t first;
    if (!parse_hex4(first)) return false;
    if (is_low_surrogate(first)) return fail(JsonError::LoneLeadingSurrogate);
    if (!is_high_surrogate(first)) {
      append_utf8(out, first);
      return true;
    }
    for (char expected : {'\\', 'u'}) {
      int c = in_.take();
      if (c == -1) return fail(JsonError::EofString);
      if (c != expected) return fail(JsonError::UnexpectedEndOfHexEscape);
    }
    std::uint32_t second;
    if (!parse_hex4(second)) return false;
    if (!is_low_surrogate(second)) return fail(JsonError::LoneLeadingSurrogate);
    append_utf8(out, combine_surrogates(first, second));
    return true;
  }

  // ----- numbers

  // Up to 19 decimal digits always fit 64 bits.
  static constexpr int kExactDigits = 19;

  // A number that lies whole in the window and keeps to the common forms: at most 19 digits and
  // an exponent of at most four digits. Anything else, every malformed number included, is left
  // untouched for scan_number, which reads and reports it byte by byte. True when it took the
  // number (consumed, stored in out).
  bool parse_number_quickly(SettingValue& out) {
    const char* p = in_.cur;
    const char* const end = in_.end;
    const bool negative = *p == '-';
    if (negative) ++p;
    const char* const first = p;
    std::uint64_t significand = 0;
    if (p != end && *p == '0') {
      ++p;
    } else {
      p = take_decimal_digits(p, end, significand);
      if (p == first) return false;
    }
    int digits = static_cast<int>(p - first);
    int fraction = 0;
    if (p != end && *p == '.') {
      const char* point = ++p;
      p = take_decimal_digits(p, end, significand);
      fraction = static_cast<int>(p - point);
      if (fraction == 0) return false;
      digits += fraction;
    }
    bool is_float = fraction != 0;
    int exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
      is_float = true;
      ++p;
      const bool exponent_negative = p != end && *p == '-';
      if (p != end && (*p == '-' || *p == '+')) ++p;
      const char* const exponent_first = p;
      while (p != end && is_digit(*p) && p - exponent_first < 4) {
        exponent = exponent * 10 + (*p - '0');
        ++p;
      }
      if (p == exponent_first) return false;
      if (exponent_negative) exponent = -exponent;
    }
    // Where the window ends, more digits may follow; a digit here is a fifth exponent digit or
    // the "1" of "01".
    if (p == end ? !in_.ends_input() : is_digit(*p)) return false;
    if (digits > kExactDigits) return false;
    if (!is_float) {
      if (!negative) {
        ::new (static_cast<void*>(&out)) SettingValue(SettingValue::uinteger(significand));
      } else if (significand == 0) {
        ::new (static_cast<void*>(&out)) SettingValue(SettingValue::floating(-0.0));
      } else if (significand <= (std::uint64_t{1} << 63)) {
        const auto value = static_cast<std::int64_t>(0 - significand);
        ::new (static_cast<void*>(&out)) SettingValue(SettingValue::integer(value));
      } else {
        return false;
      }
      in_.cur = p;
      return true;
    }
    double value;
    if (decimal_to_double(significand, exponent - fraction, value)) {
      if (negative) value = -value;
    } else {
      ParsedDouble parsed =
          parse_double(std::string_view(in_.cur, static_cast<std::size_t>(p - in_.cur)));
      if (parsed.status != ParsedDouble::Status::Ok) return false;
      value = parsed.value;
    }
    ::new (static_cast<void*>(&out)) SettingValue(SettingValue::floating(value));
    in_.cur = p;
    return true;
  }

  bool parse_number(SettingValue& out) {
    if (parse_number_quickly(out)) return true;
    in_.begin_mark();
    bool ok = scan_number(out);
    in_.end_mark();
    return ok;
  }

  // Integers are accumulated on the way; anything else is handed to parse_double as text. A
  // terminator is only peeked: "[1e400]" fails at column 6, before the "]". A sign, point or
  // exponent mark that no digit follows is an invalid number, also where the input ends.
  bool scan_number(SettingValue& out) {
    const char*& p = in_.cur;
    bool negative = *p == '-';
    if (negative) ++p;
    int c = in_.take();
    if (!is_digit(c)) return fail(JsonError::InvalidNumber);
    std::uint64_t magnitude = static_cast<std::uint64_t>(c - '0');
    bool too_long = false;  // beyond 2^64 - 1
    int digits = 1;         // significant digits so far, the integer part's first
    c = in_.peek();
    if (magnitude == 0) {
      if (is_digit(c)) return fail_on_next(JsonError::InvalidNumber);
    } else {
      for (; is_digit(c); c = in_.peek()) {
        ++p;
        ++digits;
        if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
            __builtin_add_overflow(magnitude, static_cast<std::uint64_t>(c - '0'), &magnitude)) {
          too_long = true;
        }
      }
    }
    bool is_float = false;
    // The decimal digits as one integer while they fit 19 digits, and the power of ten that
    // scales it, for decimal_to_double.
    std::uint64_t significand = magnitude;
    int scale = 0;
    if (c == '.') {
      is_float = true;
      ++p;
      c = in_.peek();
      if (!is_digit(c)) return fail_on_next(JsonError::InvalidNumber);
      do {
        ++p;
        if (++digits <= kExactDigits) {
          significand = significand * 10 + static_cast<std::uint64_t>(c - '0');
          --scale;
        }
      } while (is_digit(c = in_.peek()));
    }
    std::int32_t exponent = 0;
    int exponent_sign = 1;
    if (c == 'e' || c == 'E') {
      is_float = true;
      ++p;
      c = in_.peek();
      bool exponent_negative = c == '-';
      if (exponent_negative) exponent_sign = -1;
      if (c == '+' || c == '-') ++p;
      c = in_.take();
      if (!is_digit(c)) return fail(JsonError::InvalidNumber);
      exponent = c - '0';
      for (c = in_.peek(); is_digit(c); c = in_.peek()) {
        ++p;
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
    const std::int64_t power = std::int64_t{scale} + std::int64_t{exponent_sign} * exponent;
    if (double fast; is_float && !too_long && digits <= kExactDigits && power >= INT32_MIN &&
                     decimal_to_double(significand, static_cast<int>(power), fast)) {
      out = SettingValue::floating(negative ? -fast : fast);
      return true;
    }
    ParsedDouble parsed = parse_double(in_.marked());
    if (parsed.status != ParsedDouble::Status::Ok) return fail(JsonError::NumberOutOfRange);
    out = SettingValue::floating(parsed.value);
    return true;
  }

  // An exponent beyond 32 bits: zero for a zero significand or a negative exponent, else out of
  // range at once, on the digit that overflowed.
  bool parse_exponent_overflow(SettingValue& out, bool negative, bool exponent_negative) {
    bool zero = true;
    for (char c : in_.marked()) {
      if (c == 'e' || c == 'E') break;
      if (c >= '1' && c <= '9') zero = false;
    }
    if (!zero && !exponent_negative) return fail(JsonError::NumberOutOfRange);
    while (is_digit(in_.peek())) ++in_.cur;
    out = SettingValue::floating(negative ? -0.0 : 0.0);
    return true;
  }

  InputWindow in_;
  TreeBuilder tree_{DuplicateKeys::LastWins};
  std::size_t depth_ = 0;  // containers open
  std::string text_;       // a string that needed decoding or straddled a refill
  JsonError error_ = JsonError::EofValue;
  TextPosition error_at_;
};

// ---------------------------------------------------------------------------------------------
// Writer

constexpr EscapeTable kJsonEscapes = [] {
  EscapeTable table = control_escapes(HexCase::Lower);
  table.action['"'] = '"';
  table.action['\\'] = '\\';
  return table;
}();

// Settings text seldom needs an escape: the plain run is found eight bytes at a time and copied
// whole, and only what follows the first escaped byte is looked at byte by byte.
void write_string(TextBuffer& out, std::string_view s) {
  const char* p = s.data();
  const char* end = p + s.size();
  const char* stop = find_stop(
      p, end,
      [](std::uint64_t word) {
        return bytes_equal(word, '"') | bytes_equal(word, '\\') | bytes_below(word, 0x20);
      },
      [](unsigned char c) { return kJsonEscapes.action[c] != EscapeTable::kPlain; });
  const auto plain = static_cast<std::size_t>(stop - p);
  char* w = out.claim(2 + plain + 6 * static_cast<std::size_t>(end - stop));  // "\u00XX" at most
  *w++ = '"';
  std::memcpy(w, p, plain);
  w += plain;
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char* q = stop; q != end; ++q) {
    const auto c = static_cast<unsigned char>(*q);
    const char action = kJsonEscapes.action[c];
    if (action == EscapeTable::kPlain) {
      *w++ = static_cast<char>(c);
    } else if (action == EscapeTable::kUnicode) {
      std::memcpy(w, "\\u00", 4);
      w[4] = kHex[c >> 4];
      w[5] = kHex[c & 15];
      w += 6;
    } else {
      w[0] = '\\';
      w[1] = action;
      w += 2;
    }
  }
  *w++ = '"';
  out.advance(w);
}

struct JsonEmitter {
  TextBuffer& out;

  void null() { out += "null"; }
  void boolean(bool b) { out += b ? "true" : "false"; }
  void uinteger(std::uint64_t u) { append_uint(out, u); }
  void integer(std::int64_t i) { append_int(out, i); }
  void floating(double d) { append_float(out, d, FloatLayout::Json); }
  void string(std::string_view s) { write_string(out, s); }
  void empty(const SettingValue& container) { out += container.is_list() ? "[]" : "{}"; }
  void open(const SettingValue& container) { out += container.is_list() ? '[' : '{'; }
  void item(std::size_t index, std::size_t level) {
    if (index != 0) out += ',';
    append_newline(out, level, 2);
  }
  void entry(std::string_view key, std::size_t index, std::size_t level) {
    item(index, level);
    write_string(out, key);
    out += ": ";
  }
  void close(const SettingValue& container, std::size_t level) {
    append_newline(out, level, 2);
    out += container.is_list() ? ']' : '}';
  }
};

}  // namespace

Result<SettingValue> read_json(ByteSource& source) { return Reader(source).run(); }

Result<SettingValue> read_json(std::string_view text) { return Reader(text).run(); }

void write_json(const SettingValue& root, std::string& out) {
  TextBuffer text;
  walk_tree(root, kAnyDepth, JsonEmitter{text});
  out += text.view();
}

std::string write_json(const SettingValue& root) {
  TextBuffer text;
  walk_tree(root, kAnyDepth, JsonEmitter{text});
  return text.take();
}

Result<TextBuffer> write_json_file(const SettingValue& root) {
  TextBuffer text;
  if (!walk_tree(root, kJsonMaxDepth, JsonEmitter{text})) {
    return too_deep_error("JSON", root, kJsonMaxDepth);
  }
  return text;
}

}  // namespace orn
