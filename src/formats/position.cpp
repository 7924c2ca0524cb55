#include "formats/position.hpp"

#include <algorithm>

#include "formats/numbers.hpp"

namespace orn {

namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void append_line_column(std::string& out, std::uint64_t line, std::uint64_t column) {
  out += " at line ";
  append_uint(out, line);
  out += " column ";
  append_uint(out, column);
}

}  // namespace

TextPosition position_in(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::string_view before = text.substr(0, offset);
  std::size_t line_start = before.rfind('\n');
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  TextPosition at;
  at.line = 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  at.byte_column = offset - line_start;
  at.char_column = static_cast<std::uint64_t>(
      std::count_if(before.begin() + static_cast<std::ptrdiff_t>(line_start), before.end(),
                    [](char c) { return !is_continuation(c); }));
  at.offset = offset;
  return at;
}

void append_json_position(std::string& out, const TextPosition& at) {
  append_line_column(out, at.line, at.byte_column);
}

void append_json5_position(std::string& out, const TextPosition& at) {
  append_line_column(out, at.line, at.char_column + 1);
}

void append_yaml_mark(std::string& out, std::uint64_t line, std::uint64_t column) {
  append_line_column(out, line + 1, column + 1);
}

std::string toml_frame(std::string_view text, const TextPosition& at, std::size_t span,
                       std::string_view description) {
  std::size_t offset = std::min<std::size_t>(at.offset, text.size());
  std::size_t start = offset - static_cast<std::size_t>(at.byte_column);
  std::size_t stop = text.find('\n', start);
  if (stop == std::string_view::npos) stop = text.size();
  std::string_view line = text.substr(start, stop - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

  std::string number;
  append_uint(number, at.line);
  const std::uint64_t column = at.char_column + 1;
  std::string gutter(number.size() + 1, ' ');

  std::string out = "TOML parse error at line " + number + ", column ";
  append_uint(out, column);
  out += '\n';
  out += gutter + "|\n";
  out += number + " | ";
  out += line;
  out += '\n';
  out += gutter + "|";
  out.append(static_cast<std::size_t>(column), ' ');
  std::size_t room =
      line.size() > column - 1 ? line.size() - static_cast<std::size_t>(column - 1) : 0;
  out.append(std::max<std::size_t>(1, std::min(span, room)), '^');
  out += '\n';
  out += description;
  out += '\n';
  return out;
}

}  // namespace orn
