// TOML text: a TOML 1.1.0 reader that reports its first error in a framed message pointing at
// the offending bytes, and the writer of settings files, sections in the order they are made.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/byte_source.hpp"
#include "formats/tree_writer.hpp"

namespace orn {

// Arrays and inline tables open at once: opening one more fails. The writer refuses an inline
// value nested deeper.
inline constexpr std::size_t kTomlMaxDepth = 80;

// Parts of one dotted key or table header: a key of one part more fails. The writer refuses a
// table whose header would need more.
inline constexpr std::size_t kTomlMaxKeyParts = 79;

// The bytes a bare key is made of: ASCII letters, digits, '-' and '_'.
inline constexpr std::array<bool, 256> kTomlBareKeyChars = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
  }
  return table;
}();

// The one key of the mapping that carries a TOML date or time, as normalised text.
inline constexpr std::string_view kTomlDateTimeKey = "$__toml_private_datetime";

// Parses a whole document (a leading byte order mark is skipped) into a mapping. A failure is a
// TypeError whose message is the framed text "TOML parse error at line L, column C\n...".
Result<SettingValue> parse_toml(std::string_view text);

// The document for root, or a TypeError naming what TOML cannot hold: a root that is not a
// mapping, a None anywhere (with its key path), a tree its own reader would refuse.
Result<TextBuffer> format_toml(const SettingValue& root);

// Reads the whole file as UTF-8 text, then parses it.
Result<SettingValue> read_toml_file(ByteSource& source);

}  // namespace orn
