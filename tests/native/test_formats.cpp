// The machinery the text formats share, at the edges the JSON suite does not reach: duplicate
// keys refused, 128-bit integer ranges, float layouts of other formats, positions of other
// formats, escape forms, bounded reads, and the format table's depth promise.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "formats/escapes.hpp"
#include "formats/format_table.hpp"
#include "formats/input.hpp"
#include "formats/json.hpp"
#include "formats/numbers.hpp"
#include "formats/position.hpp"
#include "formats/tree_builder.hpp"
#include "formats/utf8.hpp"
#include "test_macros.hpp"

using namespace orn;

namespace {

// Gives 'a' for ever, counting what it handed out.
class EndlessSource final : public ByteSource {
 public:
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    std::memset(buffer, 'a', size);
    given += size;
    return size;
  }
  std::size_t given = 0;
};

class BrokenSource final : public ByteSource {
 public:
  Result<std::size_t> read(char*, std::size_t) override { return os_error("Is a directory", 21); }
};

// Scientific shortest to_chars, "-d.ddde-XX", as the digits, exponent and sign it stands for.
std::string reference_digits(double value) {
  char text[32];
  char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  const char* e = std::strchr(text, 'e');
  std::string out = text[0] == '-' ? "-" : "+";
  for (const char* p = text; p != e; ++p) {
    if (*p >= '0' && *p <= '9') out += *p;
  }
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
  return out + " " + std::to_string(exponent);
}

std::string shortest_text(double value) {
  const DecimalDigits d = shortest_digits(value);
  return std::string(d.negative ? "-" : "+") +
         std::string(d.digits, static_cast<std::size_t>(d.count)) + " " +
         std::to_string(d.exponent);
}

// Counts the values whose shortest digits differ from to_chars, reporting the first few.
struct DigitsCheck {
  int mismatches = 0;
  void operator()(double value) {
    if (shortest_text(value) == reference_digits(value)) return;
    if (++mismatches <= 5) {
      std::fprintf(stderr, "shortest digits of %a: %s, to_chars: %s\n", value,
                   shortest_text(value).c_str(), reference_digits(value).c_str());
    }
  }
  // The value and its neighbours on both sides, in both signs.
  void around(double value) {
    for (double v : {value, std::nextafter(value, 0.0), std::nextafter(value, INFINITY)}) {
      if (std::isfinite(v)) {
        (*this)(v);
        (*this)(-v);
      }
    }
  }
};

SettingValue nested_lists(std::size_t depth) {
  SettingValue value = SettingValue::uinteger(1);
  for (std::size_t i = 0; i < depth; ++i) {
    List wrapper;
    wrapper.push_back(std::move(value));
    value = SettingValue::list(std::move(wrapper));
  }
  return value;
}

}  // namespace

TEST_CASE("tree builder: repeated keys win or are refused") {
  const struct {
    std::vector<std::string> keys;
    std::size_t repeated;  // index of the first repeat in text order; keys.size() for none
  } cases[] = {
      {{"a", "b", "c"}, 3}, {{"a", "b", "a"}, 2},           {{"b", "a", "b", "a"}, 2},
      {{"x", "x"}, 1},      {{"c", "a", "b", "d", "a"}, 4}, {{}, 0},
  };
  for (const auto& c : cases) {
    TreeBuilder refusing(DuplicateKeys::Refuse);
    TreeBuilder later_wins(DuplicateKeys::LastWins);
    for (TreeBuilder* builder : {&refusing, &later_wins}) {
      builder->add_item(SettingValue());  // an open list below must be left alone
      std::size_t start = builder->map_start();
      for (std::size_t i = 0; i < c.keys.size(); ++i) {
        builder->add_entry(Key(c.keys[i]), SettingValue::uinteger(i));
      }
      SettingValue map;
      std::size_t repeated = 99;
      bool ok = builder->finish_map(start, map, &repeated);
      bool refuses = builder == &refusing && c.repeated != c.keys.size();
      CHECK_EQ(ok, !refuses);
      if (refuses) CHECK_EQ(repeated, c.repeated);
      if (ok) {
        // Each key keeps the value of its last occurrence, in key order.
        for (const auto& [key, value] : map.as_map()) {
          std::size_t last = 0;
          for (std::size_t i = 0; i < c.keys.size(); ++i) {
            if (c.keys[i] == std::string_view(key)) last = i;
          }
          CHECK_EQ(value.as_uint(), last);
        }
      }
      CHECK_EQ(builder->finish_list(0).as_list().size(), std::size_t{1});
    }
  }
}

TEST_CASE("integer text: radix prefixes and the 64- and 128-bit ranges") {
  using R = IntegerRange;
  const struct {
    const char* text;
    RadixPrefixes prefixes;
    bool is_integer;
    IntegerRange range;
    double value;
  } cases[] = {
      {"0x1F", RadixPrefixes::LowerCase, true, R::Unsigned64, 31},
      {"0X1F", RadixPrefixes::LowerCase, false, R::Beyond, 0},
      {"0X1f", RadixPrefixes::HexAnyCase, true, R::Unsigned64, 31},
      {"0o17", RadixPrefixes::HexAnyCase, false, R::Beyond, 0},
      {"-0o17", RadixPrefixes::LowerCase, true, R::Signed64, -15},
      {"0b101", RadixPrefixes::LowerCase, true, R::Unsigned64, 5},
      {"0b102", RadixPrefixes::LowerCase, false, R::Beyond, 0},
      {"0x", RadixPrefixes::LowerCase, false, R::Beyond, 0},
      {"0x10", RadixPrefixes::None, false, R::Beyond, 0},
      {"18446744073709551615", RadixPrefixes::None, true, R::Unsigned64, 18446744073709551615.0},
      {"18446744073709551616", RadixPrefixes::None, true, R::Wide, 0},
      {"-9223372036854775808", RadixPrefixes::None, true, R::Signed64, -9223372036854775808.0},
      {"-9223372036854775809", RadixPrefixes::None, true, R::Wide, 0},
      {"340282366920938463463374607431768211455", RadixPrefixes::None, true, R::Wide, 0},
      {"340282366920938463463374607431768211456", RadixPrefixes::None, true, R::Beyond, 0},
      {"-170141183460469231731687303715884105728", RadixPrefixes::None, true, R::Wide, 0},
      {"-170141183460469231731687303715884105729", RadixPrefixes::None, true, R::Beyond, 0},
      {"0xffffffffffffffffffffffffffffffff", RadixPrefixes::LowerCase, true, R::Wide, 0},
      {"0x100000000000000000000000000000000", RadixPrefixes::LowerCase, true, R::Beyond, 0},
      {"-0", RadixPrefixes::None, true, R::Unsigned64, 0},
      {"0", RadixPrefixes::None, true, R::Unsigned64, 0},
      {"007", RadixPrefixes::None, false, R::Beyond, 0},
      {"-", RadixPrefixes::None, false, R::Beyond, 0},
      {"", RadixPrefixes::None, false, R::Beyond, 0},
      {"1_000", RadixPrefixes::None, false, R::Beyond, 0},
      {"+5", RadixPrefixes::None, false, R::Beyond, 0},
  };
  for (const auto& c : cases) {
    IntegerText n{};
    bool is_integer = classify_integer(c.text, c.prefixes, false, n);
    CHECK_EQ(is_integer, c.is_integer);
    if (!is_integer || !c.is_integer) continue;
    CHECK(n.range == c.range);
    if (n.range == R::Unsigned64) CHECK_EQ(static_cast<double>(unsigned_value(n)), c.value);
    if (n.range == R::Signed64) CHECK_EQ(static_cast<double>(signed_value(n)), c.value);
  }
  IntegerText plus{};
  CHECK(classify_integer("+12", RadixPrefixes::None, true, plus) && unsigned_value(plus) == 12);
}

TEST_CASE("integer text agrees with to_chars at every length") {
  // Every power of ten and its neighbours (each length and each step between the conversion's
  // paths), the ends of both ranges, and random values of every bit length.
  std::vector<std::uint64_t> values = {0, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t power = 1;; power *= 10) {
    for (std::uint64_t v : {power - 1, power, power + 1, power * 2 - 1}) values.push_back(v);
    if (power > std::numeric_limits<std::uint64_t>::max() / 10) break;
  }
  std::mt19937_64 random(7);
  for (int bits = 1; bits <= 64; ++bits) {
    for (int i = 0; i < 2000; ++i) values.push_back(random() >> (64 - bits));
  }
  int mismatches = 0;
  auto check = [&](std::string_view ours, auto value) {
    char expected[24];
    const std::string_view reference(expected, std::to_chars(expected, expected + 24, value).ptr);
    if (ours == reference) return;
    if (++mismatches <= 5)
      std::fprintf(stderr, "integer text %s, to_chars %s\n", std::string(ours).c_str(),
                   std::string(reference).c_str());
  };
  for (std::uint64_t u : values) {
    // Room to the byte, and bytes past it that must stay untouched.
    char text[kIntegerTextRoom + 4];
    std::memset(text, '#', sizeof text);
    check(std::string_view(text, put_uint(text, u)), u);
    CHECK(std::string_view(text + kIntegerTextRoom, 4) == "####");
    const auto i = static_cast<std::int64_t>(u);
    check(std::string_view(text, put_int(text, i)), i);
    CHECK(std::string_view(text + kIntegerTextRoom, 4) == "####");
    std::string appended = "x";
    append_int(appended, i);
    check(std::string_view(appended).substr(1), i);
  }
  CHECK_EQ(mismatches, 0);
}

TEST_CASE("float layouts of every format") {
  const struct {
    double value;
    const char* json;
    const char* yaml;
    const char* toml;
    const char* json5;
  } cases[] = {
      {1e16, "1e+16", "1e16", "10000000000000000.0", "10000000000000000"},
      {1e15, "1000000000000000.0", "1000000000000000.0", "1000000000000000.0", "1000000000000000"},
      {1.5e-7, "1.5e-7", "1.5e-7", "0.00000015", "0.00000015"},
      {0.00001, "0.00001", "0.00001", "0.00001", "0.00001"},
      {-0.0, "-0.0", "-0.0", "-0.0", "-0"},
      {0.0, "0.0", "0.0", "0.0", "0"},
      {1.0, "1.0", "1.0", "1.0", "1"},
      {12.34, "12.34", "12.34", "12.34", "12.34"},
      {3.402823669209385e38, "3.402823669209385e+38", "3.402823669209385e38",
       "340282366920938500000000000000000000000.0", "340282366920938500000000000000000000000"},
      {1e21, "1e+21", "1e21", "1000000000000000000000.0", "1000000000000000000000"},
  };
  for (const auto& c : cases) {
    const char* expected[] = {c.json, c.yaml, c.toml, c.json5};
    const FloatLayout layouts[] = {FloatLayout::Json, FloatLayout::Yaml, FloatLayout::Toml,
                                   FloatLayout::Json5};
    for (int i = 0; i < 4; ++i) {
      std::string out;
      append_float(out, c.value, layouts[i]);
      CHECK_EQ(out, std::string(expected[i]));
    }
  }
  std::string tiny;
  append_float(tiny, 5e-324, FloatLayout::Json5);
  CHECK_EQ(tiny, "0." + std::string(323, '0') + "5");
}

TEST_CASE("shortest digits agree with to_chars") {
  DigitsCheck check;
  for (double v : {0.0, -0.0, 0.1, 0.3, 1e23, 5e-324, 1.7976931348623157e308, 9007199254740993.0,
                   2.2250738585072014e-308, 2.225073858507201e-308, 123.45, 1e-7, 4.35}) {
    check.around(v);
  }
  // Every power of two, the normal ones the only values whose lower neighbour is nearer.
  for (int q = -1074; q <= 1023; ++q) check.around(std::ldexp(1.0, q));
  // Every power of ten there is, and the integers about 2^53 where the spacing passes 1.
  for (int p = -323; p <= 308; ++p) {
    const std::string text = "1e" + std::to_string(p);
    double v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    check.around(v);
  }
  for (std::uint64_t n = (std::uint64_t{1} << 53) - 40; n < (std::uint64_t{1} << 53) + 40; ++n) {
    check.around(static_cast<double>(n));
  }
  std::mt19937_64 random(20261209);
  // Bit patterns: every binary exponent alike, subnormals included.
  for (int i = 0; i < 300000; ++i) {
    const std::uint64_t bits = random();
    if ((bits >> 52 & 0x7FF) != 0x7FF) check(std::bit_cast<double>(bits));
  }
  for (int i = 0; i < 20000; ++i) check(std::bit_cast<double>(random() >> 12));  // subnormal
  // Short decimals as typed into settings: n / 10^k with 1 to 17 digits.
  for (int i = 0; i < 100000; ++i) {
    const int digits = 1 + static_cast<int>(random() % 17);
    std::uint64_t n = random() % 100000000000000000;
    for (int j = digits; j < 17; ++j) n /= 10;
    const std::string text = std::to_string(n) + "e-" + std::to_string(random() % 25);
    double v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    check(v);
  }
  CHECK_EQ(check.mismatches, 0);
}

TEST_CASE("decimal parsing agrees with from_chars on every form it takes") {
  auto agrees = [](const std::string& text) {
    double expected = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), expected);
    const ParsedDouble parsed = parse_double(text);
    if (ec == std::errc() && ptr == text.data() + text.size()) {
      return parsed.status == ParsedDouble::Status::Ok &&
             std::bit_cast<std::uint64_t>(parsed.value) == std::bit_cast<std::uint64_t>(expected);
    }
    return parsed.status != ParsedDouble::Status::Ok || ec == std::errc::result_out_of_range;
  };
  int mismatches = 0;
  auto check = [&](const std::string& text) {
    if (!agrees(text) && ++mismatches <= 5)
      std::fprintf(stderr, "parse_double(%s)\n", text.c_str());
  };
  for (const char* text : {"0",
                           "-0",
                           "-0.0",
                           "0.000",
                           "00012.50",
                           "0.0000000000000000000001234",
                           "1e0",
                           "1E+22",
                           "1e23",
                           "9007199254740993",
                           "123456789012345678901",
                           "1234567890123456789",
                           "12345678901234567890",
                           "1.7976931348623157e308",
                           "1.7976931348623159e308",
                           "4.9e-324",
                           "2.2250738585072011e-308",
                           "1e-5000",
                           "1.",
                           ".5",
                           "1e",
                           "1e+",
                           "-",
                           "1.5e0007",
                           "0.1e-99999"}) {
    check(text);
  }
  std::mt19937_64 random(20261209);
  for (int i = 0; i < 200000; ++i) {
    std::string text = random() % 4 == 0 ? "-" : "";
    const int whole = static_cast<int>(random() % 12);
    const int fraction = static_cast<int>(random() % 22);
    for (int j = 0; j < whole; ++j) text += static_cast<char>('0' + random() % 10);
    if (whole == 0) text += '0';
    if (fraction != 0) text += '.';
    for (int j = 0; j < fraction; ++j) text += static_cast<char>('0' + random() % 10);
    if (random() % 3 == 0) text += (random() % 2 ? "e-" : "E") + std::to_string(random() % 340);
    check(text);
  }
  CHECK_EQ(mismatches, 0);
}

TEST_CASE("JSON5 positional floats match plain to_chars wherever that is positional") {
  // JSON5 writes a non-integral float as its shortest digits laid out positionally; wherever
  // plain to_chars picks fixed notation the two have to be the same bytes.
  std::mt19937_64 random(5);
  int differ = 0;
  auto compare = [&](double v) {
    if (std::trunc(v) == v) return;  // integral values are written as integers
    char plain[400];
    char* end = std::to_chars(plain, plain + sizeof plain, v).ptr;
    if (std::find(plain, end, 'e') != end) return;
    char text[kFloatTextMax];
    if (std::string_view(text, put_float(text, v, FloatLayout::Json5)) !=
        std::string_view(plain, static_cast<std::size_t>(end - plain))) {
      ++differ;
    }
  };
  for (int i = 0; i < 100000; ++i) {
    // Magnitudes 2^-30 to 2^55, about where plain to_chars turns positional.
    const std::uint64_t exponent = 1023 - 30 + random() % 86;
    compare(std::bit_cast<double>((random() & 0x800FFFFFFFFFFFFF) | exponent << 52));
    const std::string text =
        std::to_string(random() % 1000000) + "e-" + std::to_string(random() % 12);
    double v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    compare(v);
  }
  CHECK_EQ(differ, 0);
}

TEST_CASE("positions in each format's words") {
  std::string_view text = "ab\nc\xC3\xA9 x\n";
  TextPosition at = position_in(text, 7);  // on the "x"
  CHECK_EQ(at.line, std::uint64_t{2});
  CHECK_EQ(at.byte_column, std::uint64_t{4});
  CHECK_EQ(at.char_column, std::uint64_t{3});
  CHECK_EQ(at.offset, std::uint64_t{7});
  std::string json, json5, yaml;
  append_json_position(json, at);
  append_json5_position(json5, at);
  append_yaml_mark(yaml, 0, 3);
  CHECK_EQ(json, std::string(" at line 2 column 4"));
  CHECK_EQ(json5, std::string(" at line 2 column 4"));
  CHECK_EQ(yaml, std::string(" at line 1 column 4"));
  CHECK_EQ(position_in(text, text.size()).line, std::uint64_t{3});

  std::string_view toml = "a = 1\nb = =\n";
  CHECK_EQ(toml_frame(toml, position_in(toml, 10), 1, "string values must be quoted"),
           std::string("TOML parse error at line 2, column 5\n"
                       "  |\n"
                       "2 | b = =\n"
                       "  |     ^\n"
                       "string values must be quoted\n"));
  // Carets stop at the end of the line, and there is always one.
  CHECK_EQ(toml_frame(toml, position_in(toml, 8), 40, "x"),
           std::string("TOML parse error at line 2, column 3\n  |\n2 | b = =\n  |   ^^^\nx\n"));
  CHECK_EQ(toml_frame(toml, position_in(toml, 12), 0, "x"),
           std::string("TOML parse error at line 3, column 1\n  |\n3 | \n  | ^\nx\n"));
}

TEST_CASE("escape forms and UTF-8 both ways") {
  std::string out;
  append_utf16_escape(out, 0x1F600, HexCase::Lower);
  append_utf16_escape(out, 0xE9, HexCase::Upper);
  append_u8_escape(out, 0x1F600, HexCase::Upper);
  append_x_escape(out, 0x1B, HexCase::Upper);
  CHECK_EQ(out, std::string("\\ud83d\\ude00\\u00E9\\U0001F600\\x1B"));
  CHECK_EQ(combine_surrogates(0xD83D, 0xDE00), std::uint32_t{0x1F600});
  CHECK_EQ(parse_hex("00e9"), std::int64_t{0xE9});
  CHECK_EQ(parse_hex("0010FFFF"), std::int64_t{0x10FFFF});
  CHECK_EQ(parse_hex("12x4"), std::int64_t{-1});
  CHECK_EQ(parse_hex(""), std::int64_t{-1});
  for (std::uint32_t cp : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string bytes;
    append_utf8(bytes, cp);
    std::uint32_t back = 0xFFFFFFFF;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    CHECK_EQ(decode_utf8(p, p + bytes.size(), back), bytes.size());
    CHECK_EQ(back, cp);
  }
  const unsigned char overlong[] = {0xC0, 0xAF};
  std::uint32_t ignored = 0;
  CHECK_EQ(decode_utf8(overlong, overlong + 2, ignored), std::size_t{0});

  EscapeTable table = control_escapes(HexCase::Upper);
  table.action['\''] = '\'';
  std::string escaped;
  append_escaped(escaped, std::string_view("a'\x01\n\x7F\xC3\xA9", 7), table);
  CHECK_EQ(escaped, std::string("a\\'\\u0001\\n\x7F\xC3\xA9"));
}

// The validator steps a state machine over blocks; the reference decodes one sequence at a time.
// Random texts of edge bytes, at every length and offset around the blocks, must agree.
TEST_CASE("UTF-8 validation agrees with sequence decoding") {
  auto by_sequences = [](const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p != end) {
      std::size_t bad = 0;
      std::size_t n = utf8_sequence(p, end, bad);
      if (n == 0) return false;
      p += n;
    }
    return true;
  };
  const unsigned char edges[] = {'a',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED,
                                 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  int valid = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string text(next() % 40, 'x');
    for (char& c : text) {
      // Mostly ASCII with valid characters mixed in, so that both answers come up often.
      unsigned pick = next() % 8;
      c = pick < 3 ? static_cast<char>(edges[next() % sizeof edges]) : 'a';
    }
    std::string valid_char;
    append_utf8(valid_char, next() % 0x110000 | (next() % 2 ? 0 : 0x80));
    if (text.size() > 4 && valid_char.size() > 1) {
      text.replace(next() % (text.size() - 4), valid_char.size(), valid_char);
    }
    bool expected = by_sequences(text);
    valid += expected;
    CHECK_EQ(is_utf8(text), expected);
  }
  CHECK(valid > 1000);
}

TEST_CASE("whole-text reads: bounded, UTF-8 checked, failures passed on") {
  EndlessSource endless;
  auto prefix = read_prefix(endless, 8192);
  REQUIRE(prefix);
  CHECK_EQ(prefix.value().size(), std::size_t{8192});
  CHECK_EQ(endless.given, std::size_t{8192});

  MemorySource bad("ok \xFF");
  auto text = read_utf8_text(bad);
  REQUIRE(!text);
  CHECK(text.error().kind == ErrorKind::OS);
  CHECK_EQ(text.error().message, std::string("stream did not contain valid UTF-8"));

  std::string big(100000, 'x');
  MemorySource whole(big);
  auto all = read_all(whole);
  CHECK(all && all.value() == big);
}

TEST_CASE("format table: rows, failure wording, and the depth each writer promises") {
  for (const FileFormat& format : file_formats()) {
    CHECK(file_format(format.kind) == &format);
    BrokenSource broken;
    auto failed = read_settings(format, broken);
    REQUIRE(!failed);
    if (format.read_failure_is_parse_error) {
      CHECK(failed.error().kind == ErrorKind::Type);
      CHECK_EQ(failed.error().message, std::string(format.label) + " parse error: Is a directory");
    } else {
      CHECK(failed.error().kind == ErrorKind::OS && failed.error().os_errno == 21);
    }
    if (!format.write(SettingValue::map())) continue;  // a format this build cannot write yet

    // The deepest tree the writer accepts reads back; one level more is refused, and its text,
    // written regardless, is exactly what the reader refuses.
    // A TOML document is a mapping: there the nesting is that of a value under one key.
    auto in_document = [&format](SettingValue value) {
      if (format.kind != DriverKind::Toml) return value;
      Mapping root;
      root.append(Key("v"), std::move(value));
      return SettingValue::map(std::move(root));
    };
    SettingValue deepest = in_document(nested_lists(format.max_depth));
    auto text = format.write(deepest);
    REQUIRE(text);
    MemorySource source(text.value().view());
    auto back = format.read(source);
    CHECK(back && back.value() == deepest);

    SettingValue deeper = in_document(nested_lists(format.max_depth + 1));
    auto refused = format.write(deeper);
    REQUIRE(!refused);
    CHECK(refused.error().kind == ErrorKind::Type);
    std::string depth = std::to_string(format.max_depth + 1);
    std::string limit = std::to_string(format.max_depth);
    CHECK(refused.error().message.find("nests " + depth + " levels") != std::string::npos);
    CHECK(refused.error().message.find("at most " + limit + " levels") != std::string::npos);
  }
  CHECK(file_format(DriverKind::Memory) == nullptr);
  CHECK(file_format(DriverKind::Custom) == nullptr);
  // The JSON row's own check: the unchecked text of a tree one level too deep is refused.
  auto too_deep = read_json(write_json(nested_lists(kJsonMaxDepth + 1)));
  CHECK(!too_deep && too_deep.error().message.rfind("recursion limit exceeded", 0) == 0);
}
