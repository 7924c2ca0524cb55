#include "formats/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace orn {

std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end, std::size_t& bad) {
  unsigned char c = *p;
  if (c < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the second byte's range, narrowed for edge leads
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;   // overlong
    if (c == 0xed) high = 0x9f;  // surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;   // overlong
    if (c == 0xf4) high = 0x8f;  // above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i < length && p + i < end; ++i) {
    unsigned char lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xbf;
    if (p[i] < lo || p[i] > hi) break;
  }
  if (i == length) return length;
  bad = i;
  return 0;
}

bool is_utf8(std::string_view text) {
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    if (end - p >= 8) {  // ASCII runs eight bytes at a time
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & kHighs) == 0) {
        p += 8;
        continue;
      }
    }
    std::size_t bad = 0;
    std::size_t n = utf8_sequence(p, end, bad);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t n;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    n = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

std::size_t decode_utf8(const unsigned char* p, const unsigned char* end,
                        std::uint32_t& code_point) {
  std::size_t bad = 0;
  std::size_t n = utf8_sequence(p, end, bad);
  static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  if (n == 0) return 0;
  code_point = p[0] & kLeadBits[n];
  for (std::size_t i = 1; i < n; ++i) code_point = (code_point << 6) | (p[i] & 0x3F);
  return n;
}

std::string utf8_replacing(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  std::string out;
  out.reserve(text.size());
  while (p < end) {
    std::size_t bad = 0;
    std::size_t n = utf8_sequence(p, end, bad);
    if (n != 0) {
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    } else {
      out += "\xef\xbf\xbd";
      p += bad;
    }
  }
  return out;
}

}  // namespace orn
