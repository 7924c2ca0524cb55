// The trees the round-trip fuzz targets save: built from the input bytes as the API could build
// them. Bytes are opcodes: 0 null, 1 boolean, 2 unsigned (8 bytes), 3 negative (8 bytes), 4
// float (8 bytes, non-finite skipped), 5 string (a length byte, then bytes, made UTF-8), 6 open
// a list, 7 open a mapping, anything else closes the innermost container. Inside a mapping each
// value is preceded by its key, read like a string. The first byte picks a mapping or a list as
// the root.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/setting_value.hpp"
#include "formats/utf8.hpp"

namespace orn_test {

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

// max_open bounds the containers open at once: a few levels past the format's limit cross it,
// and no more keep the refused texts small.
inline orn::SettingValue tree_from_bytes(const std::uint8_t* data, std::size_t size,
                                         std::size_t max_open) {
  // A list's items are collected apart: a stored list has a fixed length.
  struct Open {
    orn::SettingValue container;  // a mapping, or null for a list
    orn::List items;
    std::string key;  // of this container in its parent mapping
    bool is_list() const { return !container.is_map(); }
    orn::SettingValue done() {
      return is_list() ? orn::SettingValue::list(std::move(items)) : std::move(container);
    }
  };
  auto add = [](std::vector<Open>& stack, orn::SettingValue value, std::string key) {
    Open& top = stack.back();
    if (top.is_list()) {
      top.items.push_back(std::move(value));
    } else {
      top.container.as_map().insert_or_assign(key, std::move(value));
    }
  };
  Bytes in(data, size);
  std::vector<Open> stack;
  stack.push_back({in.byte() % 2 == 0 ? orn::SettingValue::map() : orn::SettingValue(), {}, {}});
  while (!in.empty()) {
    std::uint8_t op = in.byte();
    if (op > 7) {
      if (stack.size() == 1) continue;
      Open done = std::move(stack.back());
      stack.pop_back();
      add(stack, done.done(), std::move(done.key));
      continue;
    }
    std::string key = stack.back().is_list() ? std::string() : in.text();
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
        if (stack.size() >= max_open) break;
        stack.push_back(
            {op == 6 ? orn::SettingValue() : orn::SettingValue::map(), {}, std::move(key)});
        break;
    }
  }
  while (stack.size() > 1) {
    Open done = std::move(stack.back());
    stack.pop_back();
    add(stack, done.done(), std::move(done.key));
  }
  return stack.back().done();
}

}  // namespace orn_test
