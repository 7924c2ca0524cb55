// Reads arbitrary bytes as JSON5; whatever reads must be written, as a settings file would be,
// and read back to the tree the writer promises (integral floats as integers).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "formats/json5.hpp"
#include "json5_read_back.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = orn::read_json5(text);
  if (!first) {
    if (first.error().kind != orn::ErrorKind::Type || first.error().message.empty()) std::abort();
    return 0;
  }
  // Whatever the reader accepts lies within the nesting the file writer allows.
  auto file = orn::write_json5_file(first.value());
  if (!file) std::abort();
  auto second = orn::read_json5(file.value().view());
  if (!second || !(second.value() == json5_read_back(first.value()))) std::abort();
  // From there on the tree and its text are a fixed point.
  std::string again = orn::write_json5(second.value());
  auto third = orn::read_json5(again);
  if (!third || !(third.value() == second.value()) || orn::write_json5(third.value()) != again)
    std::abort();
  return 0;
}
