// The JSON reader's messages and positions, number forms, buffer boundaries, and the writer's
// layout down to the byte.
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/json.hpp"
#include "formats/numbers.hpp"
#include "test_macros.hpp"

using namespace orn;

namespace {

// Hands out at most chunk bytes per read, so that tokens straddle every refill.
class ChunkedSource final : public ByteSource {
 public:
  ChunkedSource(std::string_view bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    std::size_t n = std::min({size, chunk_, bytes_.size()});
    std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t chunk_;
};

// Serves some bytes, then fails like a broken disk.
class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::string_view bytes) : bytes_(bytes) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    if (bytes_.empty()) return os_error("Input/output error", 5);
    std::size_t n = std::min(size, bytes_.size());
    std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
};

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

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST_CASE("json reader messages and positions") {
  const struct {
    std::string_view text;
    const char* message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n\t", "EOF while parsing a value at line 2 column 1"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"ab", "EOF while parsing a string at line 1 column 3"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\"}", "expected `,` or `}` at line 1 column 8"},
      {"nulx", "expected ident at line 1 column 4"},
      {"trUe", "expected ident at line 1 column 3"},
      {"'a'", "expected value at line 1 column 1"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"[,1]", "expected value at line 1 column 2"},
      {"NaN", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{a:1}", "key must be a string at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,\n }", "trailing comma at line 2 column 2"},
      {"{\"a\": 1} x", "trailing characters at line 1 column 10"},
      {"1 /* c */", "trailing characters at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-a", "invalid number at line 1 column 2"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1ex", "invalid number at line 1 column 3"},
      {"-\n", "invalid number at line 2 column 0"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1.8e308]", "number out of range at line 1 column 9"},
      {"1e99999999999999", "number out of range at line 1 column 12"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12x4\"", "invalid escape at line 1 column 7"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
      {"[\"a\xC3\"]", "invalid unicode code point at line 1 column 5"},
      {"\"a\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 3"},
      {"[\n\"a\nb\"]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 3 "
       "column 0"},
  };
  for (const auto& c : cases) {
    std::string got = error_of(c.text);
    if (got != c.message) {
      std::fprintf(stderr, "  input %s: got '%s'\n", std::string(c.text).c_str(), got.c_str());
    }
    CHECK_EQ(got, std::string(c.message));
    // The streaming path reports the same, however the input is cut.
    ChunkedSource source(c.text, 1);
    auto streamed = read_json(source);
    CHECK(!streamed && streamed.error().message == c.message);
  }
}

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

TEST_CASE("json number forms") {
  using Kind = SettingValue::Kind;
  const struct {
    std::string_view text;
    Kind kind;
    const char* written;
  } cases[] = {
      {"0", Kind::UInt, "0"},
      {"18446744073709551615", Kind::UInt, "18446744073709551615"},
      {"18446744073709551616", Kind::Float, "1.8446744073709552e+19"},
      {"-9223372036854775808", Kind::Int, "-9223372036854775808"},
      {"-9223372036854775809", Kind::Float, "-9.223372036854776e+18"},
      {"-0", Kind::Float, "-0.0"},
      {"-0.0", Kind::Float, "-0.0"},
      {"1.0", Kind::Float, "1.0"},
      {"1E2", Kind::Float, "100.0"},
      {"1e15", Kind::Float, "1000000000000000.0"},
      {"1e16", Kind::Float, "1e+16"},
      {"0.00001", Kind::Float, "0.00001"},
      {"0.000001", Kind::Float, "1e-6"},
      {"123.456", Kind::Float, "123.456"},
      {"1.5e-7", Kind::Float, "1.5e-7"},
      {"1e+100", Kind::Float, "1e+100"},
      {"5e-324", Kind::Float, "5e-324"},
      {"1.7976931348623157e308", Kind::Float, "1.7976931348623157e+308"},
      {"1e-400", Kind::Float, "0.0"},
      {"-1e-400", Kind::Float, "-0.0"},
      {"1e-99999999999999", Kind::Float, "0.0"},
      {"0e99999999999999", Kind::Float, "0.0"},
      {"0.1e-2147483647", Kind::Float, "0.0"},
      // Correct rounding at the halfway point between two floats (ties to even).
      {"9007199254740993", Kind::UInt, "9007199254740993"},
      {"9007199254740993.0", Kind::Float, "9007199254740992.0"},
  };
  for (const auto& c : cases) {
    auto result = read_json(c.text);
    REQUIRE(result);
    CHECK(result.value().kind() == c.kind);
    CHECK_EQ(write_json(result.value()), std::string(c.written));
  }
}

TEST_CASE("json float layout on its own") {
  const struct {
    double value;
    const char* json;
    const char* positional;
  } cases[] = {
      {0.0, "0.0", "0"},
      {-0.0, "-0.0", "-0"},
      {1e15, "1000000000000000.0", "1000000000000000"},
      {1e16, "1e+16", "10000000000000000"},
      {123456789012345680.0, "1.2345678901234568e+17", "123456789012345680"},
      {1.5e-7, "1.5e-7", "0.00000015"},
      {-2.5, "-2.5", "-2.5"},
      {0.1, "0.1", "0.1"},
  };
  for (const auto& c : cases) {
    std::string json;
    append_json_float(json, c.value);
    CHECK_EQ(json, std::string(c.json));
    std::string positional;
    append_positional_float(positional, c.value, false);
    CHECK_EQ(positional, std::string(c.positional));
  }
  std::string with_point;
  append_positional_float(with_point, 1e16, true);
  CHECK_EQ(with_point, std::string("10000000000000000.0"));
  CHECK(parse_double("inf").status == ParsedDouble::Status::Invalid);
  CHECK(parse_double("1e400").status == ParsedDouble::Status::Overflow);
  CHECK(parse_double("0.000000001e-400").status == ParsedDouble::Status::Ok);
  CHECK(parse_double("100000000000000000000e290").status == ParsedDouble::Status::Overflow);
}

TEST_CASE("json nesting stops at 127 levels") {
  CHECK(read_json(nested(127)));
  CHECK_EQ(error_of(nested(128)), std::string("recursion limit exceeded at line 1 column 128"));
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  CHECK_EQ(error_of(objects + "[]"), std::string("recursion limit exceeded at line 1 column 636"));
  // Siblings do not add up: the limit is on depth, not on the number of containers.
  std::string wide = "[";
  for (int i = 0; i < 10; ++i) wide.append(i == 0 ? "" : ",").append(nested(126));
  CHECK(read_json(wide + "]"));
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
    FailingSource source(prefix);
    auto result = read_json(source);
    REQUIRE(!result);
    CHECK(result.error().kind == ErrorKind::OS);
    CHECK_EQ(result.error().message, std::string("Input/output error"));
  }
}

TEST_CASE("json duplicate keys keep the last and sort") {
  CHECK_EQ(round_trip("{\"b\":1,\"a\":2,\"b\":3}"), std::string("{\n  \"a\": 2,\n  \"b\": 3\n}"));
  // Small and large objects take different sorting paths; keys compare as unsigned bytes.
  for (int n : {5, 32, 33, 200}) {
    std::string text = "{\"\xC3\xA9\":0";
    for (int i = n; i > 0; --i) {
      text += ",\"k" + std::to_string(1000 + i) + "\":" + std::to_string(i);
    }
    text += ",\"k1001\":-1,\"A\":[]}";
    auto result = read_json(text);
    REQUIRE(result && result.value().is_map());
    const Mapping& map = result.value().as_map();
    CHECK_EQ(map.size(), static_cast<std::size_t>(n) + 2);
    CHECK_EQ(map.begin()->first, std::string("A"));
    CHECK_EQ((map.end() - 1)->first, std::string("\xC3\xA9"));
    CHECK(std::is_sorted(map.begin(), map.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; }));
    REQUIRE(map.find("k1001") != nullptr);
    CHECK_EQ(map.find("k1001")->as_int(), -1);
  }
}

TEST_CASE("json writer layout") {
  Mapping m;
  List a;
  a.push_back(SettingValue::integer(1));
  a.push_back(SettingValue::floating(2.5));
  a.push_back(SettingValue::string("x"));
  m.append("c", SettingValue());
  m.append("a", SettingValue::list(std::move(a)));
  m.append("b", SettingValue::map());
  m.finish();
  CHECK_EQ(write_json(SettingValue::map(std::move(m))),
           std::string("{\n  \"a\": [\n    1,\n    2.5,\n    \"x\"\n  ],\n  \"b\": {},\n"
                       "  \"c\": null\n}"));
  CHECK_EQ(write_json(SettingValue::map()), std::string("{}"));
  List one;
  one.push_back(SettingValue::map());
  CHECK_EQ(write_json(SettingValue::list(std::move(one))), std::string("[\n  {}\n]"));
  CHECK_EQ(write_json(SettingValue::string(std::string("\x1f\"\xC3\xA9/\x7f\\\b\t\n\f\r\x01", 13))),
           std::string("\"\\u001f\\\"\xC3\xA9/\x7f\\\\\\b\\t\\n\\f\\r\\u0001\""));
  CHECK_EQ(write_json(SettingValue::integer(-5)), std::string("-5"));
  // Keys are escaped like values.
  CHECK_EQ(round_trip("{\"\\n\\u0000\":true}"), std::string("{\n  \"\\n\\u0000\": true\n}"));
}

TEST_CASE("json round trips keep every form") {
  const char* texts[] = {
      "{\n  \"a\": 1,\n  \"b\": 1.0,\n  \"c\": -5,\n  \"d\": -0.0,\n  \"e\": \"\",\n"
      "  \"f\": [\n    [],\n    {},\n    [\n      null\n    ]\n  ]\n}",
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
