// The storage kinds, and for each kind kept in a text file the one row that says how it is read
// and written. Loading, saving and driver selection consult this table only: a new format is a
// reader/writer pair in its own files plus a row here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/byte_source.hpp"
#include "formats/tree_writer.hpp"

namespace orn {

enum class DriverKind : std::uint8_t { Json, Json5, Toml, Yaml, Memory, Custom };

struct FileFormat {
  DriverKind kind;
  const char* name;   // the driver's name, as the constructor takes it: "json"
  const char* label;  // as messages show it: "JSON", giving "JSON parse error: "
  // The deepest nesting of lists and mappings a file may hold: the format's one constant, which
  // its reader enforces and its writer checks, so that sync never writes what loading refuses.
  std::size_t max_depth;
  // Reads the whole settings file from the bytes of the opened file. A TypeError carries the
  // reader's message without the label; any other error is passed on.
  Result<SettingValue> (*read)(ByteSource& source);
  // The file's text, or the reason this tree cannot be stored (raised before the file is opened).
  Result<TextBuffer> (*write)(const SettingValue& root);
  // JSON and YAML report a failed read after their parse-error prefix, as a TypeError; the
  // formats that read all their text first report it as the OSError itself.
  bool read_failure_is_parse_error;
};

// The row of a file kind; null for Memory and Custom, which keep no file.
const FileFormat* file_format(DriverKind kind);

// Every row, in DriverKind order.
std::span<const FileFormat> file_formats();

// Reads a settings file through format's reader and words its failures: TypeError
// "<LABEL> parse error: <message>", or the read failure as format says.
Result<SettingValue> read_settings(const FileFormat& format, ByteSource& source);

}  // namespace orn
