// Builds a tree from the input bytes, as the API could, and saves it as a TOML file would be:
// whatever the writer accepts must read back to an equal tree, and it may refuse only a tree
// that TOML cannot hold: a root that is no mapping, a null, nesting beyond the reader's limits.
// The tree comes from tree_from_bytes.hpp.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/toml.hpp"
#include "formats/tree_writer.hpp"
#include "formats/utf8.hpp"
#include "tree_from_bytes.hpp"

namespace {

bool has_null_value(const orn::SettingValue& value) {
  if (value.is_null()) return true;
  if (value.is_list()) {
    for (const auto& item : value.as_list()) {
      if (has_null_value(item)) return true;
    }
  }
  if (value.is_map()) {
    for (const auto& entry : value.as_map()) {
      if (has_null_value(entry.second)) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Deep enough to cross the limit, shallow enough that the unchecked text stays small.
  const orn::SettingValue tree = orn_test::tree_from_bytes(data, size, orn::kTomlMaxDepth + 8);

  auto file = orn::format_toml(tree);
  if (file) {
    auto back = orn::parse_toml(file.value().view());
    if (!back || !(back.value() == tree)) std::abort();
    return 0;
  }
  if (file.error().kind != orn::ErrorKind::Type) std::abort();
  if (file.error().message.rfind("TOML cannot store", 0) != 0) std::abort();
  // Within the limits (a table header has one key less than the tree's depth) with no null,
  // the writer had no reason to refuse.
  if (tree.is_map() && !has_null_value(tree) && orn::nesting_depth(tree) <= orn::kTomlMaxDepth)
    std::abort();
  return 0;
}
