// What the JSON5 reader makes of the writer's text for a tree: the same tree, except that an
// integral float within the 64-bit integer range comes back as that integer (negative zero as 0).
#pragma once

#include <cmath>
#include <cstdint>

#include "engine/setting_value.hpp"

inline orn::SettingValue json5_read_back(const orn::SettingValue& v) {
  using Kind = orn::SettingValue::Kind;
  switch (v.kind()) {
    case Kind::Null:
      return orn::SettingValue();
    case Kind::Bool:
      return orn::SettingValue::boolean(v.as_bool());
    case Kind::UInt:
      return orn::SettingValue::uinteger(v.as_uint());
    case Kind::Int:
      return orn::SettingValue::integer(v.as_int());
    case Kind::Float: {
      double d = v.as_double();
      if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 18446744073709551616.0) {
        return d < 0 ? orn::SettingValue::integer(static_cast<std::int64_t>(d))
                     : orn::SettingValue::uinteger(static_cast<std::uint64_t>(d));
      }
      return orn::SettingValue::floating(d);
    }
    case Kind::String:
      return orn::SettingValue::string(v.as_string());
    case Kind::List: {
      orn::List items;
      for (const orn::SettingValue& item : v.as_list()) items.push_back(json5_read_back(item));
      return orn::SettingValue::list(std::move(items));
    }
    case Kind::Map: {
      orn::Mapping map;
      for (const auto& [key, value] : v.as_map()) map.append(key, json5_read_back(value));
      map.finish();
      return orn::SettingValue::map(std::move(map));
    }
  }
  return orn::SettingValue();
}
