// Strict UTF-8 (no overlong forms, no encoded surrogates, nothing above U+10FFFF), shared by the
// readers and by the file layer's text checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orn {

// The length of the well-formed sequence at p (p < end), or 0 when it is ill-formed; then bad is
// the length of its maximal subpart, the bytes that one U+FFFD replaces.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end, std::size_t& bad);

bool is_utf8(std::string_view text);

// Appends code_point (at most U+10FFFF, surrogates included when the caller allows them) as
// UTF-8.
void append_utf8(std::string& out, std::uint32_t code_point);

// Decodes the well-formed sequence at p (p < end) into code_point and gives its length, or 0
// when it is ill-formed.
std::size_t decode_utf8(const unsigned char* p, const unsigned char* end,
                        std::uint32_t& code_point);

// text with every ill-formed subpart replaced by U+FFFD.
std::string utf8_replacing(std::string_view text);

}  // namespace orn
