// Builds a tree from the input bytes, as the API could, and saves it as a YAML file would be:
// whatever the file writer accepts must read back to an equal tree, and whatever it refuses
// must be a tree its reader refuses too (so sync never writes a file loading fails on). The text
// must also be the one libyaml's own emitter gives for the same events.
// The tree comes from tree_from_bytes.hpp.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../fuzz/libyaml_emitter.hpp"
#include "formats/tree_writer.hpp"
#include "formats/utf8.hpp"
#include "formats/yaml.hpp"
#include "tree_from_bytes.hpp"

namespace {

bool has_astral(std::string_view s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0xF0; });
}

bool has_astral(const orn::SettingValue& v) {
  if (v.is_string()) return has_astral(v.as_string());
  if (v.is_list()) {
    const auto items = v.as_list();
    return std::any_of(items.begin(), items.end(),
                       [](const orn::SettingValue& item) { return has_astral(item); });
  }
  if (v.is_map()) {
    for (const auto& [key, value] : v.as_map()) {
      if (has_astral(key) || has_astral(value)) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Deep enough to cross the limit, shallow enough that the unchecked text stays small.
  const orn::SettingValue tree = orn_test::tree_from_bytes(data, size, orn::kYamlMaxDepth + 8);

  auto file = orn::write_yaml_file(tree);
  std::size_t depth = orn::nesting_depth(tree);
  if (static_cast<bool>(file) != (depth <= orn::kYamlMaxDepth)) std::abort();
  if (file) {
    if (file.value().view() != orn::write_yaml(tree)) std::abort();
    auto back = orn::read_yaml(file.value().view());
    if (!back || !(back.value() == tree)) std::abort();
    // libyaml escapes characters above U+FFFF, which this writer keeps as they are.
    if (!has_astral(tree) && orn_test::LibyamlEmitter().emit(tree) != file.value().view())
      std::abort();
  } else {
    auto back = orn::read_yaml(orn::write_yaml(tree));
    if (back || back.error().message.rfind("recursion limit exceeded", 0) != 0) std::abort();
  }
  return 0;
}
