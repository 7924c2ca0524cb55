// What a plain YAML scalar means. These are this system's own rules, neither the YAML 1.1 type
// repository nor the 1.2 core schema: 'yes' is a string, '0x1F' an integer, '007' a string.
#include <array>
#include <cstdint>

#include "formats/numbers.hpp"
#include "formats/yaml.hpp"

namespace orn {

namespace {

// Bytes that can begin a plain scalar other than a string: the null and boolean spellings,
// numbers and their signs, ".inf" and ".nan". Any other first byte means a string, which spares
// most settings strings the whole table.
constexpr std::array<bool, 256> kMayResolve = [] {
  std::array<bool, 256> table{};
  for (char c : std::string_view("0123456789+-.~nNtTfF"))
    table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool is_null_spelling(std::string_view t) {
  return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

// 1 true, 0 false, -1 neither.
int bool_spelling(std::string_view t) {
  if (t == "true" || t == "True" || t == "TRUE") return 1;
  if (t == "false" || t == "False" || t == "FALSE") return 0;
  return -1;
}

// The bytes of every spelling that resolves to something other than a string: a text with any
// other byte (a space, ':', anything beyond ASCII) is a string. Two kinds are told apart: no
// integer has a point, so a text with one is spared the integer attempts, and a text of decimal
// digits alone is read on the spot.
constexpr unsigned char kResolvableByte = 1, kPoint = 2, kNotDigit = 4;
constexpr std::array<unsigned char, 256> kResolvable = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter || c == '+' || c == '-' || c == '~' || c == '.') {
      table[c] = kResolvableByte | kNotDigit | (c == '.' ? kPoint : 0);
    }
  }
  for (int c = '0'; c <= '9'; ++c) table[c] = kResolvableByte;
  return table;
}();

}  // namespace

bool is_leading_zero_digits(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.size() < 2 || text[0] != '0') return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The float forms: an optional "+" (never two signs), ".inf"/"-.inf"/".nan" in three letter
// cases, or a decimal literal that stays finite when rounded. Sets finite false for the
// infinities and NaN.
bool yaml_float(std::string_view text, double& value, bool& finite) {
  std::string_view t = text;
  if (!t.empty() && t[0] == '+') {
    t.remove_prefix(1);
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) return false;
  }
  finite = true;
  if (!t.empty() && (t[0] == '.' || t[0] == '-')) {
    std::string_view word = t[0] == '-' ? t.substr(1) : t;
    if (word == ".inf" || word == ".Inf" || word == ".INF") {
      finite = false;
      return true;
    }
    if (text == ".nan" || text == ".NaN" || text == ".NAN") {
      finite = false;
      return true;
    }
  }
  // The one "+" is gone, which parse_double would refuse; it refuses "inf", "nan" and texts
  // without a digit itself.
  ParsedDouble parsed = parse_double(t);
  if (parsed.status != ParsedDouble::Status::Ok) return false;
  value = parsed.value;
  return true;
}

YamlPlain resolve_yaml_plain(std::string_view text) {
  if (!text.empty() && !kMayResolve[static_cast<unsigned char>(text[0])]) {
    return {YamlPlainKind::String, {}};
  }
  unsigned seen = 0;
  for (char c : text) {
    const unsigned char k = kResolvable[static_cast<unsigned char>(c)];
    if (k == 0) return {YamlPlainKind::String, {}};
    seen |= k;
  }
  // Up to 19 decimal digits always fit 64 bits; "0" is an integer, "007" a string.
  if ((seen & kNotDigit) == 0 && !text.empty() && text.size() <= 19) {
    if (text[0] == '0' && text.size() > 1) return {YamlPlainKind::String, {}};
    std::uint64_t value = 0;
    for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return {YamlPlainKind::Integer, SettingValue::uinteger(value)};
  }
  const bool has_point = (seen & kPoint) != 0;
  if (is_null_spelling(text)) return {YamlPlainKind::Null, {}};
  if (int b = bool_spelling(text); b >= 0) return {YamlPlainKind::Bool, SettingValue::boolean(b)};
  // Numbers start with a sign, a digit or a point.
  if (((text[0] | 0x20) >= 'a' && (text[0] | 0x20) <= 'z')) return {YamlPlainKind::String, {}};
  IntegerText n;
  if (!has_point && classify_integer(text, RadixPrefixes::LowerCase, true, n)) {
    switch (n.range) {
      case IntegerRange::Unsigned64:
        return {YamlPlainKind::Integer, SettingValue::uinteger(unsigned_value(n))};
      case IntegerRange::Signed64:
        return {YamlPlainKind::Integer, SettingValue::integer(signed_value(n))};
      case IntegerRange::Wide:
        return {YamlPlainKind::OutOfRange, {}};
      case IntegerRange::Beyond:
        break;  // a decimal beyond 128 bits may still be a float
    }
  }
  if (is_leading_zero_digits(text)) return {YamlPlainKind::String, {}};
  double value = 0;
  bool finite = true;
  if (yaml_float(text, value, finite)) {
    return {YamlPlainKind::Float, finite ? SettingValue::floating(value) : SettingValue()};
  }
  return {YamlPlainKind::String, {}};
}

}  // namespace orn
