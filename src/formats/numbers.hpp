// Number text shared by the text formats: shortest round-trip float digits and their layouts,
// integer text, and correctly rounded decimal parsing. All of it goes through std::to_chars and
// std::from_chars, which are locale-independent and exact.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orn {

// The shortest digit string that reads back as the same double: value = (-1 if negative)
// d1.d2...dn x 10^exponent. Zero has the one digit "0" and exponent 0.
struct DecimalDigits {
  char digits[17];  // a double never needs more than 17 significant digits
  int count;
  int exponent;
  bool negative;
};

// The caller guarantees a finite value.
DecimalDigits shortest_digits(double value);

void append_uint(std::string& out, std::uint64_t value);
void append_int(std::string& out, std::int64_t value);

// JSON layout: positional for decimal exponents -5..15, always with a point and a digit on each
// side (1.0, 0.00001, 1000000000000000.0); otherwise d.ddde+N / de-N (1e+16, 1.5e-7). Finite only.
void append_json_float(std::string& out, double value);

struct ParsedDouble {
  enum class Status : std::uint8_t { Ok, Overflow, Invalid };
  Status status;
  double value;  // meaningful with Ok; a value too small to represent is a signed zero
};

// Parses the whole of text as a decimal float ("-1.5e-3"; no "+", "inf", "nan" or hexadecimal),
// rounded to nearest. The caller has checked the syntax of its format; Invalid means text was
// not entirely consumed.
ParsedDouble parse_double(std::string_view text);

}  // namespace orn
