// YAML settings files: a reader over libyaml's parser events with this system's own scalar
// resolution, and a writer that lays out the tree exactly as libyaml's emitter does for the
// events this system would send it (block style, unlimited width, no document markers), except
// that characters above U+FFFF are written as themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/byte_source.hpp"
#include "formats/tree_writer.hpp"

namespace orn {

// The deepest nesting of sequences and mappings the reader accepts, and so the deepest tree a
// YAML settings file may hold: the 129th level is refused.
inline constexpr std::size_t kYamlMaxDepth = 128;

// What a plain (unquoted, untagged) scalar reads as.
enum class YamlPlainKind : std::uint8_t {
  Null,
  Bool,
  Integer,     // fits 64 bits: value holds it
  OutOfRange,  // an integer form beyond 64 bits but within 128: refused on reading
  Float,       // value holds it; null for the infinities and NaN
  String,
};

struct YamlPlain {
  YamlPlainKind kind;
  SettingValue value;  // for Null, Bool, Integer and Float
};

// The resolution of a plain scalar's text, shared by the reader and by the writer's choice of
// quotes.
YamlPlain resolve_yaml_plain(std::string_view text);

// "00", "007", "-012": after one sign, more than one character, a leading '0' and digits only.
// Never a number, and always quoted by the writer.
bool is_leading_zero_digits(std::string_view text);

// Reads the first and only document. On failure the error (a TypeError) carries the reader's
// message without a prefix, or the source's own error when reading failed.
Result<SettingValue> read_yaml(ByteSource& source);
Result<SettingValue> read_yaml(std::string_view text);

// The text of root in the settings-file layout, at any depth.
std::string write_yaml(const SettingValue& root);

// write_yaml's text, or a TypeError for a tree nested deeper than kYamlMaxDepth, which the
// reader would refuse to load back.
Result<TextBuffer> write_yaml_file(const SettingValue& root);

}  // namespace orn
