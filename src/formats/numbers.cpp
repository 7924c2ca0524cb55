#include "formats/numbers.hpp"

#include <charconv>
#include <climits>
#include <system_error>

namespace orn {

DecimalDigits shortest_digits(double value) {
  // Scientific to_chars without a precision gives the shortest round-trip digits, laid out as
  // "-d.ddde+XX"; all that is left is to take it apart.
  char text[32];
  char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  DecimalDigits d{};
  const char* p = text;
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  ++p;  // 'e'
  bool exponent_negative = *p++ == '-';
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  d.exponent = exponent_negative ? -exponent : exponent;
  return d;
}

void append_uint(std::string& out, std::uint64_t value) {
  char text[20];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void append_int(std::string& out, std::int64_t value) {
  char text[20];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

namespace {

// Positional digits of d: "0.000ddd" for a negative exponent, "ddd000" then "." and the rest
// otherwise. Returns whether the value was integral (no point written).
bool append_positional_digits(std::string& out, const DecimalDigits& d) {
  if (d.negative) out += '-';
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(d.digits, static_cast<std::size_t>(d.count));
    return false;
  }
  int integral = d.exponent + 1;  // digits before the point
  if (d.count <= integral) {
    out.append(d.digits, static_cast<std::size_t>(d.count));
    out.append(static_cast<std::size_t>(integral - d.count), '0');
    return true;
  }
  out.append(d.digits, static_cast<std::size_t>(integral));
  out += '.';
  out.append(d.digits + integral, static_cast<std::size_t>(d.count - integral));
  return false;
}

}  // namespace

void append_float(std::string& out, double value, FloatLayout layout) {
  DecimalDigits d = shortest_digits(value);
  switch (layout) {
    case FloatLayout::Json:
    case FloatLayout::Yaml:
      break;
    case FloatLayout::Toml:
      if (append_positional_digits(out, d)) out += ".0";
      return;
    case FloatLayout::Json5:
      append_positional_digits(out, d);
      return;
  }
  if (d.exponent >= -5 && d.exponent <= 15) {
    if (append_positional_digits(out, d)) out += ".0";
    return;
  }
  if (d.negative) out += '-';
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  if (d.exponent < 0) {
    out += "e-";
  } else {
    out += layout == FloatLayout::Json ? "e+" : "e";
  }
  append_int(out, d.exponent < 0 ? -d.exponent : d.exponent);
}

namespace {

int digit_value(char c, int radix) {
  int v = -1;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  }
  return v < radix ? v : -1;
}

}  // namespace

bool classify_integer(std::string_view text, RadixPrefixes prefixes, bool allow_plus,
                      IntegerText& out) {
  using u128 = unsigned __int128;
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || (allow_plus && text[i] == '+'))) {
    negative = text[i] == '-';
    ++i;
  }
  int radix = 10;
  if (prefixes != RadixPrefixes::None && text.size() - i >= 2 && text[i] == '0') {
    char p = text[i + 1];
    if (p == 'x' || (p == 'X' && prefixes == RadixPrefixes::HexAnyCase)) {
      radix = 16;
    } else if (prefixes == RadixPrefixes::LowerCase && p == 'o') {
      radix = 8;
    } else if (prefixes == RadixPrefixes::LowerCase && p == 'b') {
      radix = 2;
    }
    if (radix != 10) i += 2;
  }
  if (i == text.size()) return false;
  if (radix == 10 && text[i] == '0' && text.size() - i > 1) return false;
  u128 magnitude = 0;
  bool overflow = false;
  const u128 limit = ~u128{0};
  for (; i < text.size(); ++i) {
    int v = digit_value(text[i], radix);
    if (v < 0) return false;
    if (magnitude > (limit - static_cast<u128>(v)) / static_cast<u128>(radix)) overflow = true;
    magnitude = magnitude * static_cast<u128>(radix) + static_cast<u128>(v);
  }
  constexpr u128 kSigned64 = u128{1} << 63;
  constexpr u128 kSigned128 = u128{1} << 127;
  IntegerRange range;
  if (overflow) {
    range = IntegerRange::Beyond;
  } else if (!negative || magnitude == 0) {
    range = magnitude <= UINT64_MAX ? IntegerRange::Unsigned64 : IntegerRange::Wide;
  } else if (magnitude <= kSigned64) {
    range = IntegerRange::Signed64;
  } else {
    range = magnitude <= kSigned128 ? IntegerRange::Wide : IntegerRange::Beyond;
  }
  out = {range, negative, magnitude, radix};
  return true;
}

namespace {

// from_chars reports overflow and underflow alike as out of range. The decimal exponent of the
// leading non-zero digit tells them apart: any out-of-range value is beyond 1e308 or below 1e-323,
// so its sign is all that matters, and the exponent may saturate.
bool is_too_large(std::string_view text) {
  long long lead = 0;  // decimal exponent of the first non-zero digit, before the 'e' part
  long long zeros_after_point = 0;
  bool point = false;
  bool nonzero = false;
  std::size_t i = text.size() != 0 && text[0] == '-' ? 1 : 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (nonzero) {
        if (!point) ++lead;
      } else if (c != '0') {
        nonzero = true;
        lead = point ? -(zeros_after_point + 1) : 0;
      } else if (point) {
        ++zeros_after_point;
      }
    } else {
      break;  // 'e' or 'E'
    }
  }
  if (!nonzero) return false;
  long long exponent = 0;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < LLONG_MAX / 100) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return lead + exponent > 0;
}

}  // namespace

ParsedDouble parse_double(std::string_view text) {
  // from_chars also takes "inf", "nan" and "infinity": a number starts with a digit or point.
  std::size_t first = text.size() != 0 && text[0] == '-' ? 1 : 0;
  if (first == text.size() || !((text[first] >= '0' && text[first] <= '9') || text[first] == '.')) {
    return {ParsedDouble::Status::Invalid, 0.0};
  }
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ptr != end) return {ParsedDouble::Status::Invalid, 0.0};
  if (ec == std::errc::result_out_of_range) {
    if (is_too_large(text)) return {ParsedDouble::Status::Overflow, 0.0};
    return {ParsedDouble::Status::Ok, text[0] == '-' ? -0.0 : 0.0};
  }
  if (ec != std::errc()) return {ParsedDouble::Status::Invalid, 0.0};
  return {ParsedDouble::Status::Ok, value};
}

}  // namespace orn
