// Finding the next byte of a small set eight bytes at a time, for the loops of readers and
// writers that run over long stretches of plain text; and telling whether a key may go bare.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Whether text is non-empty and each of its bytes an ASCII letter, digit, '_' or extra: the
// writers' test of a bare key, which nearly every key passes. Sixteen bytes a step; a shorter
// text is read as overlapping pieces of itself, never past its end, as a byte read twice is
// just tested twice.
inline bool all_word_bytes(std::string_view text, char extra) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  if (n == 0) return false;
#if defined(__SSE2__)
  auto in_class = [extra](__m128i x) {
    // Unsigned x - low < count, as a signed comparison of both sides moved down by 0x80.
    auto in_range = [](__m128i x, char low, char count) {
      const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
      const __m128i offset = _mm_xor_si128(_mm_sub_epi8(x, _mm_set1_epi8(low)), bias);
      return _mm_cmplt_epi8(offset, _mm_xor_si128(_mm_set1_epi8(count), bias));
    };
    const __m128i letter = in_range(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 26);
    const __m128i digit = in_range(x, '0', 10);
    const __m128i other = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('_')),
                                       _mm_cmpeq_epi8(x, _mm_set1_epi8(extra)));
    return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), other)) == 0xFFFF;
  };
  if (n >= 16) {
    auto load = [](const char* at) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    for (std::size_t i = 0; i + 16 < n; i += 16) {
      if (!in_class(load(p + i))) return false;
    }
    return in_class(load(p + n - 16));
  }
  std::uint64_t first;
  std::uint64_t second;
  if (n >= 8) {
    first = load_word(p);
    second = load_word(p + n - 8);
  } else {
    std::uint32_t low;
    std::uint32_t high;
    if (n >= 4) {
      std::memcpy(&low, p, 4);
      std::memcpy(&high, p + n - 4, 4);
    } else {
      auto byte = [p](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(p[i]));
      };
      low = high = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16 | byte(0) << 24;
    }
    first = second = low | static_cast<std::uint64_t>(high) << 32;
  }
  return in_class(_mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first)));
#else
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned c = static_cast<unsigned char>(p[i]);
    if ((c | 0x20) - 'a' >= 26 && c - '0' >= 10 && c != '_' &&
        c != static_cast<unsigned char>(extra)) {
      return false;
    }
  }
  return true;
#endif
}

}  // namespace orn
