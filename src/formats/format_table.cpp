#include "formats/format_table.hpp"

#include <array>

#include "formats/input.hpp"
#include "formats/json.hpp"
#include "formats/json5.hpp"
#include "formats/toml.hpp"
#include "formats/yaml.hpp"

namespace orn {

namespace {

Result<SettingValue> read_json_file(ByteSource& source) { return read_json(source); }
Result<SettingValue> read_yaml_file(ByteSource& source) { return read_yaml(source); }

constexpr std::array<FileFormat, 4> kFormats = {{
    {DriverKind::Json, "json", "JSON", kJsonMaxDepth, read_json_file, write_json_file, true},
    {DriverKind::Json5, "json5", "JSON5", kJson5MaxDepth, read_json5_file, write_json5_file, false},
    {DriverKind::Toml, "toml", "TOML", kTomlMaxDepth, read_toml_file, format_toml, false},
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
