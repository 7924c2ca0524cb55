// The YAML writer against libyaml's own emitter on random trees, and what the Python suite
// cannot reach easily: byte order marks split across reads, failing sources.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "../fuzz/libyaml_emitter.hpp"
#include "formats/yaml.hpp"
#include "test_macros.hpp"
#include "test_sources.hpp"

using namespace orn;

namespace {

// Pieces that decide between the scalar styles: indicators, spaces next to breaks, every kind
// of line break, characters outside the printable set, and texts that read as other types.
constexpr std::string_view kPieces[] = {
    "a",
    "Zed",
    " ",
    "  ",
    "\n",
    "\n\n",
    "\t",
    "\r",
    "#",
    ":",
    "-",
    "?",
    "'",
    "\"",
    "\\",
    ",",
    "[",
    "]",
    "{",
    "}",
    "&",
    "*",
    "!",
    "|",
    ">",
    "%",
    "@",
    "`",
    "0",
    "1",
    "7",
    ".",
    "e",
    "x",
    "null",
    "true",
    "~",
    "---",
    "...",
    "\xC2\x85",
    "\xE2\x80\xA8",
    "\xE2\x80\xA9",
    "\xEF\xBB\xBF",
    "\xC2\xA0",
    "\xC3\xA9",
    "\xEF\xBF\xBE",
    std::string_view("\0", 1),
    "\x7F",
    "\xC2\x80",
    "\x1B",
    "\xE4\xB8\xAD",
    "0x1F",
    "-12",
    "1e5",
    ".inf",
    "007",
    "-.5",
    "<<",
    "- ",
    ": ",
    " #",
};

class Trees {
 public:
  explicit Trees(std::uint32_t seed) : rng_(seed) {}

  std::string text() {
    std::string s;
    const int pieces = pick(7);
    for (int i = 0; i < pieces; ++i) s += kPieces[pick(std::size(kPieces))];
    if (pick(40) == 0) s = std::string(120 + pick(20), 'k') + s;  // around the simple-key limit
    return s;
  }

  SettingValue value(int depth) {
    switch (pick(depth > 4 ? 6 : 9)) {
      case 0:
        return SettingValue();
      case 1:
        return SettingValue::boolean(pick(2) == 1);
      case 2:
        return SettingValue::uinteger(rng_() >> pick(64));
      case 3:
        return SettingValue::integer(-static_cast<std::int64_t>(rng_() >> (1 + pick(63))) - 1);
      case 4: {
        double d;
        do {
          std::uint64_t bits = rng_();
          std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        return SettingValue::floating(pick(2) ? d : static_cast<double>(pick(2000)) / 8);
      }
      case 5:
        return SettingValue::string(text());
      case 6: {
        List items;
        for (int i = pick(4); i > 0; --i) items.push_back(value(depth + 1));
        return SettingValue::list(std::move(items));
      }
      default: {
        Mapping map;
        for (int i = pick(4); i > 0; --i) map.append_copy(text(), value(depth + 1));
        map.finish();
        return SettingValue::map(std::move(map));
      }
    }
  }

 private:
  int pick(std::size_t n) { return static_cast<int>(rng_() % n); }
  std::mt19937_64 rng_;
};

}  // namespace

TEST_CASE("yaml writer matches libyaml's emitter on random trees") {
  Trees trees(20240611);
  int shown = 0;
  for (int i = 0; i < 20000; ++i) {
    SettingValue tree = trees.value(0);
    std::string ours = write_yaml(tree);
    std::string theirs = orn_test::LibyamlEmitter().emit(tree);
    if (ours != theirs && shown++ < 3) {
      std::fprintf(stderr, "--- libyaml\n%s--- ours\n%s---\n", theirs.c_str(), ours.c_str());
    }
    CHECK_EQ(ours, theirs);
    auto back = read_yaml(ours);
    REQUIRE(back);
    CHECK(back.value() == tree);
  }
}

TEST_CASE("yaml writer finds indicator pairs at every offset of a one-line text") {
  // The one-line analysis reads eight bytes at a time, so a pair may straddle two words.
  int shown = 0;
  for (std::string_view piece : {": ", " #", ":", " ", "#", "\xC3\xA9", "\xC2\x85", "\t"}) {
    for (std::size_t before = 0; before <= 17; ++before) {
      for (std::size_t after : {0, 1, 7, 9}) {
        const std::string text =
            std::string(before, 'a') + std::string(piece) + std::string(after, 'b');
        Mapping map;
        map.append(Key("k"), SettingValue::string(text));
        map.append_copy(text, SettingValue::string(text));
        map.finish();
        const SettingValue tree = SettingValue::map(std::move(map));
        const std::string ours = write_yaml(tree);
        const std::string theirs = orn_test::LibyamlEmitter().emit(tree);
        if (ours != theirs && shown++ < 3) {
          std::fprintf(stderr, "--- libyaml\n%s--- ours\n%s---\n", theirs.c_str(), ours.c_str());
        }
        CHECK_EQ(ours, theirs);
      }
    }
  }
}

TEST_CASE("yaml reader skips a byte order mark split across reads") {
  const std::string text = "\xEF\xBB\xBFk: [1, two]\n";
  for (std::size_t chunk = 1; chunk <= 4; ++chunk) {
    ChunkedSource source(text, chunk);
    auto got = read_yaml(source);
    REQUIRE(got);
    CHECK_EQ(write_yaml(got.value()), std::string("k:\n- 1\n- two\n"));
  }
  ChunkedSource short_source("\xEF\xBB", 1);
  auto got = read_yaml(short_source);
  REQUIRE(!got);
  CHECK_EQ(got.error().message, std::string("incomplete UTF-8 octet sequence"));
}

TEST_CASE("yaml reader reports a failing source as the source's error") {
  // The reader streams: a failure counts wherever the parser still wanted bytes.
  for (std::string_view before : {"", "a: 1\n", "a: [1,", "\xEF\xBB\xBF"}) {
    FailingSource source(before, "Input/output error (os error 5)");
    auto got = read_yaml(source);
    REQUIRE(!got);
    CHECK(got.error().kind == ErrorKind::OS);
    CHECK_EQ(got.error().message, std::string("Input/output error (os error 5)"));
  }
}
