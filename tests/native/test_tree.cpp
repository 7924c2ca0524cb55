// The tree walks on roots that Python can only reach through a loader, and mapping building.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/tree.hpp"
#include "test_macros.hpp"

using namespace orn;

namespace {

SettingValue map_of(std::initializer_list<std::pair<const char*, int>> entries) {
  Mapping m;
  for (const auto& [k, v] : entries) m.append(Key(k), SettingValue::integer(v));
  m.finish();
  return SettingValue::map(std::move(m));
}

}  // namespace

TEST_CASE("keys hold every length, inline and in a block, through copies and moves") {
  std::vector<std::string> names;
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string name;
    for (std::size_t i = 0; i < n; ++i) name += static_cast<char>('a' + (i * 7 + n) % 26);
    names.push_back(name);
    names.push_back(name + '\0');  // bytes after the text count
  }
  for (const std::string& name : names) {
    Key key(name);
    CHECK(key.view() == name && key.size() == name.size() && key.empty() == name.empty());
    Key copy(key);
    Key moved(std::move(copy));
    CHECK(moved == key && copy.empty());
    Key assigned(names.back());
    assigned = moved;
    assigned = std::move(assigned);
    CHECK(assigned == std::string_view(name));
    for (const std::string& other : names) {
      CHECK(((key <=> Key(other)) < 0) == (name < other));
    }
  }
}

TEST_CASE("finish sorts by bytes and keeps the last duplicate") {
  Mapping m;
  for (const char* key : {"b", "a/x", "a", "a-b", "\xc3\xa9", "Z", "a"}) {
    m.append(Key(key), SettingValue::string(std::string(key) + "!"));
  }
  m.append(Key("a"), SettingValue::integer(7));
  m.finish();
  std::vector<std::string> keys;
  for (const auto& e : m) keys.emplace_back(e.first);
  CHECK((keys == std::vector<std::string>{"Z", "a", "a-b", "a/x", "b", "\xc3\xa9"}));
  REQUIRE(m.find("a") != nullptr);
  CHECK_EQ(m.find("a")->as_uint(), 7u);
}

TEST_CASE("a non-mapping root reads as absent below it and refuses writes") {
  std::vector<SettingValue> roots;
  roots.push_back(SettingValue::list());
  roots.push_back(SettingValue());
  roots.push_back(SettingValue::integer(5));
  for (SettingValue& root : roots) {
    SettingsEngine engine(std::move(root));
    auto found = engine.contains("a");
    REQUIRE(found);
    CHECK(!found.value());
    auto whole = engine.contains("/");
    CHECK(whole && whole.value());
    auto set = engine.set_value("a", SettingValue::integer(1));
    REQUIRE(!set);
    CHECK_EQ(set.error().message, std::string("Root is not an object"));
    CHECK(!engine.clear());
    auto keys = engine.all_keys();
    CHECK(keys && keys.value().empty());
  }
}

TEST_CASE("a failing write walk creates nothing") {
  SettingsEngine engine(map_of({{"a", 5}}));
  auto result = engine.set_value("a/b/c", SettingValue::integer(1));
  REQUIRE(!result);
  CHECK_EQ(result.error().kind, ErrorKind::Type);
  CHECK_EQ(result.error().message, std::string("Path segment is not an object"));
  CHECK(engine.with_root([](const SettingValue& root) -> Status {
    CHECK(root == map_of({{"a", 5}}));
    return Ok{};
  }));
}

TEST_CASE("a write is refused while the tree is being read") {
  SettingsEngine engine(SettingValue::map());
  auto outcome = engine.with_root([&](const SettingValue&) -> Status {
    auto nested = engine.set_value("x", SettingValue::integer(1));
    CHECK(!nested);
    if (!nested) CHECK_EQ(nested.error().kind, ErrorKind::Runtime);
    auto read = engine.contains("x");  // readers share
    CHECK(read && !read.value());
    return Ok{};
  });
  CHECK(outcome);
  CHECK(engine.set_value("x", SettingValue::integer(1)));
}

TEST_CASE("deep trees are listed and freed without recursion") {
  SettingsEngine engine(SettingValue::map());
  std::string key;
  for (int i = 0; i < 300000; ++i) key += "d/";
  key += "leaf";
  REQUIRE(engine.set_value(key, SettingValue::boolean(true)));
  auto keys = engine.all_keys();
  REQUIRE(keys);
  REQUIRE(keys.value().size() == 1);
  CHECK_EQ(keys.value()[0], key);
}

namespace {

using Model = std::map<std::string, std::uint64_t>;

std::string wide_key(std::size_t i) {
  // Eight shared bytes, so that the sort's first digit ties for every key.
  return "setting_" + std::to_string(i * 7919 % 100003);
}

bool matches(const Mapping& m, const Model& model) {
  if (m.size() != model.size() || m.empty() != model.empty()) return false;
  auto want = model.begin();
  std::size_t seen = 0;
  for (const auto& [key, value] : m) {
    if (want == model.end() || std::string_view(key) != want->first ||
        value.as_uint() != want->second)
      return false;
    ++want;
    ++seen;
  }
  for (const auto& [key, value] : model) {
    const SettingValue* found = m.find(key);
    if (found == nullptr || found->as_uint() != value) return false;
  }
  return seen == model.size() && m.find("setting_") == nullptr && m.find("zzz") == nullptr;
}

}  // namespace

TEST_CASE("wide mappings stay ordered across block splits, merges and refills") {
  const std::size_t k = Mapping::kBlockMax;
  for (std::size_t total : {k - 1, k, k + 1, 2 * k, 2 * k + 1, 5 * k + 3}) {
    // Inserted ascending, descending, alternately from both ends, or built whole (full blocks);
    // then erased front first, back first, or from the middle out.
    for (int build = 0; build < 4; ++build) {
      for (int removal = 0; removal < 3; ++removal) {
        Mapping m;
        Model model;
        for (std::size_t i = 0; i < total; ++i) {
          std::size_t n = build == 1 ? total - 1 - i : build == 2 && i % 2 ? total - i : i;
          if (build == 3) {
            m.append_copy(wide_key(n), SettingValue::uinteger(n));
          } else {
            m.insert_or_assign(wide_key(n), SettingValue::uinteger(n));
          }
          model[wide_key(n)] = n;
        }
        if (build == 3) m.finish();
        REQUIRE(matches(m, model));
        std::vector<std::string> keys;
        for (const auto& entry : model) keys.push_back(entry.first);
        if (removal == 1) std::reverse(keys.begin(), keys.end());
        if (removal == 2) std::rotate(keys.begin(), keys.begin() + keys.size() / 2, keys.end());
        for (const std::string& key : keys) {
          CHECK(m.erase(key));
          CHECK(!m.erase(key));
          model.erase(key);
          if (!matches(m, model)) {
            CHECK(!"erase left the mapping out of order");
            return;
          }
        }
        CHECK(m.empty());
        CHECK(m.begin() == m.end());
      }
    }
  }
}

TEST_CASE("mappings compare equal whatever their block layout") {
  Mapping built, inserted;
  Model model;
  for (std::size_t i = 0; i < 1000; ++i) {
    built.append_copy(wide_key(i), SettingValue::uinteger(i));
    inserted.insert_or_assign(wide_key(999 - i), SettingValue::uinteger(999 - i));
    model[wide_key(i)] = i;
  }
  built.finish();
  CHECK(matches(built, model));
  CHECK(matches(inserted, model));
  CHECK(built == inserted);
  inserted.insert_or_assign(wide_key(500), SettingValue::uinteger(1));
  CHECK(!(built == inserted));
  inserted.insert_or_assign(wide_key(500), SettingValue::uinteger(500));
  CHECK(inserted.erase(wide_key(0)));
  CHECK(!(built == inserted));
  CHECK(!(inserted == built));
}

TEST_CASE("appending to an edited wide mapping keeps the last of repeated keys") {
  Mapping m;
  Model model;
  for (std::size_t i = 0; i < 3000; i += 3) {
    m.insert_or_assign(wide_key(i), SettingValue::uinteger(i));
    model[wide_key(i)] = i;
  }
  for (std::size_t i = 0; i < 3000; i += 2) {  // blocks are part full: positions have gaps
    m.append_copy(wide_key(i), SettingValue::uinteger(i + 1));
    m.append_copy(wide_key(i), SettingValue::uinteger(i + 2));
    model[wide_key(i)] = i + 2;
  }
  m.finish();
  CHECK(matches(m, model));
  SettingValue& existing = m.find_or_insert_map(wide_key(3));
  CHECK_EQ(existing.as_uint(), 3u);
  CHECK(m.find_or_insert_map("zz").is_map());
  CHECK_EQ(m.size(), model.size() + 1);
}

TEST_CASE("keys inserted between the full blocks that ascending inserts leave") {
  auto key = [](std::size_t i) {
    std::string digits = std::to_string(i);
    return "key_" + std::string(6 - digits.size(), '0') + digits;  // in key order as i is
  };
  Mapping m;
  Model model;
  for (std::size_t i = 0; i < 1000; i += 2) {
    m.insert_or_assign(key(i), SettingValue::uinteger(i));
    model[key(i)] = i;
  }
  REQUIRE(matches(m, model));
  for (std::size_t i = 999; i < 1000; i -= 2) {  // every block splits or spills
    m.insert_or_assign(key(i), SettingValue::uinteger(i));
    model[key(i)] = i;
  }
  CHECK(matches(m, model));
  for (std::size_t i = 0; i < 1000; ++i) CHECK_EQ(m.find(key(i))->as_uint(), i);
}
