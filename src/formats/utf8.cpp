#include "formats/utf8.hpp"

#include <array>
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

namespace {

// Validation as a state machine stepped without a branch per byte: text that mixes a few
// accented letters into ASCII would otherwise mispredict at nearly every one of them. States
// are what the next bytes must be; each is kept as six times its number, the shift that finds
// its successor in the byte's row (nine states in six bits each).
enum Utf8State : std::uint8_t {
  kBoundary,  // between characters
  kInvalid,   // stays so
  kNeed1,     // one more 80..BF
  kNeed2,     // two more
  kNeed3,     // three more
  kAfterE0,   // A0..BF, then one more (no overlong forms)
  kAfterED,   // 80..9F, then one more (no surrogates)
  kAfterF0,   // 90..BF, then two more (no overlong forms)
  kAfterF4,   // 80..8F, then two more (nothing above U+10FFFF)
};

constexpr Utf8State next_state(Utf8State state, unsigned byte) {
  const bool low = byte >= 0x80 && byte <= 0x8f;
  const bool mid = byte >= 0x90 && byte <= 0x9f;
  const bool high = byte >= 0xa0 && byte <= 0xbf;
  const bool continuation = low || mid || high;
  switch (state) {
    case kBoundary:
      if (byte < 0x80) return kBoundary;
      if (byte >= 0xc2 && byte <= 0xdf) return kNeed1;
      if (byte == 0xe0) return kAfterE0;
      if (byte == 0xed) return kAfterED;
      if (byte >= 0xe1 && byte <= 0xef) return kNeed2;
      if (byte == 0xf0) return kAfterF0;
      if (byte == 0xf4) return kAfterF4;
      if (byte >= 0xf1 && byte <= 0xf3) return kNeed3;
      return kInvalid;
    case kInvalid:
      return kInvalid;
    case kNeed1:
      return continuation ? kBoundary : kInvalid;
    case kNeed2:
      return continuation ? kNeed1 : kInvalid;
    case kNeed3:
      return continuation ? kNeed2 : kInvalid;
    case kAfterE0:
      return high ? kNeed1 : kInvalid;
    case kAfterED:
      return low || mid ? kNeed1 : kInvalid;
    case kAfterF0:
      return mid || high ? kNeed2 : kInvalid;
    case kAfterF4:
      return low ? kNeed2 : kInvalid;
  }
  return kInvalid;
}

constexpr std::array<std::uint64_t, 256> kUtf8Rows = [] {
  std::array<std::uint64_t, 256> rows{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (unsigned state = kBoundary; state <= kAfterF4; ++state) {
      rows[byte] |= std::uint64_t{next_state(static_cast<Utf8State>(state), byte)} * 6
                    << (state * 6);
    }
  }
  return rows;
}();

inline std::uint64_t utf8_step(std::uint64_t shift, unsigned char byte) {
  return (kUtf8Rows[byte] >> shift) & 63;
}

}  // namespace

bool is_utf8(std::string_view text) {
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  constexpr std::size_t kBlock = 16;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  std::uint64_t shift = kBoundary * 6;
  while (static_cast<std::size_t>(end - p) >= kBlock) {
    if (shift == kBoundary * 6) {  // between characters, an ASCII block passes whole
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & kHighs) == 0) {
        p += kBlock;
        continue;
      }
    }
    for (std::size_t i = 0; i < kBlock; ++i) shift = utf8_step(shift, p[i]);
    if (shift == kInvalid * 6) return false;
    p += kBlock;
  }
  for (; p != end; ++p) shift = utf8_step(shift, *p);
  return shift == kBoundary * 6;
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
