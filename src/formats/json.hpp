// JSON text: a strict reader that streams from a ByteSource and the pretty writer of settings
// files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/byte_source.hpp"
#include "formats/tree_writer.hpp"

namespace orn {

// The deepest nesting of arrays and objects the reader accepts, and so the deepest tree a JSON
// settings file may hold: the 128th level is refused.
inline constexpr std::size_t kJsonMaxDepth = 127;

// Reads one JSON value followed only by white space. On failure the error's message is the
// reader's message with its position ("expected value at line 1 column 1"), or the operating
// system's text when the source fails; callers add their own prefix.
Result<SettingValue> read_json(ByteSource& source);
Result<SettingValue> read_json(std::string_view text);

// The settings-file layout: two spaces per level, keys in the mapping's order, no final newline.
// Any depth is written.
std::string write_json(const SettingValue& root);
void write_json(const SettingValue& root, std::string& out);

// The text of a JSON settings file: write_json's, or a TypeError for a tree nested deeper than
// kJsonMaxDepth, which the reader would refuse to load back.
Result<TextBuffer> write_json_file(const SettingValue& root);

}  // namespace orn
