// Strict UTF-8 (no overlong forms, no encoded surrogates, nothing above U+10FFFF), shared by the
// readers and by the file layer's text checks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orn {

// The length of the well-formed sequence at p (p < end), or 0 when it is ill-formed; then bad is
// the length of its maximal subpart, the bytes that one U+FFFD replaces.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end, std::size_t& bad);

bool is_utf8(std::string_view text);

// text with every ill-formed subpart replaced by U+FFFD.
std::string utf8_replacing(std::string_view text);

}  // namespace orn
