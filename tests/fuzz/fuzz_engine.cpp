// Drives the engine with a byte-coded sequence of operations and checks, after each, that every
// mapping in the tree is strictly ordered and that reads agree with the last write.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/engine.hpp"

using namespace orn;

namespace {

bool ordered(const SettingValue& value) {
  if (value.is_list()) {
    for (const SettingValue& item : value.as_list()) {
      if (!ordered(item)) return false;
    }
    return true;
  }
  if (!value.is_map()) return true;
  const Key* previous = nullptr;
  for (const auto& [key, item] : value.as_map()) {
    if (previous != nullptr && !(*previous < key)) return false;
    if (!ordered(item)) return false;
    previous = &key;
  }
  return true;
}

// Keys come from a tiny alphabet so that operations meet each other's paths.
std::string take_key(const std::uint8_t*& data, const std::uint8_t* end) {
  static constexpr char kAlphabet[] = {'a', 'b', '/', '/', 'a', ' ', 'c', '\xc3'};
  std::string key;
  std::size_t length = data < end ? *data++ % 7 : 0;
  for (std::size_t i = 0; i < length && data < end; ++i) key += kAlphabet[*data++ % 8];
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t* end = data + size;
  SettingsEngine engine(SettingValue::map());
  while (data < end) {
    std::uint8_t op = *data++ % 9;
    std::string key = take_key(data, end);
    switch (op) {
      case 0:
      case 1: {
        SettingValue value = op == 0 ? SettingValue::integer(static_cast<std::int64_t>(key.size()))
                                     : SettingValue::string(key);
        bool stored = static_cast<bool>(engine.set_value(key, std::move(value)));
        auto found = engine.contains(key);
        if (stored && !(found && found.value())) std::abort();
        break;
      }
      case 2: {
        bool removed = static_cast<bool>(engine.remove(key));
        auto found = engine.contains(key);
        if (removed && !key.empty() && key.find_first_not_of('/') != std::string::npos && found &&
            found.value()) {
          std::abort();
        }
        break;
      }
      case 3:
        (void)engine.begin_group(key);
        break;
      case 4:
        (void)engine.end_group();
        break;
      case 5:
        (void)engine.clear();
        break;
      case 6:
        (void)engine.all_keys();
        (void)engine.child_keys();
        (void)engine.child_groups();
        break;
      case 7:
        (void)engine.set_value(key, SettingValue::map());
        break;
      default:
        // Toggles a run of keys at once, so that groups grow past one block and shrink back.
        for (int i = 0; i < 150; ++i) {
          std::string name = key + '#' + std::to_string(i * 37 % 150);
          auto found = engine.contains(name);
          if (found && found.value()) {
            (void)engine.remove(name);
          } else {
            (void)engine.set_value(name, SettingValue::integer(i));
          }
        }
        break;
    }
    (void)engine.with_root([](const SettingValue& root) -> Status {
      if (!ordered(root)) std::abort();
      return Ok{};
    });
  }
  return 0;
}
