// Builds a tree from the input bytes, as the API could, and saves it as a YAML file would be:
// whatever the file writer accepts must read back to an equal tree, and whatever it refuses
// must be a tree its reader refuses too (so sync never writes a file loading fails on). The text
// must also be the one libyaml's own emitter gives for the same events.
//
// Bytes are opcodes: 0 null, 1 boolean, 2 unsigned (8 bytes), 3 negative (8 bytes), 4 float
// (8 bytes, non-finite skipped), 5 string (a length byte, then bytes, made UTF-8), 6 open a
// list, 7 open a mapping, anything else closes the innermost container. Inside a mapping each
// value is preceded by its key, read like a string.
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

namespace {

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  std::uint8_t byte() { return empty() ? 0 : *p_++; }
  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = w << 8 | byte();
    return w;
  }
  std::string text() {
    std::size_t n = byte() % 24;
    std::string s;
    while (n-- > 0 && !empty()) s += static_cast<char>(byte());
    return orn::utf8_replacing(s);
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

bool has_astral(std::string_view s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0xF0; });
}

bool has_astral(const orn::SettingValue& v) {
  if (v.is_string()) return has_astral(v.as_string());
  if (v.is_list()) {
    return std::any_of(v.as_list().begin(), v.as_list().end(),
                       [](const orn::SettingValue& item) { return has_astral(item); });
  }
  if (v.is_map()) {
    for (const auto& [key, value] : v.as_map()) {
      if (has_astral(key) || has_astral(value)) return true;
    }
  }
  return false;
}

struct Open {
  orn::SettingValue container;
  std::string key;  // of this container in its parent mapping
};

void add(std::vector<Open>& stack, orn::SettingValue value, std::string key) {
  orn::SettingValue& top = stack.back().container;
  if (top.is_list()) {
    top.as_list().push_back(std::move(value));
  } else {
    top.as_map().insert_or_assign(key, std::move(value));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  std::vector<Open> stack;
  stack.push_back({in.byte() % 2 == 0 ? orn::SettingValue::map() : orn::SettingValue::list(), {}});
  // Deep enough to cross the limit, shallow enough that the unchecked text stays small.
  constexpr std::size_t kMaxOpen = orn::kYamlMaxDepth + 8;
  while (!in.empty()) {
    std::uint8_t op = in.byte();
    if (op > 7) {
      if (stack.size() == 1) continue;
      Open done = std::move(stack.back());
      stack.pop_back();
      add(stack, std::move(done.container), std::move(done.key));
      continue;
    }
    std::string key = stack.back().container.is_map() ? in.text() : std::string();
    switch (op) {
      case 0:
        add(stack, orn::SettingValue(), std::move(key));
        break;
      case 1:
        add(stack, orn::SettingValue::boolean(in.byte() & 1), std::move(key));
        break;
      case 2:
        add(stack, orn::SettingValue::uinteger(in.word()), std::move(key));
        break;
      case 3:
        add(stack, orn::SettingValue::integer(static_cast<std::int64_t>(in.word() | 1ULL << 63)),
            std::move(key));
        break;
      case 4: {
        double d;
        std::uint64_t w = in.word();
        std::memcpy(&d, &w, sizeof d);
        if (std::isfinite(d)) add(stack, orn::SettingValue::floating(d), std::move(key));
        break;
      }
      case 5:
        add(stack, orn::SettingValue::string(in.text()), std::move(key));
        break;
      default:
        if (stack.size() >= kMaxOpen) break;
        stack.push_back(
            {op == 6 ? orn::SettingValue::list() : orn::SettingValue::map(), std::move(key)});
        break;
    }
  }
  while (stack.size() > 1) {
    Open done = std::move(stack.back());
    stack.pop_back();
    add(stack, std::move(done.container), std::move(done.key));
  }
  const orn::SettingValue& tree = stack.back().container;

  auto file = orn::write_yaml_file(tree);
  std::size_t depth = orn::nesting_depth(tree);
  if (static_cast<bool>(file) != (depth <= orn::kYamlMaxDepth)) std::abort();
  if (file) {
    if (file.value() != orn::write_yaml(tree)) std::abort();
    auto back = orn::read_yaml(file.value());
    if (!back || !(back.value() == tree)) std::abort();
    // libyaml escapes characters above U+FFFF, which this writer keeps as they are.
    if (!has_astral(tree) && orn_test::LibyamlEmitter().emit(tree) != file.value()) std::abort();
  } else {
    auto back = orn::read_yaml(orn::write_yaml(tree));
    if (back || back.error().message.rfind("recursion limit exceeded", 0) != 0) std::abort();
  }
  return 0;
}
