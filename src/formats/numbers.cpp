#include "formats/numbers.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <climits>
#include <cstring>
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
  // The exponent is the short part at the end: the 'e' is found from there.
  const char* e = end - 3;  // "e+X" at the least
  while (*e != 'e') --e;
  d.digits[0] = *p;
  d.count = 1;
  if (p[1] == '.') {
    const auto fraction = static_cast<std::size_t>(e - (p + 2));
    std::memcpy(d.digits + 1, p + 2, fraction);
    d.count += static_cast<int>(fraction);
  }
  p = e + 1;
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

// Positional digits of d from p: "0.000ddd" for a negative exponent, "ddd000" then "." and the
// rest otherwise. Returns the end.
char* put_positional_digits(char* p, const DecimalDigits& d) {
  const auto count = static_cast<std::size_t>(d.count);
  if (d.negative) *p++ = '-';
  if (d.exponent < 0) {
    const auto zeros = static_cast<std::size_t>(-d.exponent - 1);
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', zeros);
    p += zeros;
    std::memcpy(p, d.digits, count);
    return p + count;
  }
  const auto before_point = static_cast<std::size_t>(d.exponent + 1);
  if (count <= before_point) {
    std::memcpy(p, d.digits, count);
    std::memset(p + count, '0', before_point - count);
    return p + before_point;
  }
  std::memcpy(p, d.digits, before_point);
  p += before_point;
  *p++ = '.';
  std::memcpy(p, d.digits + before_point, count - before_point);
  return p + (count - before_point);
}

}  // namespace

// Each layout is composed in one stack buffer and appended once: a float costs one capacity
// check instead of one per piece.
void append_float(std::string& out, double value, FloatLayout layout) {
  char text[kFloatTextMax];
  out.append(text, static_cast<std::size_t>(put_float(text, value, layout) - text));
}

char* put_float(char* p, double value, FloatLayout layout) {
  const DecimalDigits d = shortest_digits(value);
  const bool positional = layout == FloatLayout::Toml || layout == FloatLayout::Json5 ||
                          (d.exponent >= -5 && d.exponent <= 15);
  if (positional) {
    p = put_positional_digits(p, d);
    // No point was written: all digits lie before it.
    const bool integral = d.exponent >= 0 && d.count <= d.exponent + 1;
    if (integral && layout != FloatLayout::Json5) {
      *p++ = '.';
      *p++ = '0';
    }
    return p;
  }
  if (d.negative) *p++ = '-';
  *p++ = d.digits[0];
  if (d.count > 1) {
    *p++ = '.';
    std::memcpy(p, d.digits + 1, static_cast<std::size_t>(d.count - 1));
    p += d.count - 1;
  }
  *p++ = 'e';
  if (d.exponent < 0) {
    *p++ = '-';
  } else if (layout == FloatLayout::Json) {
    *p++ = '+';
  }
  // Three digits at most: the exponent of a double lies within -324..308.
  return std::to_chars(p, p + 3, d.exponent < 0 ? -d.exponent : d.exponent).ptr;
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

namespace orn {

namespace {

// An unsigned integer of up to 18 x 64 bits, enough for 2^1100 and for 5^308.
struct BigInt {
  static constexpr int kLimbs = 18;
  std::array<std::uint64_t, kLimbs> limb{};  // least significant first

  constexpr void multiply_by_5() {
    std::uint64_t carry = 0;
    for (std::uint64_t& l : limb) {
      unsigned __int128 v = static_cast<unsigned __int128>(l) * 5 + carry;
      l = static_cast<std::uint64_t>(v);
      carry = static_cast<std::uint64_t>(v >> 64);
    }
  }
  // Rounds down; floor(floor(a / b) / c) == floor(a / (b c)), so repeated division stays exact.
  constexpr void divide_by_5() {
    std::uint64_t remainder = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
      unsigned __int128 v = (static_cast<unsigned __int128>(remainder) << 64) | limb[i];
      limb[i] = static_cast<std::uint64_t>(v / 5);
      remainder = static_cast<std::uint64_t>(v % 5);
    }
  }
  constexpr int bit_length() const {
    for (int i = kLimbs - 1; i >= 0; --i) {
      if (limb[i] != 0) return i * 64 + std::bit_width(limb[i]);
    }
    return 0;
  }
  // Bits pos .. pos + 63, zeros standing in for the bits below bit 0.
  constexpr std::uint64_t bits_at(int pos) const {
    if (pos <= -64) return 0;
    if (pos < 0) return limb[0] << -pos;
    const int i = pos / 64;
    const int s = pos % 64;
    std::uint64_t out = limb[i] >> s;
    if (s != 0 && i + 1 < kLimbs) out |= limb[i + 1] << (64 - s);
    return out;
  }
};

// The top 128 bits of value, and the power of two that scales value to them.
constexpr PowerOfFive top_bits(const BigInt& value, int scale) {
  const int length = value.bit_length();
  return {value.bits_at(length - 64), value.bits_at(length - 128), scale + 128 - length};
}

}  // namespace

// Worked out at compile time with exact big integers, so no table of magic numbers needs
// checking by eye.
constexpr std::array<PowerOfFive, kMaxDecimalPower - kMinDecimalPower + 1> kPowersOfFive = [] {
  std::array<PowerOfFive, kMaxDecimalPower - kMinDecimalPower + 1> table{};
  BigInt power;  // 5^n
  power.limb[0] = 1;
  for (int n = 0; n <= kMaxDecimalPower; ++n) {
    table[static_cast<std::size_t>(n - kMinDecimalPower)] = top_bits(power, 0);
    power.multiply_by_5();
  }
  // floor(2^1100 / 5^n) keeps at least 305 significant bits up to n = 342, so its top 128 bits
  // are those of 5^-n.
  constexpr int kScale = 1100;
  BigInt reciprocal;
  reciprocal.limb[kScale / 64] = std::uint64_t{1} << (kScale % 64);
  for (int n = 1; n <= -kMinDecimalPower; ++n) {
    reciprocal.divide_by_5();
    table[static_cast<std::size_t>(-n - kMinDecimalPower)] = top_bits(reciprocal, kScale);
  }
  return table;
}();

static_assert(kPowersOfFive[0 - kMinDecimalPower].high == std::uint64_t{1} << 63);
static_assert(kPowersOfFive[0 - kMinDecimalPower].shift == 127);
static_assert(kPowersOfFive[1 - kMinDecimalPower].high == std::uint64_t{5} << 61);
static_assert(kPowersOfFive[-1 - kMinDecimalPower].high == 0xccccccccccccccccULL);  // 2^130 / 5
static_assert(kPowersOfFive[-1 - kMinDecimalPower].low == 0xccccccccccccccccULL);

bool decimal_to_double_exactly(std::uint64_t significand, int exponent, double& out) {
  // Both operands exact in a double and one rounding: this settles the exact halfway cases that
  // the product leaves (such as 2^53 - 1 x 10). A division is slow, hence second.
  static constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (significand <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
    double value = static_cast<double>(significand);
    out = exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
    return true;
  }
  return false;
}

}  // namespace orn
