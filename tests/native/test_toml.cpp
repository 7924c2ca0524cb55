// What the Python suite cannot reach: roots that are no mapping, text that is not UTF-8 handed
// to the parser directly, and writing a tree far deeper than the limits.
#include <string>
#include <string_view>

#include "formats/toml.hpp"
#include "test_macros.hpp"

using namespace orn;

TEST_CASE("toml: roots other than a mapping are refused by name") {
  struct Root {
    SettingValue value;
    const char* kind;
  };
  Root roots[] = {{SettingValue(), "None"},
                  {SettingValue::boolean(true), "a boolean"},
                  {SettingValue::integer(-1), "an integer"},
                  {SettingValue::floating(0.5), "a float"},
                  {SettingValue::string("x"), "a string"},
                  {SettingValue::list(), "a list"}};
  for (const Root& root : roots) {
    auto text = format_toml(root.value);
    REQUIRE(!text);
    CHECK(text.error().kind == ErrorKind::Type);
    CHECK_EQ(text.error().message, std::string("TOML cannot store this tree: the root is ") +
                                       root.kind + ", and a TOML document is a mapping");
  }
}

TEST_CASE("toml: ill-formed UTF-8 given to the parser is framed at its first byte") {
  auto tree = parse_toml("a = 1\nb = 'x\xC3(' # \xFF\n");
  REQUIRE(!tree);
  CHECK_EQ(tree.error().message, std::string("TOML parse error at line 2, column 7\n"
                                             "  |\n"
                                             "2 | b = 'x\xEF\xBF\xBD(' # \xEF\xBF\xBD\n"
                                             "  |       ^^^\n"
                                             "invalid UTF-8\n"));
}

TEST_CASE("toml: a tree nested far deeper than the stack is refused, not walked") {
  SettingValue value = SettingValue::uinteger(1);
  for (int i = 0; i < 200000; ++i) {
    List wrapper;
    wrapper.push_back(std::move(value));
    value = SettingValue::list(std::move(wrapper));
  }
  Mapping root;
  root.append(Key("v"), std::move(value));
  SettingValue tree = SettingValue::map(std::move(root));
  auto text = format_toml(tree);
  REQUIRE(!text);
  CHECK(text.error().message.find("nests 200000 levels deep") != std::string::npos);
}

TEST_CASE("toml: deep dotted keys under deep headers load, and are refused on writing") {
  std::string keys;
  for (int i = 0; i < 79; ++i) keys += (i == 0 ? "k" : ".k") + std::to_string(i);
  auto tree = parse_toml("[" + keys + "]\n" + keys + " = 1\n");
  REQUIRE(tree);
  auto text = format_toml(tree.value());
  REQUIRE(!text);
  CHECK(text.error().message.find("needs 80 keys in its header") != std::string::npos);
}
