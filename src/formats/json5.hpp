// JSON5 text: a reader of the whole text in memory and the writer of settings files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/byte_source.hpp"
#include "formats/tree_writer.hpp"

namespace orn {

// The deepest nesting of arrays and objects the reader accepts, and so the deepest tree a JSON5
// settings file may hold. The language sets no limit; this one keeps the recursive reader far
// from the end of the stack, and the 129th level is refused with "recursion limit exceeded".
inline constexpr std::size_t kJson5MaxDepth = 128;

// Reads one JSON5 value followed only by white space and comments. On failure the error is a
// TypeError whose message is the reader's ("expected colon at line 2 column 5"; an error at the
// end of the text names the innermost open bracket or brace, or nothing at the top level).
// Text that is not UTF-8 fails with "invalid bytes" at the first ill-formed byte.
Result<SettingValue> read_json5(std::string_view text);

// The whole source as UTF-8 text (a failed read or ill-formed text is an OSError, reported
// before anything is parsed), then read_json5.
Result<SettingValue> read_json5_file(ByteSource& source);

// The settings-file layout: two spaces per level, a comma after every element, bare keys where
// they are identifier names, no final newline. Any depth is written.
std::string write_json5(const SettingValue& root);

// write_json5's text, or a TypeError for a tree nested deeper than kJson5MaxDepth.
Result<TextBuffer> write_json5_file(const SettingValue& root);

// Whether key may be written without quotation marks: a non-empty identifier name.
bool is_json5_identifier(std::string_view key);

}  // namespace orn
