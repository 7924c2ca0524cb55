#include "formats/format_table.hpp"

#include <array>

#include "formats/input.hpp"
#include "formats/json.hpp"
#include "formats/yaml.hpp"

namespace orn {

namespace {

// Stand-ins for the readers and writers this build lacks. Loading such a file must fail, never
// start empty and then overwrite the user's file at the next sync; saving fails before the file
// is touched.

Result<SettingValue> not_supported(const char* label) {
  return type_error(std::string(label) + " files are not supported by this build yet");
}

Result<std::string> cannot_write(const char* label) {
  return type_error(std::string(label) + " files cannot be written by this build yet");
}

// These formats read the whole text first: a failed read or text that is not UTF-8 is reported
// as such before anything is parsed.
Result<SettingValue> read_json5(ByteSource& source) {
  ORN_TRY(read_utf8_text(source));
  return not_supported("JSON5");
}

Result<SettingValue> read_toml(ByteSource& source) {
  ORN_TRY(read_utf8_text(source));
  return not_supported("TOML");
}

Result<std::string> write_json5(const SettingValue&) { return cannot_write("JSON5"); }
Result<std::string> write_toml(const SettingValue&) { return cannot_write("TOML"); }

Result<SettingValue> read_json_file(ByteSource& source) { return read_json(source); }
Result<SettingValue> read_yaml_file(ByteSource& source) { return read_yaml(source); }

constexpr std::array<FileFormat, 4> kFormats = {{
    {DriverKind::Json, "json", "JSON", kJsonMaxDepth, read_json_file, write_json_file, true},
    {DriverKind::Json5, "json5", "JSON5", 128, read_json5, write_json5, false},
    {DriverKind::Toml, "toml", "TOML", 80, read_toml, write_toml, false},
    {DriverKind::Yaml, "yaml", "YAML", kYamlMaxDepth, read_yaml_file, write_yaml_file, true},
}};

constexpr bool rows_follow_kinds() {
  for (std::size_t i = 0; i < kFormats.size(); ++i) {
    if (static_cast<std::size_t>(kFormats[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_follow_kinds(), "kFormats[k] must be the row of DriverKind k");

}  // namespace

const FileFormat* file_format(DriverKind kind) {
  switch (kind) {
    case DriverKind::Json:
    case DriverKind::Json5:
    case DriverKind::Toml:
    case DriverKind::Yaml:
      return &kFormats[static_cast<std::size_t>(kind)];
    case DriverKind::Memory:
    case DriverKind::Custom:
      return nullptr;
  }
  return nullptr;  // not reached: the switch names every kind
}

std::span<const FileFormat> file_formats() { return kFormats; }

Result<SettingValue> read_settings(const FileFormat& format, ByteSource& source) {
  auto root = format.read(source);
  if (root) return root;
  const Error& error = root.error();
  if (error.kind == ErrorKind::Type ||
      (error.kind == ErrorKind::OS && format.read_failure_is_parse_error)) {
    return type_error(std::string(format.label) + " parse error: " + error.message);
  }
  return root;
}

}  // namespace orn
