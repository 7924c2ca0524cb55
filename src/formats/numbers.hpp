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

// How each format lays out the shortest digits of a finite float.
enum class FloatLayout : std::uint8_t {
  // Positional for decimal exponents -5..15, always with a point and a digit on each side (1.0,
  // 0.00001, 1000000000000000.0); otherwise d.ddde+N / de-N (1e+16, 1.5e-7).
  Json,
  // As Json, but a positive exponent has no sign: 1e16, 3.402823669209385e38.
  Yaml,
  // Always positional, an integral value with ".0": 10000000000000000.0, 0.00000015, -0.0.
  Toml,
  // Always positional, an integral value without a fraction: 1, 1000000000000000000000, -0.
  Json5,
};

// The caller guarantees a finite value.
void append_float(std::string& out, double value, FloatLayout layout);

// The longest text any layout writes: a sign, "0.", 323 zeros and 17 digits for the smallest
// subnormal in positional form; 309 digits and ".0" for the largest double.
inline constexpr std::size_t kFloatTextMax = 352;

// As append_float, into p with room for kFloatTextMax bytes; returns the end of the text.
char* put_float(char* p, double value, FloatLayout layout);

// The range an integer text's value falls in, which decides how each format keeps it.
enum class IntegerRange : std::uint8_t {
  Unsigned64,  // 0 ..= 2^64 - 1 (negative zero included)
  Signed64,    // -2^63 ..= -1
  Wide,        // beyond 64 bits but within 128: -2^127 ..= 2^128 - 1
  Beyond,      // beyond that
};

// Prefixes that select a radix after the sign: "0x" 16, "0o" 8, "0b" 2.
enum class RadixPrefixes : std::uint8_t {
  None,        // decimal only
  LowerCase,   // 0x, 0o, 0b
  HexAnyCase,  // 0x and 0X
};

struct IntegerText {
  IntegerRange range;
  bool negative;
  unsigned __int128 magnitude;  // meaningful unless range is Beyond
  int radix;
};

// Classifies text as an integer: an optional sign ("+" only when allow_plus), an optional radix
// prefix, then one or more digits of that radix and nothing else. Gives false for anything that
// is not such a text, leading zeros of a decimal included ("007", but "0" and "-0" are fine).
bool classify_integer(std::string_view text, RadixPrefixes prefixes, bool allow_plus,
                      IntegerText& out);

// The value of a classified integer of range Unsigned64 or Signed64.
inline std::uint64_t unsigned_value(const IntegerText& n) {
  return static_cast<std::uint64_t>(n.magnitude);
}
inline std::int64_t signed_value(const IntegerText& n) {
  // Modular conversion (C++20): a magnitude of 2^63 becomes INT64_MIN.
  return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(n.magnitude));
}

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
