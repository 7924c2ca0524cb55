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

void append_json_float(std::string& out, double value) {
  DecimalDigits d = shortest_digits(value);
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
  out += d.exponent < 0 ? "e-" : "e+";
  append_int(out, d.exponent < 0 ? -d.exponent : d.exponent);
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
