// The tree walks on roots that Python can only reach through a loader, and mapping building.
#include "engine/engine.hpp"
#include "engine/tree.hpp"
#include "test_macros.hpp"

using namespace orn;

namespace {

SettingValue map_of(std::initializer_list<std::pair<const char*, int>> entries) {
  Mapping m;
  for (const auto& [k, v] : entries) m.append(k, SettingValue::integer(v));
  m.finish();
  return SettingValue::map(std::move(m));
}

}  // namespace

TEST_CASE("finish sorts by bytes and keeps the last duplicate") {
  Mapping m;
  for (const char* key : {"b", "a/x", "a", "a-b", "\xc3\xa9", "Z", "a"}) {
    m.append(key, SettingValue::string(std::string(key) + "!"));
  }
  m.append("a", SettingValue::integer(7));
  m.finish();
  std::vector<std::string> keys;
  for (const auto& e : m) keys.push_back(e.first);
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
