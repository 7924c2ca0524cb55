// Builds a tree from the input bytes, as the API could, and saves it as a JSON5 file would be:
// whatever the file writer accepts must read back to the tree it promises (integral floats as
// integers), and whatever it refuses must be a tree its reader refuses too (so sync never writes
// a file loading fails on).
// The tree comes from tree_from_bytes.hpp.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/json5.hpp"
#include "formats/tree_writer.hpp"
#include "formats/utf8.hpp"
#include "json5_read_back.hpp"
#include "tree_from_bytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Deep enough to cross the limit, shallow enough that the unchecked text stays small.
  const orn::SettingValue tree = orn_test::tree_from_bytes(data, size, orn::kJson5MaxDepth + 8);

  auto file = orn::write_json5_file(tree);
  std::size_t depth = orn::nesting_depth(tree);
  if (static_cast<bool>(file) != (depth <= orn::kJson5MaxDepth)) std::abort();
  if (file) {
    if (file.value().view() != orn::write_json5(tree)) std::abort();
    auto back = orn::read_json5(file.value().view());
    if (!back || !(back.value() == json5_read_back(tree))) std::abort();
  } else {
    auto back = orn::read_json5(orn::write_json5(tree));
    if (back || back.error().message.rfind("recursion limit exceeded", 0) != 0) std::abort();
  }
  return 0;
}
