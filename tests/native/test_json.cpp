// What the Python suite cannot reach easily: tokens straddling buffer refills, failing sources,
// strict UTF-8, round trips, and writing trees deeper than the stack.
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/json.hpp"
#include "test_macros.hpp"
#include "test_sources.hpp"

using namespace orn;

namespace {

std::string error_of(std::string_view text) {
  auto result = read_json(text);
  if (result) return "(parsed)";
  CHECK(result.error().kind == ErrorKind::Type);
  return result.error().message;
}

// Reads through the streaming path too, in 1-byte and 8 KiB-window pieces, and insists that all
// three agree: the position logic must not depend on where refills fall.
std::string round_trip(std::string_view text) {
  auto result = read_json(text);
  if (!result) return "error: " + result.error().message;
  for (std::size_t chunk : {std::size_t{1}, std::size_t{8192}}) {
    ChunkedSource source(text, chunk);
    auto streamed = read_json(source);
    CHECK(streamed && streamed.value() == result.value());
  }
  return write_json(result.value());
}

}  // namespace

TEST_CASE("json strings reject bad UTF-8 and keep escapes") {
  const char* invalid[] = {
      "\"\xC0\xAF\"",          // overlong '/'
      "\"\xE0\x9F\xBF\"",      // overlong
      "\"\xED\xA0\x80\"",      // U+D800 encoded directly
      "\"\xF4\x90\x80\x80\"",  // U+110000
      "\"\xF5\x80\x80\x80\"",  // no such lead byte
      "\"\x80\"",              // stray continuation
      "\"\xE2\x82\"",          // truncated
      "\"\xC3\\u00a9\"",       // a lead byte cut off by an escape
  };
  for (const char* text : invalid) {
    CHECK(error_of(text).rfind("invalid unicode code point at line 1", 0) == 0);
  }
  const struct {
    std::string_view text;
    std::string_view value;
  } valid[] = {
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
      {"\"\\u0000\\u00e9\\u20AC\"", std::string_view("\0\xC3\xA9\xE2\x82\xAC", 6)},
      {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
      {"\"\xF4\x8F\xBF\xBF\xEF\xBF\xBF\x7F\"", "\xF4\x8F\xBF\xBF\xEF\xBF\xBF\x7F"},
  };
  for (const auto& c : valid) {
    auto result = read_json(c.text);
    REQUIRE(result && result.value().is_string());
    CHECK_EQ(result.value().as_string(), std::string(c.value));
  }
}

TEST_CASE("json tokens across the 8192-byte window") {
  // Pad so that a token starts a few bytes before the first refill and ends after it.
  for (std::size_t pad = 8180; pad < 8196; ++pad) {
    std::string head = std::string("[").append(pad, ' ');
    std::string long_string = std::string("[\n  \"").append(40, 'x');
    long_string += "\xC3\xA9\xF0\x9F\x98\x80\"\n]";
    CHECK_EQ(round_trip(head + "\"" + std::string(40, 'x') + "\\u00e9\\ud83d\\ude00\"]"),
             long_string);
    CHECK_EQ(round_trip(head + "-12345678901234567.25e-3]"), "[\n  -12345678901234.566\n]");
    CHECK_EQ(round_trip(head + "18446744073709551616]"), "[\n  1.8446744073709552e+19\n]");
    CHECK_EQ(round_trip(head + "true,null,false]"), "[\n  true,\n  null,\n  false\n]");
  }
  // A number longer than the window, read only through the source.
  std::string long_number = "0." + std::string(20000, '0') + "1e20005";
  ChunkedSource source(long_number, 8192);
  auto result = read_json(source);
  REQUIRE(result);
  CHECK_EQ(write_json(result.value()), std::string("10000.0"));
  // Positions keep counting across refills.
  std::string late = std::string(9000, '\n') + std::string(9000, ' ') + "x";
  ChunkedSource late_source(late, 8192);
  auto late_error = read_json(late_source);
  CHECK(!late_error && late_error.error().message == "expected value at line 9001 column 9001");
}

TEST_CASE("json source failures surface as the source's message") {
  for (std::string_view prefix :
       {std::string_view(""), std::string_view("{\"a\": [1, 2"), std::string_view("[1] ")}) {
    FailingSource source(prefix, "Input/output error");
    auto result = read_json(source);
    REQUIRE(!result);
    CHECK(result.error().kind == ErrorKind::OS);
    CHECK_EQ(result.error().message, std::string("Input/output error"));
  }
}

TEST_CASE("json round trips keep every form") {
  const char* texts[] = {
      ("{\n  \"a\": 1,\n  \"b\": 1.0,\n  \"c\": -5,\n  \"d\": -0.0,\n  \"e\": \"\",\n"
       "  \"f\": [\n    [],\n    {},\n    [\n      null\n    ]\n  ]\n}"),
      "\"\\u0007\"",
      "[\n  false\n]",
      "1e-7",
  };
  for (const char* text : texts) {
    auto first = read_json(text);
    REQUIRE(first);
    std::string written = write_json(first.value());
    auto second = read_json(written);
    REQUIRE(second);
    CHECK(second.value() == first.value());
    CHECK_EQ(write_json(second.value()), written);
  }
}

namespace {

constexpr int kDeepLevels = 4000;

void* write_deep_tree(void* out) {
  SettingValue root = SettingValue::list();
  for (int i = 0; i < kDeepLevels; ++i) {
    List wrapper;
    wrapper.push_back(std::move(root));
    root = SettingValue::list(std::move(wrapper));
  }
  write_json(root, *static_cast<std::string*>(out));
  return nullptr;
}

}  // namespace

TEST_CASE("json writer holds up on trees deeper than its stack") {
  // The layout indents quadratically, so depth is shown with a small stack rather than a huge
  // tree: 4000 levels on 64 KiB leave 16 bytes per level, less than any recursive call takes.
  std::string out;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_t thread;
  REQUIRE(pthread_create(&thread, &attr, write_deep_tree, &out) == 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  std::size_t n = kDeepLevels;
  // Each level l < n writes "[", a newline and 2(l+1) spaces, then a newline, 2l spaces and "]";
  // the innermost "[]" adds two bytes.
  CHECK_EQ(out.size(), 2 * n * (n - 1) + 6 * n + 2);
  CHECK(out.compare(0, 8, "[\n  [\n  ") == 0);
  CHECK(out.compare(out.size() - 5, 5, "  ]\n]") == 0);
}
