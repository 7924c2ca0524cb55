// Where a reader stopped, and how each format words that place in its messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orn {

// A place in the input. Lines count from 1; columns count what precedes the place on its line.
// Streaming readers never hold a whole line, so they count bytes only and leave char_column 0.
struct TextPosition {
  std::uint64_t line = 1;
  std::uint64_t byte_column = 0;
  std::uint64_t char_column = 0;  // UTF-8 lead bytes: each character counts once
  std::uint64_t offset = 0;       // bytes of the input before the place
};

// The position of byte offset in text (offset <= text.size()); lines end at line feeds.
TextPosition position_in(std::string_view text, std::size_t offset);

// " at line L column C" with C the bytes of the line read so far, from 0.
void append_json_position(std::string& out, const TextPosition& at);

// " at line L column C" with C counting characters from 1.
void append_json5_position(std::string& out, const TextPosition& at);

// " at line L column C" for a libyaml mark, whose line and column (in characters) count from 0.
void append_yaml_mark(std::string& out, std::uint64_t line, std::uint64_t column);

// The framed message that points at span bytes from at within text:
//   TOML parse error at line L, column C
//     |
//   L | the whole source line
//     |   ^^^
//   description
// C counts characters from 1; there is at least one caret and none past the line's end.
std::string toml_frame(std::string_view text, const TextPosition& at, std::size_t span,
                       std::string_view description);

}  // namespace orn
