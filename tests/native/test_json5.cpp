// What the Python suite cannot reach: text that is not UTF-8 handed to the reader directly
// (loading checks it first), the identifier test the writer uses, and reads at the very end of
// the text, where a scan running one byte too far would show under the sanitizers.
#include <string>
#include <string_view>

#include "formats/json5.hpp"
#include "test_macros.hpp"

using namespace orn;

namespace {

std::string error_of(std::string_view text) {
  auto result = read_json5(text);
  if (result) return "(parsed)";
  CHECK(result.error().kind == ErrorKind::Type);
  return result.error().message;
}

}  // namespace

TEST_CASE("json5 reader refuses bytes that are not UTF-8, at the first of them") {
  CHECK_EQ(error_of("'\xFF'"), std::string("invalid bytes at line 1 column 2"));
  CHECK_EQ(error_of("{a: 1,\n \xC3\xA9\xC0\x80: 2}"),
           std::string("invalid bytes at line 2 column 3"));
  CHECK_EQ(error_of("1 // \xED\xA0\x80"), std::string("invalid bytes at line 1 column 6"));
  CHECK_EQ(error_of("'\xE2\x82'"), std::string("invalid bytes at line 1 column 2"));
}

TEST_CASE("json5 identifier names") {
  for (std::string_view key : {"a", "_x1", "$", "\xC3\xA9", "a\xCC\x81", "x\xE2\x80\x8C",
                               "\xF0\x90\x90\x80", "\xE2\x85\xA0"}) {  // U+2160 is Nl
    CHECK(is_json5_identifier(key));
  }
  for (std::string_view key :
       {"", "1a", "a-b", "a b", "\xCC\x81", "\xE2\x80\x8C", "\xE2\x82\xAC", "\xFF", "a\xC3"}) {
    CHECK(!is_json5_identifier(key));
  }
}

TEST_CASE("json5 tokens that end with the text") {
  // Each is cut at its end, without a terminator after it: any read past the end is caught by
  // AddressSanitizer in the sanitizer build.
  const struct {
    std::string_view text;
    std::string_view outcome;
  } cases[] = {
      {"12", "(parsed)"},
      {"123456789012345678901", "JSON number out of range at line 1 column 1"},
      {"0x1F", "(parsed)"},
      {"1.5e", "EOF parsing number"},
      {"'\\", "EOF parsing escape sequence"},
      {"'\\x4", "EOF parsing escape sequence"},
      {"'\\ud83d\\ude0", "EOF parsing escape sequence"},
      {"{\\u006", "EOF parsing identifier at line 1 column 1"},
      {"{a", "EOF parsing object at line 1 column 1"},
      {"/*", "EOF parsing comment"},
      {"/**", "EOF parsing comment"},
      {"1 //", "(parsed)"},
      {"'\xE2\x80\xA8", "EOF parsing string"},
      {"\xC2\xA0", "EOF parsing value"},
  };
  for (const auto& c : cases) {
    std::string exact(c.text);  // its own allocation, ending where the text ends
    auto got = error_of(std::string_view(exact.data(), exact.size()));
    if (got != c.outcome) std::fprintf(stderr, "  for %s: %s\n", exact.c_str(), got.c_str());
    CHECK_EQ(got, std::string(c.outcome));
  }
}

TEST_CASE("json5 writer writes any depth, and the file writer refuses beyond its reader") {
  SettingValue deep = SettingValue::list();
  for (int i = 0; i < 200; ++i) {
    List items;
    items.push_back(std::move(deep));
    deep = SettingValue::list(std::move(items));
  }
  CHECK(!write_json5(deep).empty());
  auto file = write_json5_file(deep);
  REQUIRE(!file);
  CHECK(file.error().kind == ErrorKind::Type);
}
