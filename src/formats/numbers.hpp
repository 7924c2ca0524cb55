// Number text shared by the text formats: shortest round-trip float digits and their layouts,
// integer text, and correctly rounded decimal parsing. Float and integer digits are worked out
// with exact integer arithmetic; integer parsing goes through std::from_chars. None of it
// depends on the locale.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The room put_uint and put_int need: the text is at most 20 bytes ("-9223372036854775808",
// "18446744073709551615"), and bytes past it up to this room may be overwritten as scratch.
inline constexpr std::size_t kIntegerTextRoom = 20;
// The decimal text of value at p, which has kIntegerTextRoom bytes; returns the end of the text.
char* put_uint(char* p, std::uint64_t value);
char* put_int(char* p, std::int64_t value);

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

// Folds the decimal digits from p into value (modulo 2^64: the caller counts them) and
// returns the first byte that is not one. Eight bytes at a time while eight remain before end.
inline const char* take_decimal_digits(const char* p, const char* end, std::uint64_t& value) {
  if constexpr (std::endian::native == std::endian::little) {
    static constexpr std::uint64_t kScales[] = {1,      10,      100,      1000,     10000,
                                                100000, 1000000, 10000000, 100000000};
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      // Non-zero in each byte that is no digit: a digit has 3 as its high nibble, before and
      // after adding 6. Carries only run upwards, from a byte that is no digit, so the lowest
      // flagged byte, the first in the text, is always right.
      const std::uint64_t other =
          ((w & 0xF0F0F0F0F0F0F0F0ULL) ^ 0x3030303030303030ULL) |
          (((w + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) ^ 0x3030303030303030ULL);
      const int count = other == 0 ? 8 : std::countr_zero(other) / 8;
      if (count == 0) return p;
      // Digit values; what lies above the digits (the first byte on) is shifted out, and the
      // zero bytes shifted in are leading zeros. Pairs, then fours, then all eight: the first
      // byte is the most significant digit.
      w -= 0x3030303030303030ULL;
      w <<= 8 * (8 - count);
      w = (w * 10 + (w >> 8)) & 0x00FF00FF00FF00FFULL;
      w = (w * 100 + (w >> 16)) & 0x0000FFFF0000FFFFULL;
      w = (w * 10000 + (w >> 32)) & 0x00000000FFFFFFFFULL;
      value = value * kScales[count] + w;
      p += count;
      if (count != 8) return p;
    }
  }
  while (p != end && (*p >= '0' && *p <= '9')) {
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p;
  }
  return p;
}

// Parses the whole of text as a decimal float ("-1.5e-3"; no "+", "inf", "nan" or hexadecimal),
// rounded to nearest. The caller has checked the syntax of its format; Invalid means text was
// not entirely consumed.
ParsedDouble parse_double(std::string_view text);

// Powers of five as 128-bit fractions: entry q - kMinDecimalPower holds T = floor(5^q x 2^shift)
// and shift, with 2^127 <= T < 2^128.
struct PowerOfFive {
  std::uint64_t high;
  std::uint64_t low;
  int shift;
};
inline constexpr int kMinDecimalPower = -342;  // 19 digits x 10^-343 round to zero
inline constexpr int kMaxDecimalPower = 308;   // 1 x 10^309 overflows
extern const std::array<PowerOfFive, kMaxDecimalPower - kMinDecimalPower + 1> kPowersOfFive;

// significand x 10^exponent by the classic exact case: true when both factors are exact in a
// double (significand <= 2^53, exponent within -22..22), so that one operation rounds once.
bool decimal_to_double_exactly(std::uint64_t significand, int exponent, double& out);

// significand x 10^exponent, rounded to nearest, when 64- and 128-bit integer arithmetic settles
// it beyond doubt: true with out set to exactly what parse_double gives for the same number.
// False for what it leaves to parse_double: values within a hair of a halfway point, subnormals,
// overflow and exponents outside kMinDecimalPower..kMaxDecimalPower. The sign is the caller's.
// Inline: readers call it for every float.
//
// value = m x 5^e x 2^(e - zeros) for m, the significand shifted to the top bit; with
// T = floor(5^e x 2^shift), the exact m x 5^e x 2^shift lies in [P, P + m) for P = m x T, so its
// top 128 bits are those of P (high:low) plus less than 2. Rounding to 53 bits can differ only
// where high:low is that close to a halfway point.
inline bool decimal_to_double(std::uint64_t significand, int exponent, double& out) {
  if (significand == 0) {
    out = 0.0;
    return true;
  }
  if (exponent < kMinDecimalPower || exponent > kMaxDecimalPower) return false;
  using u128 = unsigned __int128;
  const PowerOfFive& power = kPowersOfFive[static_cast<std::size_t>(exponent - kMinDecimalPower)];
  const int zeros = std::countl_zero(significand);
  const std::uint64_t m = significand << zeros;
  const u128 upper_product = u128{m} * power.high;
  const u128 lower_product = u128{m} * power.low;
  std::uint64_t low = static_cast<std::uint64_t>(upper_product);
  std::uint64_t high = static_cast<std::uint64_t>(upper_product >> 64);
  const auto carry_in = static_cast<std::uint64_t>(lower_product >> 64);
  low += carry_in;
  if (low < carry_in) ++high;
  // m >= 2^63 and T >= 2^127, so high >= 2^62: 54 or 55 significant bits in high.
  const int top = static_cast<int>(high >> 63);
  const int dropped = 10 + top;  // bits of high below the 53 kept
  const std::uint64_t rest = high & ((std::uint64_t{1} << dropped) - 1);
  const std::uint64_t half = std::uint64_t{1} << (dropped - 1);
  if ((rest == half && low <= 3) || (rest == half - 1 && low >= ~std::uint64_t{0} - 3)) {
    return decimal_to_double_exactly(significand, exponent, out);
  }
  std::uint64_t mantissa = (high >> dropped) + (rest >= half ? 1 : 0);
  // value = mantissa x 2^(dropped + 128 + exponent - zeros - shift): high is P / 2^128.
  int binary_exponent = 128 + dropped + exponent - zeros - power.shift;
  if (mantissa == (std::uint64_t{1} << 53)) {
    mantissa >>= 1;
    ++binary_exponent;
  }
  const int biased = binary_exponent + 52 + 1023;
  if (biased < 1 || biased > 2046) return false;  // subnormal or overflow
  const std::uint64_t bits =
      (static_cast<std::uint64_t>(biased) << 52) | (mantissa & ((std::uint64_t{1} << 52) - 1));
  out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace orn
