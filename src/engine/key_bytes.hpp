// Byte-level helpers for key names, which are short: loading them a word at a time, inline,
// beats a call to memcmp or memcpy of a variable length for each comparison or hash. The exact
// byte marks below also serve the readers' and writers' scans (formats/byte_scan.hpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orn {

inline constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The high bit of exactly those bytes of word that equal c: no carry crosses a byte, so marks
// of neighbouring bytes can be compared with each other.
constexpr std::uint64_t bytes_equal_exactly(std::uint64_t word, unsigned char c) {
  const std::uint64_t x = word ^ (kEveryByte * c);
  return ~(((x & ~kHighBits) + ~kHighBits) | x) & kHighBits;
}

// The n bytes at p (0 < n < 8) as a little-endian word, zero above them: two overlapping loads
// instead of a byte loop, never reading past p + n.
inline std::uint64_t short_word(const char* p, std::size_t n) noexcept {
  if (n >= 4) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return low | (static_cast<std::uint64_t>(high) << ((n - 4) * 8));
  }
  auto byte = [p](std::size_t i) {
    return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]));
  };
  return byte(0) | (byte(n / 2) << (n / 2 * 8)) | (byte(n - 1) << ((n - 1) * 8));
}

inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  for (; n >= 8; p += 8, q += 8, n -= 8) {
    if (load_word(p) != load_word(q)) return false;
  }
  return n == 0 || short_word(p, n) == short_word(q, n);
}

inline std::uint64_t big_endian(std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(word);
  return word;
}

// a < b in byte order. Keys are short: comparing eight bytes at a time inline beats a call to
// memcmp for each probe of a search or each check that a reader's keys came in order.
inline bool key_less(std::string_view a, std::string_view b) noexcept {
  const char* p = a.data();
  const char* q = b.data();
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (; n >= 8; p += 8, q += 8, n -= 8) {
    std::uint64_t x = load_word(p);
    std::uint64_t y = load_word(q);
    if (x != y) return big_endian(x) < big_endian(y);
  }
  if (n > 0) {
    std::uint64_t x = short_word(p, n);
    std::uint64_t y = short_word(q, n);
    if (x != y) return big_endian(x) < big_endian(y);
  }
  return a.size() < b.size();
}

}  // namespace orn
