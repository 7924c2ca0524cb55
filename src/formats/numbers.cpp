#include "formats/numbers.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <climits>
#include <cstring>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orn {

void append_uint(std::string& out, std::uint64_t value) {
  char text[kIntegerTextRoom];
  out.append(text, put_uint(text, value));
}

void append_int(std::string& out, std::int64_t value) {
  char text[kIntegerTextRoom];
  out.append(text, put_int(text, value));
}

namespace {

// Positional digits of d from p: "0.000ddd" for a negative exponent, "ddd000" then "." and the
// rest otherwise. Returns the end.
char* put_positional_digits(char* p, const DecimalDigits& d) {
  // The digits are copied in pieces of a fixed size, a few moves each where a call to memcpy of
  // a variable length costs dozens of instructions. Bytes written past the text lie within the
  // room the caller gives (kFloatTextMax) and are overwritten or left beyond the end.
  char digits[33] = {};
  std::memcpy(digits, d.digits, sizeof d.digits);
  const auto count = static_cast<std::size_t>(d.count);
  if (d.negative) *p++ = '-';
  if (d.exponent < 0) {
    const auto zeros = static_cast<std::size_t>(-d.exponent - 1);
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', zeros);
    p += zeros;
    std::memcpy(p, digits, 17);
    return p + count;
  }
  const auto before_point = static_cast<std::size_t>(d.exponent + 1);
  std::memcpy(p, digits, 17);
  if (count <= before_point) {
    std::memset(p + count, '0', before_point - count);
    return p + before_point;
  }
  // 1 <= before_point < count <= 17: at most 16 digits follow the point.
  p[before_point] = '.';
  std::memcpy(p + before_point + 1, digits + before_point, 16);
  return p + count + 1;
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
  // 64-bit steps while no step can overflow, then 128-bit steps whose overflow is told by the
  // carries: most texts tried here are short or turn out to be floats or strings.
  std::uint64_t small = 0;
  constexpr std::uint64_t kSmallMax = (UINT64_MAX - 15) / 16;  // small * radix + digit fits
  for (; i < text.size() && small <= kSmallMax; ++i) {
    int v = digit_value(text[i], radix);
    if (v < 0) return false;
    small = small * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(v);
  }
  u128 magnitude = small;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    int v = digit_value(text[i], radix);
    if (v < 0) return false;
    u128 scaled;
    overflow |= __builtin_mul_overflow(magnitude, static_cast<u128>(radix), &scaled);
    overflow |= __builtin_add_overflow(scaled, static_cast<u128>(v), &magnitude);
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

// The common case of parse_double: "-12.5e3", digits on both sides of any point, at most 19
// significant digits and a short exponent, settled by decimal_to_double. False leaves text to
// from_chars, which takes every form and rounds every value.
bool short_decimal(std::string_view text, double& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  p += negative;
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (p == end || !is_digit(*p)) return false;
  while (p != end && *p == '0') ++p;  // leading zeros are not significant
  const char* const significant = p;
  std::uint64_t significand = 0;
  p = take_decimal_digits(p, end, significand);
  auto digits = p - significant;
  int fraction = 0;
  if (p != end && *p == '.') {
    const char* const point = ++p;
    p = take_decimal_digits(p, end, significand);
    fraction = static_cast<int>(p - point);
    if (fraction == 0) return false;
    digits += fraction;
  }
  if (digits > 19) return false;
  int exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool minus = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    const char* first = p;
    for (; p != end && is_digit(*p) && p - first < 4; ++p) exponent = exponent * 10 + (*p - '0');
    if (p == first || p != end) return false;
    if (minus) exponent = -exponent;
  }
  if (p != end) return false;
  double value = 0;
  if (!decimal_to_double(significand, exponent - fraction, value)) return false;
  out = negative ? -value : value;
  return true;
}

}  // namespace

ParsedDouble parse_double(std::string_view text) {
  // from_chars also takes "inf", "nan" and "infinity": a number starts with a digit or point.
  std::size_t first = text.size() != 0 && text[0] == '-' ? 1 : 0;
  if (first == text.size() || !((text[first] >= '0' && text[first] <= '9') || text[first] == '.')) {
    return {ParsedDouble::Status::Invalid, 0.0};
  }
  double value = 0;
  if (short_decimal(text, value)) return {ParsedDouble::Status::Ok, value};
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

// Shortest digits by exact integer arithmetic. A finite v = c x 2^q rounds back from every
// decimal within its rounding interval: halfway to each neighbour, the bounds included when c is
// even (ties round to even). With 10^k the largest power of ten not above the interval's width,
// that width is 1 to 10 units of 10^k, so the interval holds at most one multiple of 10 units
// (one digit fewer than the units themselves) and at least one of floor(v) and floor(v) + 1.
// The shortest candidate is that multiple if there is one, otherwise whichever of the two units
// lies within, the nearer when both do. All values are kept as four times v / 10^k, so the bounds
// at v -+ half a step are integers, and each is taken rounded to odd: compared with even numbers
// (four times a candidate) it answers as the exact value would.
namespace {

// floor(e log2 10), floor(q log10 2) and floor(q log10 (3/4)): the table below checks the first
// over all its powers, and the second over all binary exponents.
constexpr int floor_log2_pow10(int e) { return static_cast<int>((e * 913124641741LL) >> 38); }
constexpr int floor_log10_pow2(int q) { return static_cast<int>((q * 661971961083LL) >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) {
  return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}

// 10^e rounded up to 128 bits: g = floor(10^e x 2^(127 - floor(log2 10^e))) + 1. The small
// excess of g over the exact value is what keeps the product below rounded correctly to odd.
struct PowerOfTenAbove {
  std::uint64_t high;
  std::uint64_t low;
};
constexpr int kMinPrintPower = -292;  // scales the largest doubles: floor(971 log10 2) = 292
constexpr int kMaxPrintPower = 324;   // scales the smallest subnormals: 2^-1074 < 10^-323

constexpr std::array<PowerOfTenAbove, kMaxPrintPower - kMinPrintPower + 1> kPowersOfTenAbove = [] {
  std::array<PowerOfTenAbove, kMaxPrintPower - kMinPrintPower + 1> table{};
  // floor(log2 10^e) for e from kMinPrintPower - 1, to check the decimal scale of every exponent.
  std::array<int, kMaxPrintPower - kMinPrintPower + 2> log2_of{};
  auto put = [&](int e, const BigInt& five, int scale) {
    // 5^e = t x 2^-shift with 2^127 <= t < 2^128, and 10^e has the same leading bits as 5^e.
    const PowerOfFive t = top_bits(five, scale);
    const int log2 = 127 - t.shift + e;
    if (log2 != floor_log2_pow10(e)) throw "floor_log2_pow10 is off";
    log2_of[static_cast<std::size_t>(e - kMinPrintPower + 1)] = log2;
    if (e < kMinPrintPower) return;
    const std::uint64_t low = t.low + 1;
    table[static_cast<std::size_t>(e - kMinPrintPower)] = {t.high + (low == 0 ? 1 : 0), low};
    if (t.high == ~std::uint64_t{0} && low == 0) throw "10^e rounded up needs 129 bits";
  };
  BigInt power;
  power.limb[0] = 1;
  for (int e = 0; e <= kMaxPrintPower; ++e) {
    put(e, power, 0);
    power.multiply_by_5();
  }
  constexpr int kScale = 1100;  // floor(2^1100 / 5^293) still has over 400 bits
  BigInt reciprocal;
  reciprocal.limb[kScale / 64] = std::uint64_t{1} << (kScale % 64);
  for (int n = 1; n <= 1 - kMinPrintPower; ++n) {
    reciprocal.divide_by_5();
    put(-n, reciprocal, kScale);
  }
  // 1 <= 2^q x 10^-k < 10 for k = floor_log10_pow2(q), over all binary exponents of doubles.
  for (int q = -1074; q <= 971; ++q) {
    const int e = -floor_log10_pow2(q);
    if (e < kMinPrintPower || e > kMaxPrintPower) throw "power of ten out of the table";
    const auto i = static_cast<std::size_t>(e - kMinPrintPower + 1);
    if (log2_of[i] + q < 0 || log2_of[i - 1] + q >= 0) throw "floor_log10_pow2 is off";
  }
  return table;
}();

// The top 64 bits of g x cp / 2^128, rounded to odd: an exact quotient stays as it is, any other
// gets its lowest bit set. The low 64 bits of g.low x cp are too small to matter.
inline std::uint64_t round_to_odd(const PowerOfTenAbove& g, std::uint64_t cp) {
  using u128 = unsigned __int128;
  const u128 x = u128{g.low} * cp;
  const u128 y = u128{g.high} * cp + (x >> 64);
  return static_cast<std::uint64_t>(y >> 64) | (static_cast<std::uint64_t>(y) > 1 ? 1 : 0);
}

// The sixteen decimal digits of a and b, each below 10^8, as text at out; returns how many of
// them are trailing zeros. Each number is split into halves of four digits, those into two and
// then one, with a multiply per split in every lane at once.
#if defined(__SSE2__)
inline int sixteen_digits(std::uint32_t a, std::uint32_t b, char* out) {
  // Four 32-bit lanes of four digits each, in text order; x / 10^4 = (x x 0xD1B71759) >> 45
  // for x < 2^32.
  const __m128i eights = _mm_set_epi64x(b, a);
  const __m128i high = _mm_srli_epi64(_mm_mul_epu32(eights, _mm_set1_epi64x(0xD1B71759)), 45);
  const __m128i low = _mm_sub_epi64(eights, _mm_mul_epu32(high, _mm_set1_epi64x(10000)));
  const __m128i fours = _mm_or_si128(high, _mm_slli_epi64(low, 32));
  // x / 100 = (x x 5243) >> 19 for x < 43699, in the low 16 bits of each lane.
  const __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(fours, _mm_set1_epi16(5243)), 3);
  const __m128i rest = _mm_sub_epi16(fours, _mm_mullo_epi16(hundreds, _mm_set1_epi16(100)));
  const __m128i twos = _mm_or_si128(hundreds, _mm_slli_epi32(rest, 16));
  // x / 10 = (x x 6554) >> 16 for x < 100.
  const __m128i tens = _mm_mulhi_epu16(twos, _mm_set1_epi16(6554));
  const __m128i ones = _mm_sub_epi16(twos, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
  const __m128i digits = _mm_or_si128(tens, _mm_slli_epi16(ones, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi8(digits, _mm_set1_epi8('0')));
  const auto zeros =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_setzero_si128())));
  return std::countl_zero(static_cast<std::uint16_t>(~zeros));
}
#else
// The eight digits of n, one per byte, the first digit in the lowest byte.
inline std::uint64_t eight_digits(std::uint32_t n) {
  const std::uint64_t fours = n / 10000 | static_cast<std::uint64_t>(n % 10000) << 32;
  const std::uint64_t hundreds = (fours * 10486 >> 20) & 0x0000007F0000007FULL;
  const std::uint64_t twos = ((fours - hundreds * 100) << 16) + hundreds;
  const std::uint64_t tens = (twos * 103 >> 10) & 0x000F000F000F000FULL;
  return ((twos - tens * 10) << 8) + tens;
}

inline int sixteen_digits(std::uint32_t a, std::uint32_t b, char* out) {
  std::uint64_t first = eight_digits(a);
  std::uint64_t second = eight_digits(b);
  // Trailing zeros are the zero bytes at the top of the last non-zero group.
  const int zeros = second != 0  ? std::countl_zero(second) / 8
                    : first != 0 ? 8 + std::countl_zero(first) / 8
                                 : 16;
  if constexpr (std::endian::native == std::endian::big) {
    first = __builtin_bswap64(first);
    second = __builtin_bswap64(second);
  }
  first += 0x3030303030303030ULL;
  second += 0x3030303030303030ULL;
  std::memcpy(out, &first, 8);
  std::memcpy(out + 8, &second, 8);
  return zeros;
}
#endif

constexpr std::uint64_t kPowersOfTen[] = {1,
                                          10,
                                          100,
                                          1000,
                                          10000,
                                          100000,
                                          1000000,
                                          10000000,
                                          100000000,
                                          1000000000,
                                          10000000000,
                                          100000000000,
                                          1000000000000,
                                          10000000000000,
                                          100000000000000,
                                          1000000000000000,
                                          10000000000000000,
                                          100000000000000000};

// The number of decimal digits of v, for 0 < v < 10^17: log10(2) ~ 1233 / 4096 gives it from the
// bit length to within one, and one comparison settles which.
inline int decimal_length(std::uint64_t v) {
  const int width = (64 - std::countl_zero(v)) * 1233 >> 12;
  return width + (v >= kPowersOfTen[width] ? 1 : 0);
}

}  // namespace

// Settings integers have every length, so the longer ones come out of the branch-free
// sixteen-digit conversion, not a loop whose length varies; those of up to four digits, the
// most common, take a path of their own, by pairs of digits.
char* put_uint(char* p, std::uint64_t value) {
  if (value < 10000) {
    static constexpr auto kPairs = [] {
      std::array<char, 200> pairs{};
      for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
      }
      return pairs;
    }();
    const auto n = static_cast<std::uint32_t>(value);
    if (n < 10) {
      *p = static_cast<char>('0' + n);
      return p + 1;
    }
    if (n < 100) {
      std::memcpy(p, &kPairs[2 * n], 2);
      return p + 2;
    }
    const std::uint32_t high = n / 100;
    const std::uint32_t low = n % 100;
    if (n < 1000) {
      *p = static_cast<char>('0' + high);
      std::memcpy(p + 1, &kPairs[2 * low], 2);
      return p + 3;
    }
    std::memcpy(p, &kPairs[2 * high], 2);
    std::memcpy(p + 2, &kPairs[2 * low], 2);
    return p + 4;
  }
  constexpr std::uint64_t kEight = 100000000;
  if (value >= kPowersOfTen[16]) {
    // At most four leading digits (2^64 - 1 has twenty), then sixteen in place.
    const auto top = static_cast<std::uint32_t>(value / kPowersOfTen[16]);
    const std::uint64_t rest = value % kPowersOfTen[16];
    p = put_uint(p, top);
    sixteen_digits(static_cast<std::uint32_t>(rest / kEight),
                   static_cast<std::uint32_t>(rest % kEight), p);
    return p + 16;
  }
  // Sixteen digits with leading zeros, then the last `count` of them moved to p in one copy of
  // sixteen bytes: the bytes past the text are scratch.
  char digits[32] = {};
  sixteen_digits(static_cast<std::uint32_t>(value / kEight),
                 static_cast<std::uint32_t>(value % kEight), digits);
  const int count = decimal_length(value);
  std::memcpy(p, digits + 16 - count, 16);
  return p + count;
}

char* put_int(char* p, std::int64_t value) {
  if (value >= 0) return put_uint(p, static_cast<std::uint64_t>(value));
  *p = '-';
  return put_uint(p + 1, 0 - static_cast<std::uint64_t>(value));
}

DecimalDigits shortest_digits(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  DecimalDigits d;
  d.negative = (bits >> 63) != 0;
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const auto biased = static_cast<int>(bits >> 52 & 0x7FF);
  if (biased == 0 && fraction == 0) {
    d.digits[0] = '0';
    d.count = 1;
    d.exponent = 0;
    return d;
  }
  std::uint64_t c = fraction;
  int q = -1074;
  if (biased != 0) {
    c |= std::uint64_t{1} << 52;
    q = biased - 1075;
  }
  // An odd c leaves the bounds out: they round to the even neighbour.
  const std::uint64_t open = c & 1;
  const std::uint64_t cb = c << 2;
  const std::uint64_t cb_upper = cb + 2;
  std::uint64_t cb_lower = cb - 2;
  int k = floor_log10_pow2(q);
  if (fraction == 0 && biased > 1) {
    // A power of two: the neighbour below is half as far as the one above.
    cb_lower = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  // cb x 2^q x 10^-k = (cb << h) x g / 2^128 for g near 10^-k x 2^(127 - floor(log2 10^-k)):
  // h is 1 to 4, and cb << h stays below 2^60.
  const int h = q + floor_log2_pow10(-k) + 1;
  const PowerOfTenAbove& g = kPowersOfTenAbove[static_cast<std::size_t>(-k - kMinPrintPower)];
  const std::uint64_t vb = round_to_odd(g, cb << h);
  const std::uint64_t vb_lower = round_to_odd(g, cb_lower << h);
  const std::uint64_t vb_upper = round_to_odd(g, cb_upper << h);

  // Fewer than 10 units wide, the interval cannot hold both multiples of 10 about v; at least
  // 1 unit wide, it holds s or s + 1.
  const std::uint64_t s = vb >> 2;
  std::uint64_t f;
  const std::uint64_t s10 = s / 10 * 10;
  const bool s10_in = vb_lower + open <= s10 << 2;
  const bool t10_in = ((s10 + 10) << 2) + open <= vb_upper;
  if (s10_in != t10_in) {
    f = s10_in ? s10 : s10 + 10;
  } else {
    const bool s_in = vb_lower + open <= s << 2;
    const bool t_in = ((s + 1) << 2) + open <= vb_upper;
    if (s_in != t_in) {
      f = s_in ? s : s + 1;
    } else {
      // Both: the nearer, s on a tie when it is even. 4s + 2 is the point halfway.
      const std::uint64_t middle = (s << 2) + 2;
      f = vb < middle || (vb == middle && (s & 1) == 0) ? s : s + 1;
    }
  }

  // f < 10^17: one digit and two groups of eight, laid out right-aligned in 17 places.
  const std::uint64_t upper = f / 100000000;
  const auto lower8 = static_cast<std::uint32_t>(f - upper * 100000000);
  const auto first = static_cast<std::uint32_t>(upper / 100000000);
  const auto middle8 = static_cast<std::uint32_t>(upper - std::uint64_t{first} * 100000000);
  char text[40];
  text[0] = static_cast<char>('0' + first);
  const int trailing_zeros = sixteen_digits(middle8, lower8, text + 1);
  std::memset(text + 17, '0', 16);
  // For a normal double f > c - 10 > 10^15: 16 or 17 digits. Only subnormals need the count.
  int length = f >= kPowersOfTen[16] ? 17 : 16;
  if (f < kPowersOfTen[15]) length = decimal_length(f);
  std::memcpy(d.digits, text + 17 - length, sizeof d.digits);
  d.count = length - trailing_zeros;
  d.exponent = k + length - 1;
  return d;
}

}  // namespace orn
