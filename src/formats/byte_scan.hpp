// Finding the next byte of a small set eight bytes at a time, for the loops of readers and
// writers that run over long stretches of plain text.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "engine/key_bytes.hpp"  // kEveryByte, kHighBits, bytes_equal_exactly

namespace orn {

// The high bit of each byte of word that equals c. A byte above a marked one may be marked too
// (the subtraction borrows through it), so only the lowest mark is certain; it is the one that
// counts. The same holds for bytes_below, and for any union of such masks.
constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char c) {
  const std::uint64_t x = word ^ (kEveryByte * c);
  return (x - kEveryByte) & ~x & kHighBits;
}

// The high bit of each byte of word below n, for n at most 0x80.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned char n) {
  return (word - kEveryByte * n) & ~word & kHighBits;
}

// The first p in [p, end) with is_stop(*p). marks(word) must mark, as its lowest mark, a byte
// no later than the word's first stop byte; a marked byte that is no stop is stepped over.
template <typename Marks, typename IsStop>
inline const char* find_stop(const char* p, const char* end, Marks marks, IsStop is_stop) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      const std::uint64_t m = marks(word);
      if (m == 0) {
        p += 8;
        continue;
      }
      p += std::countr_zero(m) >> 3;
      if (is_stop(static_cast<unsigned char>(*p))) return p;
      ++p;
    }
  }
  while (p != end && !is_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace orn
