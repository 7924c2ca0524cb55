// Parses the input as a TOML document. A failure must be one framed message; a tree that loads
// and that the writer accepts must read back from the written text as the same tree.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/toml.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto tree = orn::parse_toml(text);
  if (!tree) {
    const std::string& message = tree.error().message;
    if (tree.error().kind != orn::ErrorKind::Type) std::abort();
    if (message.rfind("TOML parse error at line ", 0) != 0) std::abort();
    if (message.empty() || message.back() != '\n') std::abort();
    return 0;
  }
  if (!tree.value().is_map()) std::abort();
  auto written = orn::format_toml(tree.value());
  if (!written) return 0;  // inf and nan load as null; dotted keys under long headers nest deep
  auto back = orn::parse_toml(written.value().view());
  if (!back || !(back.value() == tree.value())) std::abort();
  return 0;
}
