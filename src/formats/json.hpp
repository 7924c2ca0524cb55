// JSON text: a strict reader that streams from a ByteSource and the pretty writer of settings
// files.
#pragma once

#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/byte_source.hpp"

namespace orn {

// Reads one JSON value followed only by white space. On failure the error's message is the
// reader's message with its position ("expected value at line 1 column 1"), or the operating
// system's text when the source fails; callers add their own prefix.
Result<SettingValue> read_json(ByteSource& source);
Result<SettingValue> read_json(std::string_view text);

// The settings-file layout: two spaces per level, keys in the mapping's order, no final newline.
std::string write_json(const SettingValue& root);
void write_json(const SettingValue& root, std::string& out);

}  // namespace orn
