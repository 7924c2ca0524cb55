// Loading and saving settings files of the four text kinds. Pure C++: the engine's binding adds
// the memory and custom kinds around this.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/format_table.hpp"

namespace orn {

// Asked whenever a blocking system call of a load or save was interrupted by a signal: an error
// ends the load or save with that very error (the file as it was), success tries the call again.
// The binding runs the interpreter's signal handlers here.
using SignalCheck = std::function<Status()>;

// "Permission denied (os error 13)": the system's text for err as strerror_r gives it, then the
// number.
std::string os_error_text(int err);
// An OS error of err's kind carrying os_error_text(err).
Error os_error_from_errno(int err);

// Reads the settings file at path with format's reader, from the descriptor opened here. A
// missing file (ENOENT, the empty path included) gives an empty mapping and creates nothing.
Result<SettingValue> load_file(const FileFormat& format, const std::string& path,
                               const SignalCheck& on_signal);

// Writes the whole tree to path in format: the text first (a tree the format refuses touches
// nothing), then missing parent directories, then the file. A regular file is replaced through a
// temporary beside it, so that a failure at any point leaves the previous content intact; where it
// cannot be replaced it is rewritten in place after the room for the new text has been claimed.
// Special files are written through.
Status save_file(const FileFormat& format, const std::string& path, const SettingValue& root,
                 const SignalCheck& on_signal);

}  // namespace orn
