#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "formats/byte_scan.hpp"
#include "formats/escapes.hpp"
#include "formats/input.hpp"
#include "formats/numbers.hpp"
#include "formats/position.hpp"
#include "formats/toml.hpp"
#include "formats/tree_builder.hpp"
#include "formats/utf8.hpp"

namespace orn {

namespace {

// ---------------------------------------------------------------------------------------------
// Tables under construction. TOML lets later lines add to tables opened earlier, so tables stay
// open (with the flags the definition rules need) until the whole document is read, and only
// then become mappings. Inline tables and arrays are closed the moment they end: they are kept
// as finished values, which is also what makes them impossible to extend.

enum class SlotKind : std::uint8_t { Value, Table, Tables };

struct Slot {
  Key key;
  SettingValue value;     // SlotKind::Value
  std::uint32_t ref = 0;  // Table: index into tables_; Tables: index into arrays_
  SlotKind kind = SlotKind::Value;
};

struct Table {
  std::vector<Slot> slots;           // in the order of the text
  std::vector<std::uint32_t> index;  // open addressing: slot + 1, 0 for free; built past kLinear
  std::uint32_t dotted_section = 0;  // the section whose dotted keys made or extended it, or 0
  bool is_explicit = false;          // defined by a header, or an element of an array of tables
};

// Tables with up to this many keys are put in key order as they become mappings.
constexpr std::size_t kSortHere = 16;

// Tables with up to this many keys are searched linearly.
constexpr std::size_t kLinear = 8;
constexpr std::uint32_t kNone = UINT32_MAX;

std::uint64_t hash_key(std::string_view key) {
  std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
  for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  return h;
}

std::uint32_t find_slot(const Table& table, std::string_view key, std::uint64_t hash) {
  if (table.index.empty()) {
    for (std::size_t i = 0; i < table.slots.size(); ++i) {
      if (table.slots[i].key == key) return static_cast<std::uint32_t>(i);
    }
    return kNone;
  }
  const std::size_t mask = table.index.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    std::uint32_t entry = table.index[at];
    if (entry == 0) return kNone;
    if (table.slots[entry - 1].key == key) return entry - 1;
  }
}

void index_slot(Table& table, std::uint32_t slot, std::uint64_t hash) {
  const std::size_t mask = table.index.size() - 1;
  std::size_t at = hash & mask;
  while (table.index[at] != 0) at = (at + 1) & mask;
  table.index[at] = slot + 1;
}

Slot& add_slot(Table& table, Key&& key, std::uint64_t hash) {
  if (table.slots.empty()) table.slots.reserve(kLinear);  // grows once for most settings tables
  table.slots.emplace_back();
  Slot& slot = table.slots.back();
  slot.key = std::move(key);
  const std::size_t n = table.slots.size();
  if (n > kLinear) {
    if (table.index.size() < 2 * n) {
      // Rebuild at a load of at most a quarter, so probes stay short.
      table.index.assign(table.index.empty() ? 64 : table.index.size() * 4, 0);
      for (std::size_t i = 0; i < n; ++i) {
        index_slot(table, static_cast<std::uint32_t>(i), hash_key(table.slots[i].key));
      }
    } else {
      index_slot(table, static_cast<std::uint32_t>(n - 1), hash);
    }
  }
  return slot;
}

inline bool is_bare_key_char(unsigned char c) { return kTomlBareKeyChars[c]; }

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bytes a number, date or time may be made of; the token is judged as a whole afterwards.
inline bool is_scalar_char(unsigned char c) {
  return is_bare_key_char(c) || c == '+' || c == '.' || c == ':';
}

// A control character that no string or comment may hold as it is: all below U+0020 but TAB,
// and DEL. Line ends are handled before this is asked.
inline bool is_forbidden_control(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

// Bytes that stand for themselves in a basic string, and in a literal string.
inline bool is_plain_basic(unsigned char c) {
  return c != '"' && c != '\\' && !is_forbidden_control(c);
}
inline bool is_plain_literal(unsigned char c) { return c != '\'' && !is_forbidden_control(c); }

// The end of the run of plain bytes at p: of a basic string, and of a literal string.
inline const char* skip_plain_basic(const char* p, const char* end) {
  return find_stop(
      p, end,
      [](std::uint64_t w) {
        return bytes_below(w, 0x20) | bytes_equal(w, 0x7F) | bytes_equal(w, '"') |
               bytes_equal(w, '\\');
      },
      [](unsigned char c) { return !is_plain_basic(c); });
}
inline const char* skip_plain_literal(const char* p, const char* end) {
  return find_stop(
      p, end,
      [](std::uint64_t w) {
        return bytes_below(w, 0x20) | bytes_equal(w, 0x7F) | bytes_equal(w, '\'');
      },
      [](unsigned char c) { return !is_plain_literal(c); });
}

struct KeyPart {
  // A bare key is a view of the text; a quoted one is decoded into its own string.
  std::string_view name() const { return is_decoded ? decoded : bare; }
  std::string_view bare;
  std::string decoded;
  bool is_decoded = false;
  const char* at = nullptr;  // the part's first byte in the text
  std::size_t length = 0;    // its bytes in the text, quotes included
};

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Digits at t[at, at + count), as a number; -1 when one of them is not a digit or t is short.
int fixed_digits(std::string_view t, std::size_t at, std::size_t count) {
  if (t.size() < at + count) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!is_digit(static_cast<unsigned char>(t[i]))) return -1;
    value = value * 10 + (t[i] - '0');
  }
  return value;
}

// A partial time at t[i...]: HH:MM, then optionally :SS and a fraction, then (when offsets are
// allowed) Z or an offset, up to the end of t. Appends the normalised text to out.
bool parse_time(std::string_view t, std::size_t i, bool allow_offset, std::string& out) {
  int hour = fixed_digits(t, i, 2);
  if (hour < 0 || hour > 23 || t.size() < i + 5 || t[i + 2] != ':') return false;
  int minute = fixed_digits(t, i + 3, 2);
  if (minute < 0 || minute > 59) return false;
  out.append(t.substr(i, 5));
  i += 5;
  if (i < t.size() && t[i] == ':') {
    int second = fixed_digits(t, i + 1, 2);
    if (second < 0 || second > 60) return false;  // 60: a leap second
    out.append(t.substr(i, 3));
    i += 3;
    if (i < t.size() && t[i] == '.') {
      std::size_t first = ++i;
      while (i < t.size() && is_digit(static_cast<unsigned char>(t[i]))) ++i;
      if (i == first) return false;
      // Nanoseconds: extra digits are cut, not rounded; trailing zeros go, one zero stays.
      std::string_view digits = t.substr(first, std::min<std::size_t>(i - first, 9));
      while (digits.size() > 1 && digits.back() == '0') digits.remove_suffix(1);
      out += '.';
      out.append(digits);
    }
  }
  if (allow_offset && i < t.size()) {
    char c = t[i];
    if (c == 'Z' || c == 'z') {
      out += 'Z';
      ++i;
    } else if (c == '+' || c == '-') {
      int oh = fixed_digits(t, i + 1, 2);
      int om = fixed_digits(t, i + 4, 2);
      if (oh < 0 || oh > 23 || om < 0 || om > 59 || t[i + 3] != ':') return false;
      out += c == '-' && (oh != 0 || om != 0) ? '-' : '+';
      out.append(t.substr(i + 1, 5));
      i += 6;
    }
  }
  return i == t.size();
}

// A date, date-time or time token in normalised form.
bool parse_datetime(std::string_view t, std::string& out) {
  if (t.size() >= 3 && t[2] == ':') return parse_time(t, 0, false, out);
  int year = fixed_digits(t, 0, 4);
  int month = fixed_digits(t, 5, 2);
  int day = fixed_digits(t, 8, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || t[4] != '-' || t[7] != '-') return false;
  if (day > days_in_month(year, month)) return false;
  out.append(t.substr(0, 10));
  if (t.size() == 10) return true;
  char separator = t[10];
  if (separator != 'T' && separator != 't' && separator != ' ') return false;
  out += 'T';
  return parse_time(t, 11, true, out);
}

// Four digits and "-" start a date, two digits and ":" a time; nothing else does.
bool looks_like_datetime(std::string_view t) {
  if (t.size() < 3 || !is_digit(static_cast<unsigned char>(t[0])) ||
      !is_digit(static_cast<unsigned char>(t[1]))) {
    return false;
  }
  if (t[2] == ':') return true;
  return t.size() >= 5 && is_digit(static_cast<unsigned char>(t[2])) &&
         is_digit(static_cast<unsigned char>(t[3])) && t[4] == '-';
}

// Underscores only between two digits of the radix.
bool digits_with_underscores(std::string_view t, int radix) {
  if (t.empty()) return false;
  bool after_digit = false;
  for (char c : t) {
    if (c == '_') {
      if (!after_digit) return false;
      after_digit = false;
      continue;
    }
    int v = hex_digit(static_cast<unsigned char>(c));
    if (v < 0 || v >= radix) return false;
    after_digit = true;
  }
  return after_digit;
}

// A decimal integer part: "0", or a digit 1-9 and more digits, underscores between.
bool decimal_part(std::string_view t) {
  if (t.empty()) return false;
  if (t[0] == '0') return t.size() == 1;
  return digits_with_underscores(t, 10);
}

// Where the first '.', 'e' or 'E' of t is, or npos. (string_view::find_first_of asks memchr
// over the set for every byte of t.)
std::size_t first_of_point_or_exponent(std::string_view t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '.' || t[i] == 'e' || t[i] == 'E') return i;
  }
  return std::string_view::npos;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? with a fraction, an exponent or both: a float
// that make_float would accept with nothing to take out before parsing.
bool is_plain_float(std::string_view t) {
  const char* p = t.data();
  const char* const end = p + t.size();
  if (p != end && *p == '-') ++p;
  const char* digits = p;
  while (p != end && is_digit(static_cast<unsigned char>(*p))) ++p;
  if (p == digits || (*digits == '0' && p - digits > 1)) return false;
  bool fraction = false;
  if (p != end && *p == '.') {
    digits = ++p;
    while (p != end && is_digit(static_cast<unsigned char>(*p))) ++p;
    if (p == digits) return false;
    fraction = true;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    digits = p;
    while (p != end && is_digit(static_cast<unsigned char>(*p))) ++p;
    return p != digits && p == end;
  }
  return fraction && p == end;
}

void append_without_underscores(std::string& out, std::string_view t) {
  for (char c : t) {
    if (c != '_') out += c;
  }
}

// ---------------------------------------------------------------------------------------------
// The parser: recursive descent over the whole text. Every function returns false after the
// first error, which fail() keeps with its place and span in bytes.

class Parser {
 public:
  explicit Parser(std::string_view text)
      : text_(text), p_(text.data()), end_(text.data() + text.size()) {}

  Result<SettingValue> run() {
    tables_.emplace_back();
    if (!parse_document()) {
      return type_error(
          toml_frame(text_, position_in(text_, error_offset_), error_span_, error_description_));
    }
    return materialize(0);
  }

 private:
  // ----- errors

  bool fail(const char* at, std::size_t span, std::string description) {
    error_offset_ = static_cast<std::size_t>(at - text_.data());
    error_span_ = span;
    error_description_ = std::move(description);
    return false;
  }

  // The bytes of the character at at, or 0 at the end.
  std::size_t char_span(const char* at) const {
    if (at >= end_) return 0;
    std::size_t bad = 1;
    std::size_t n = utf8_sequence(reinterpret_cast<const unsigned char*>(at),
                                  reinterpret_cast<const unsigned char*>(end_), bad);
    return n == 0 ? 1 : n;
  }

  bool fail_here(std::string description) {
    return fail(p_, char_span(p_), std::move(description));
  }

  // ----- white space, comments, line ends

  void skip_ws() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
  }

  // At '#': the comment up to its line end, which is left in place.
  bool skip_comment() {
    for (++p_; p_ != end_; ++p_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '\n') return true;
      if (c == '\r') {
        if (p_ + 1 != end_ && p_[1] == '\n') return true;
        return fail_here("carriage return without line feed");
      }
      if (is_forbidden_control(c)) return fail_here("control character in comment");
    }
    return true;
  }

  // At '\r': the line end it starts.
  bool skip_cr() {
    if (p_ + 1 != end_ && p_[1] == '\n') {
      p_ += 2;
      return true;
    }
    return fail_here("carriage return without line feed");
  }

  // White space, comments and line ends, as arrays and inline tables allow between items.
  bool skip_ws_comments_newlines() {
    for (;;) {
      skip_ws();
      if (p_ == end_) return true;
      char c = *p_;
      if (c == '\n') {
        ++p_;
      } else if (c == '\r') {
        if (!skip_cr()) return false;
      } else if (c == '#') {
        if (!skip_comment()) return false;
      } else {
        return true;
      }
    }
  }

  // After a key-value pair or a header: white space, an optional comment, then a line end.
  bool end_of_line(const char* what) {
    skip_ws();
    if (p_ == end_) return true;
    if (*p_ == '#' && !skip_comment()) return false;
    if (p_ == end_) return true;
    if (*p_ == '\n') {
      ++p_;
      return true;
    }
    if (*p_ == '\r') return skip_cr();
    return fail_here(std::string(what) + ", expected newline, `#`");
  }

  // ----- document

  bool parse_document() {
    std::uint32_t current = 0;
    for (;;) {
      skip_ws();
      if (p_ == end_) return true;
      char c = *p_;
      if (c == '\n') {
        ++p_;
        continue;
      }
      if (c == '\r') {
        if (!skip_cr()) return false;
        continue;
      }
      if (c == '#') {
        if (!skip_comment()) return false;
        continue;
      }
      if (c == '[') {
        if (!parse_header(current) || !end_of_line("extra characters after table header"))
          return false;
      } else {
        if (!parse_keyval(current) || !end_of_line("extra characters after value")) return false;
      }
    }
  }

  // ----- keys

  // One key of one or more dotted parts into parts_[0, key_parts_).
  bool parse_key() {
    key_parts_ = 0;
    for (;;) {
      if (key_parts_ == parts_.size()) parts_.emplace_back();
      KeyPart& part = parts_[key_parts_];
      part.at = p_;
      if (p_ != end_ && is_bare_key_char(static_cast<unsigned char>(*p_))) {
        const char* start = p_;
        while (p_ != end_ && is_bare_key_char(static_cast<unsigned char>(*p_))) ++p_;
        part.bare = std::string_view(start, static_cast<std::size_t>(p_ - start));
        part.is_decoded = false;
      } else if (p_ != end_ && *p_ == '"') {
        ++p_;
        std::string_view s;
        if (!parse_basic_string(s)) return false;
        part.decoded.assign(s);
        part.is_decoded = true;
      } else if (p_ != end_ && *p_ == '\'') {
        ++p_;
        std::string_view s;
        if (!parse_literal_string(s)) return false;
        part.decoded.assign(s);
        part.is_decoded = true;
      } else if (p_ == end_ || *p_ == '\n' || *p_ == '\r' || *p_ == '#' || *p_ == '=') {
        return fail_here("missing key");
      } else {
        return fail_here("invalid key");
      }
      part.length = static_cast<std::size_t>(p_ - part.at);
      if (++key_parts_ > kTomlMaxKeyParts) return fail(part.at, part.length, "recursion limit");
      skip_ws();
      if (p_ == end_ || *p_ != '.') return true;
      ++p_;
      skip_ws();
    }
  }

  bool fail_at_part(std::size_t i, const char* description) {
    return fail(parts_[i].at, parts_[i].length, description);
  }

  // Why a path cannot go through the value in slot: it is no table, or one closed by its end.
  bool fail_through_value(std::size_t part, const Slot& slot) {
    return fail_at_part(part,
                        slot.value.is_map() ? "cannot extend an inline table" : "duplicate key");
  }

  std::uint32_t new_table() {
    tables_.emplace_back();
    return static_cast<std::uint32_t>(tables_.size() - 1);
  }

  // ----- key-value pairs

  bool parse_keyval(std::uint32_t table) {
    if (!parse_key()) return false;
    skip_ws();
    if (p_ == end_ || *p_ != '=') return fail_here("key with no value, expected `.`, `=`");
    ++p_;
    skip_ws();
    // The parts before the last name tables, made or extended by this section's dotted keys.
    const std::size_t last = key_parts_ - 1;
    for (std::size_t i = 0; i < last; ++i) {
      Table& t = tables_[table];
      std::uint64_t hash = hash_key(parts_[i].name());
      std::uint32_t found = find_slot(t, parts_[i].name(), hash);
      if (found == kNone) {
        const auto made = static_cast<std::uint32_t>(tables_.size());
        Slot& slot = add_slot(t, Key(parts_[i].name()), hash);
        slot.kind = SlotKind::Table;
        slot.ref = made;
        new_table();  // may move every table: t and slot are not used past here
        tables_[made].dotted_section = section_;
        table = made;
        continue;
      }
      const Slot& slot = t.slots[found];
      if (slot.kind == SlotKind::Value) return fail_through_value(i, slot);
      if (slot.kind == SlotKind::Tables) return fail_at_part(i, "cannot extend an array of tables");
      Table& inner = tables_[slot.ref];
      if (inner.is_explicit || (inner.dotted_section != 0 && inner.dotted_section != section_)) {
        return fail_at_part(i, "cannot extend a table defined earlier");
      }
      inner.dotted_section = section_;
      table = slot.ref;
    }
    const char* key_at = parts_[last].at;
    const std::size_t key_length = parts_[last].length;
    Key key(parts_[last].name());  // the value may reuse parts_
    std::uint64_t hash = hash_key(key);
    if (find_slot(tables_[table], key, hash) != kNone)
      return fail(key_at, key_length, "duplicate key");
    SettingValue value;
    if (!parse_value(value)) return false;
    add_slot(tables_[table], std::move(key), hash).value = std::move(value);
    return true;
  }

  // ----- headers

  bool parse_header(std::uint32_t& current) {
    const bool is_array = p_ + 1 != end_ && p_[1] == '[';
    p_ += is_array ? 2 : 1;
    skip_ws();
    if (!parse_key()) return false;
    skip_ws();
    if (is_array) {
      if (end_ - p_ < 2 || p_[0] != ']' || p_[1] != ']') {
        return fail_here("unclosed array of tables, expected `.`, `]]`");
      }
      p_ += 2;
    } else {
      if (p_ == end_ || *p_ != ']') return fail_here("unclosed table, expected `.`, `]`");
      ++p_;
    }
    ++section_;
    std::uint32_t table = 0;
    const std::size_t last = key_parts_ - 1;
    // Headers mostly repeat the previous header's leading parts ([a.b] after [a]): those lead
    // to the same tables as before, since a slot never changes kind once made and an array of
    // tables only grows through a header, which then is the previous header.
    std::size_t i = 0;
    for (; i < last && i < header_path_.size() && header_path_[i].name == parts_[i].name(); ++i) {
      table = header_path_[i].table;
    }
    header_path_.resize(i);
    for (; i < last; ++i) {
      Table& t = tables_[table];
      std::uint64_t hash = hash_key(parts_[i].name());
      std::uint32_t found = find_slot(t, parts_[i].name(), hash);
      if (found == kNone) {
        const auto made = static_cast<std::uint32_t>(tables_.size());
        Slot& slot = add_slot(t, Key(parts_[i].name()), hash);
        slot.kind = SlotKind::Table;
        slot.ref = made;
        new_table();  // may move every table: t and slot are not used past here
        table = made;
      } else {
        const Slot& slot = t.slots[found];
        if (slot.kind == SlotKind::Value) return fail_through_value(i, slot);
        table = slot.kind == SlotKind::Table ? slot.ref : arrays_[slot.ref].back();
      }
      header_path_.push_back({std::string(parts_[i].name()), table});
    }
    if (!define_header_table(table, is_array, current)) return false;
    header_path_.push_back({std::string(parts_[last].name()), current});
    return true;
  }

  // Defines the table that the last part of a header names inside table as current.
  bool define_header_table(std::uint32_t table, bool is_array, std::uint32_t& current) {
    const std::size_t last = key_parts_ - 1;
    Table& t = tables_[table];
    std::uint64_t hash = hash_key(parts_[last].name());
    std::uint32_t found = find_slot(t, parts_[last].name(), hash);
    if (found == kNone) {
      const auto made = static_cast<std::uint32_t>(tables_.size());
      Slot& slot = add_slot(t, Key(parts_[last].name()), hash);
      if (is_array) {
        arrays_.emplace_back(1, made);
        slot.kind = SlotKind::Tables;
        slot.ref = static_cast<std::uint32_t>(arrays_.size() - 1);
      } else {
        slot.kind = SlotKind::Table;
        slot.ref = made;
      }
      new_table();  // may move every table: t and slot are not used past here
      tables_[made].is_explicit = true;
      current = made;
      return true;
    }
    Slot& slot = t.slots[found];
    if (slot.kind == SlotKind::Value) {
      if (is_array && slot.value.is_list()) {
        return fail_at_part(last, "cannot append to a static array");
      }
      return fail_at_part(last, "duplicate key");
    }
    if (is_array) {
      if (slot.kind != SlotKind::Tables) return fail_at_part(last, "duplicate table");
      std::uint32_t array = slot.ref;
      std::uint32_t made = new_table();
      tables_[made].is_explicit = true;
      arrays_[array].push_back(made);
      current = made;
      return true;
    }
    if (slot.kind == SlotKind::Tables) return fail_at_part(last, "duplicate table");
    Table& defined = tables_[slot.ref];
    if (defined.is_explicit || defined.dotted_section != 0) {
      return fail_at_part(last, "duplicate table");
    }
    defined.is_explicit = true;
    current = slot.ref;
    return true;
  }

  // ----- values

  bool parse_value(SettingValue& out) {
    if (p_ == end_) return fail_here("missing value");
    switch (*p_) {
      case '"': {
        ++p_;
        std::string_view s;
        if (end_ - p_ >= 2 && p_[0] == '"' && p_[1] == '"') {
          p_ += 2;
          if (!parse_multiline_basic(s)) return false;
        } else if (!parse_basic_string(s)) {
          return false;
        }
        out = SettingValue::string(s);
        return true;
      }
      case '\'': {
        ++p_;
        std::string_view s;
        if (end_ - p_ >= 2 && p_[0] == '\'' && p_[1] == '\'') {
          p_ += 2;
          if (!parse_multiline_literal(s)) return false;
        } else if (!parse_literal_string(s)) {
          return false;
        }
        out = SettingValue::string(s);
        return true;
      }
      case '[':
        return parse_array(out);
      case '{':
        return parse_inline_table(out);
      case 't':
      case 'f':
      case 'i':
      case 'n':
        return parse_word(out);
      case '\n':
      case '\r':
      case '#':
        return fail_here("missing value");
      default:
        break;
    }
    unsigned char c = static_cast<unsigned char>(*p_);
    if (is_digit(c) || c == '+' || c == '-') return parse_scalar(out);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return fail_bare_word();
    return fail_here("invalid value");
  }

  bool fail_bare_word() {
    const char* start = p_;
    const char* q = p_;
    while (q != end_ && is_bare_key_char(static_cast<unsigned char>(*q))) ++q;
    return fail(start, static_cast<std::size_t>(q - start), "string values must be quoted");
  }

  bool parse_word(SettingValue& out) {
    const char* q = p_;
    while (q != end_ && is_bare_key_char(static_cast<unsigned char>(*q))) ++q;
    std::string_view word(p_, static_cast<std::size_t>(q - p_));
    if (word == "true" || word == "false") {
      out = SettingValue::boolean(word[0] == 't');
      p_ = q;
      return true;
    }
    if (word == "inf" || word == "nan") {
      out = SettingValue();  // a settings value holds finite floats only
      p_ = q;
      return true;
    }
    return fail_bare_word();
  }

  // Numbers, dates and times, and inf and nan: the token is gathered, then judged whole.
  bool parse_scalar(SettingValue& out) {
    const char* start = p_;
    while (p_ != end_ && is_scalar_char(static_cast<unsigned char>(*p_))) ++p_;
    // A date and a time may be joined by one space.
    if (p_ - start == 10 && start[4] == '-' && end_ - p_ >= 4 && p_[0] == ' ' &&
        is_digit(static_cast<unsigned char>(p_[1])) &&
        is_digit(static_cast<unsigned char>(p_[2])) && p_[3] == ':') {
      ++p_;
      while (p_ != end_ && is_scalar_char(static_cast<unsigned char>(*p_))) ++p_;
    }
    std::string_view t(start, static_cast<std::size_t>(p_ - start));
    const std::size_t span = t.size();

    // Plain decimal integers of up to 18 digits, which cannot overflow, are the common case.
    {
      const bool negative = t[0] == '-';
      std::string_view digits = t.substr(negative ? 1 : 0);
      if (!digits.empty() && digits.size() <= 18 && (digits[0] != '0' || digits.size() == 1)) {
        std::int64_t value = 0;
        std::size_t i = 0;
        for (; i < digits.size() && is_digit(static_cast<unsigned char>(digits[i])); ++i) {
          value = value * 10 + (digits[i] - '0');
        }
        if (i == digits.size()) {
          out = SettingValue::integer(negative ? -value : value);
          return true;
        }
      }
    }

    // Plain decimal floats (what this system writes): no sign but "-", no underscores, so the
    // token is already the text from_chars takes. Anything else goes the general way below.
    if (is_plain_float(t)) return finish_float(parse_double(t), start, span, out);

    if (looks_like_datetime(t)) {
      scratch_.clear();
      if (!parse_datetime(t, scratch_)) return fail(start, span, "invalid date-time");
      Mapping carrier;
      carrier.append(Key(kTomlDateTimeKey), SettingValue::string(scratch_));
      out = SettingValue::map(std::move(carrier));
      return true;
    }

    std::string_view body = t;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
    if (body == "inf" || body == "nan") {
      out = SettingValue();  // a settings value holds finite floats only
      return true;
    }
    if (body.size() >= 2 && body[0] == '0' &&
        (body[1] == 'x' || body[1] == 'o' || body[1] == 'b')) {
      int radix = body[1] == 'x' ? 16 : body[1] == 'o' ? 8 : 2;
      if (body.size() != t.size() || !digits_with_underscores(body.substr(2), radix)) {
        return fail(start, span, "invalid integer number");
      }
      return make_integer(t, start, span, out);
    }
    const bool is_float = first_of_point_or_exponent(body) != std::string_view::npos;
    if (!is_float) {
      if (!decimal_part(body)) return fail(start, span, "invalid integer number");
      return make_integer(t, start, span, out);
    }
    return make_float(t, body, start, span, out);
  }

  bool make_integer(std::string_view t, const char* start, std::size_t span, SettingValue& out) {
    scratch_.clear();
    append_without_underscores(scratch_, t);
    IntegerText n;
    if (!classify_integer(scratch_, RadixPrefixes::LowerCase, true, n)) {
      return fail(start, span, "invalid integer number");
    }
    switch (n.range) {
      case IntegerRange::Unsigned64:
        out = SettingValue::uinteger(unsigned_value(n));
        return true;
      case IntegerRange::Signed64:
        out = SettingValue::integer(signed_value(n));
        return true;
      case IntegerRange::Wide:
        return fail(start, span, "JSON number out of range");
      case IntegerRange::Beyond:
        break;
    }
    return fail(start, span, "integer number overflowed");
  }

  bool make_float(std::string_view t, std::string_view body, const char* start, std::size_t span,
                  SettingValue& out) {
    // An integer part, then a fraction, an exponent or both.
    std::size_t stop = first_of_point_or_exponent(body);
    bool ok = decimal_part(body.substr(0, stop));
    std::size_t i = stop;
    if (ok && body[i] == '.') {
      std::size_t frac_end = i + 1;
      while (frac_end < body.size() && body[frac_end] != 'e' && body[frac_end] != 'E') ++frac_end;
      ok = digits_with_underscores(body.substr(i + 1, frac_end - i - 1), 10);
      i = frac_end;
    }
    if (ok && i < body.size()) {
      std::string_view exponent = body.substr(i + 1);
      if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-'))
        exponent.remove_prefix(1);
      ok = digits_with_underscores(exponent, 10);
    }
    if (!ok) return fail(start, span, "invalid floating-point number");
    std::string_view number = t;
    if (t[0] == '+' || t.find('_') != std::string_view::npos) {
      scratch_.clear();
      if (t[0] == '-') scratch_ += '-';
      append_without_underscores(scratch_, body);
      number = scratch_;
    }
    return finish_float(parse_double(number), start, span, out);
  }

  bool finish_float(ParsedDouble parsed, const char* start, std::size_t span, SettingValue& out) {
    if (parsed.status == ParsedDouble::Status::Overflow) {
      return fail(start, span, "floating-point number overflowed");
    }
    if (parsed.status != ParsedDouble::Status::Ok) {
      return fail(start, span, "invalid floating-point number");
    }
    out = SettingValue::floating(parsed.value);
    return true;
  }

  // ----- strings
  // Each gives a view of the decoded text: into the document when nothing needed decoding, else
  // into buffer_, valid until the next string is read.

  // After the opening quotation mark.
  bool parse_basic_string(std::string_view& out) {
    const char* start = p_;
    p_ = skip_plain_basic(p_, end_);
    if (p_ != end_ && *p_ == '"') {
      out = std::string_view(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      return true;
    }
    buffer_.assign(start, p_);
    for (;;) {
      if (p_ == end_ || *p_ == '\n') return fail_here("unclosed string, expected `\"`");
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        out = buffer_;
        return true;
      }
      if (c == '\\') {
        if (!parse_escape(buffer_)) return false;
        continue;
      }
      if (c == '\r' && p_ + 1 != end_ && p_[1] == '\n') {
        return fail_here("unclosed string, expected `\"`");
      }
      if (is_forbidden_control(c)) return fail_here("control character in string");
      const char* run = p_;
      p_ = skip_plain_basic(p_, end_);
      buffer_.append(run, p_);
    }
  }

  // At the backslash.
  bool parse_escape(std::string& out) {
    const char* at = p_;
    ++p_;
    if (p_ == end_) return fail(at, 1, "invalid escape sequence");
    char c = *p_++;
    std::size_t digits = 0;
    switch (c) {
      case 'b':
        out += '\b';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 'e':
        out += '\x1B';
        return true;
      case '"':
      case '\\':
        out += c;
        return true;
      case 'x':
        digits = 2;
        break;
      case 'u':
        digits = 4;
        break;
      case 'U':
        digits = 8;
        break;
      default:
        return fail(at, 1 + char_span(p_ - 1), "invalid escape sequence");
    }
    if (static_cast<std::size_t>(end_ - p_) < digits) {
      return fail(at, static_cast<std::size_t>(end_ - at), "invalid escape sequence");
    }
    std::int64_t value = parse_hex(std::string_view(p_, digits));
    p_ += digits;
    if (value < 0) return fail(at, 2 + digits, "invalid escape sequence");
    std::uint32_t code_point = static_cast<std::uint32_t>(value);
    if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      return fail(at, 2 + digits, "invalid unicode code point");
    }
    append_utf8(out, code_point);
    return true;
  }

  // After the opening quote of a literal string.
  bool parse_literal_string(std::string_view& out) {
    const char* start = p_;
    for (;;) {
      p_ = skip_plain_literal(p_, end_);
      if (p_ == end_ || *p_ == '\n') return fail_here("unclosed string, expected `'`");
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '\'') break;
      if (c == '\r' && p_ + 1 != end_ && p_[1] == '\n') {
        return fail_here("unclosed string, expected `'`");
      }
      if (is_forbidden_control(c)) return fail_here("control character in string");
      ++p_;
    }
    out = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }

  // A line end right after the opening delimiter belongs to the delimiter.
  void skip_first_newline() {
    if (p_ != end_ && *p_ == '\n') {
      ++p_;
    } else if (end_ - p_ >= 2 && p_[0] == '\r' && p_[1] == '\n') {
      p_ += 2;
    }
  }

  // After the three opening quotation marks. Line ends are kept as line feeds.
  bool parse_multiline_basic(std::string_view& out) {
    const char* open = p_ - 3;
    skip_first_newline();
    buffer_.clear();
    for (;;) {
      if (p_ == end_) return fail(open, 3, "unclosed string, expected `\"\"\"`");
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        const char* run = p_;
        while (p_ != end_ && *p_ == '"' && p_ - run < 5) ++p_;
        std::size_t n = static_cast<std::size_t>(p_ - run);
        if (n >= 3) {
          buffer_.append(n - 3, '"');
          out = buffer_;
          return true;
        }
        buffer_.append(n, '"');
      } else if (c == '\\') {
        const char* q = p_ + 1;
        while (q != end_ && (*q == ' ' || *q == '\t')) ++q;
        if (q != end_ && (*q == '\n' || (*q == '\r' && q + 1 != end_ && q[1] == '\n'))) {
          // A line-ending backslash: the line end and all white space after it go.
          p_ = q;
          while (p_ != end_) {
            if (*p_ == ' ' || *p_ == '\t' || *p_ == '\n') {
              ++p_;
            } else if (*p_ == '\r' && p_ + 1 != end_ && p_[1] == '\n') {
              p_ += 2;
            } else {
              break;
            }
          }
        } else if (!parse_escape(buffer_)) {
          return false;
        }
      } else if (c == '\n') {
        buffer_ += '\n';
        ++p_;
      } else if (c == '\r') {
        if (!skip_cr()) return false;
        buffer_ += '\n';
      } else if (is_forbidden_control(c)) {
        return fail_here("control character in string");
      } else {
        const char* run = p_;
        p_ = skip_plain_basic(p_, end_);
        buffer_.append(run, p_);
      }
    }
  }

  // After the three opening apostrophes.
  bool parse_multiline_literal(std::string_view& out) {
    const char* open = p_ - 3;
    skip_first_newline();
    buffer_.clear();
    for (;;) {
      if (p_ == end_) return fail(open, 3, "unclosed string, expected `'''`");
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '\'') {
        const char* run = p_;
        while (p_ != end_ && *p_ == '\'' && p_ - run < 5) ++p_;
        std::size_t n = static_cast<std::size_t>(p_ - run);
        if (n >= 3) {
          buffer_.append(n - 3, '\'');
          out = buffer_;
          return true;
        }
        buffer_.append(n, '\'');
      } else if (c == '\n') {
        buffer_ += '\n';
        ++p_;
      } else if (c == '\r') {
        if (!skip_cr()) return false;
        buffer_ += '\n';
      } else if (is_forbidden_control(c)) {
        return fail_here("control character in string");
      } else {
        const char* run = p_;
        p_ = skip_plain_literal(p_, end_);
        buffer_.append(run, p_);
      }
    }
  }

  // ----- arrays and inline tables

  bool enter() {
    if (depth_ == kTomlMaxDepth) {
      return fail(p_, 1, "cannot recurse further; max recursion depth met");
    }
    ++depth_;
    ++p_;
    return true;
  }

  bool parse_array(SettingValue& out) {
    if (!enter()) return false;
    const std::size_t start = tree_.list_start();
    for (;;) {
      if (!skip_ws_comments_newlines()) return false;
      if (p_ != end_ && *p_ == ']') break;
      if (p_ == end_) return fail_here("unclosed array, expected `]`");
      SettingValue item;
      if (!parse_value(item)) return false;
      tree_.add_item(std::move(item));
      if (!skip_ws_comments_newlines()) return false;
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ != end_ && *p_ == ']') break;
      return fail_here("unclosed array, expected `,`, `]`");
    }
    ++p_;
    --depth_;
    out = tree_.finish_list(start);
    return true;
  }

  bool parse_inline_table(SettingValue& out) {
    if (!enter()) return false;
    const std::uint32_t table = new_table();
    for (;;) {
      if (!skip_ws_comments_newlines()) return false;
      if (p_ != end_ && *p_ == '}') break;
      if (p_ == end_) return fail_here("unclosed inline table, expected `}`");
      if (!parse_keyval(table)) return false;
      if (!skip_ws_comments_newlines()) return false;
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ != end_ && *p_ == '}') break;
      return fail_here("unclosed inline table, expected `,`, `}`");
    }
    ++p_;
    --depth_;
    out = materialize(table);
    // Every table made since this one opened belongs to it and is done with.
    tables_.erase(tables_.begin() + table, tables_.end());
    return true;
  }

  // ----- the finished tree

  SettingValue materialize(std::uint32_t index) {
    const std::size_t start = tree_.map_start();
    std::vector<Slot>& slots = tables_[index].slots;  // no table is added meanwhile
    // A small table goes to the builder in key order, so that the mapping needs no sorting
    // afterwards (a section's plain keys come before its sub-tables in the text, which
    // rarely is their order).
    const std::size_t n = slots.size();
    std::uint8_t order[kSortHere];
    if (n <= kSortHere) {
      for (std::size_t i = 0; i < n; ++i) {
        std::size_t j = i;
        for (; j > 0 && slots[i].key < slots[order[j - 1]].key; --j) order[j] = order[j - 1];
        order[j] = static_cast<std::uint8_t>(i);
      }
    }
    for (std::size_t k = 0; k < n; ++k) {
      Slot& slot = slots[n <= kSortHere ? order[k] : k];
      switch (slot.kind) {
        case SlotKind::Value:
          tree_.add_entry(std::move(slot.key), std::move(slot.value));
          break;
        case SlotKind::Table: {
          SettingValue inner = materialize(slot.ref);
          tree_.add_entry(std::move(slot.key), std::move(inner));
          break;
        }
        case SlotKind::Tables: {
          const std::size_t list = tree_.list_start();
          for (std::uint32_t element : arrays_[slot.ref]) tree_.add_item(materialize(element));
          SettingValue inner = tree_.finish_list(list);
          tree_.add_entry(std::move(slot.key), std::move(inner));
          break;
        }
      }
    }
    tables_[index].slots.clear();
    SettingValue out;
    tree_.finish_map(start, out);  // keys are unique: the definition rules saw to that
    return out;
  }

  std::string_view text_;
  const char* p_;
  const char* end_;

  std::vector<Table> tables_;                      // [0] is the root; adding one may move them all
  std::deque<std::vector<std::uint32_t>> arrays_;  // the elements of each array of tables
  std::uint32_t section_ = 1;                      // numbers the header sections; the root's is 1
  std::size_t depth_ = 0;                          // arrays and inline tables open

  std::vector<KeyPart> parts_;
  std::size_t key_parts_ = 0;
  struct HeaderStep {
    std::string name;
    std::uint32_t table;
  };
  std::vector<HeaderStep> header_path_;  // the tables the last header's parts led to
  std::string buffer_;                   // decoded string text
  std::string scratch_;                  // number and date text
  // The definition rules already refuse every repeated key, so the builder need not look.
  TreeBuilder tree_{DuplicateKeys::LastWins};

  std::size_t error_offset_ = 0;
  std::size_t error_span_ = 0;
  std::string error_description_;
};

}  // namespace

namespace {

Result<SettingValue> parse_utf8(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return Parser(text).run();
}

}  // namespace

Result<SettingValue> parse_toml(std::string_view text) {
  // Files are checked as a whole when read; text from elsewhere is checked here, and the first
  // ill-formed sequence is reported in the frame like any other error.
  if (is_utf8(text)) return parse_utf8(text);
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  for (const unsigned char* p = begin; p != end;) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::size_t bad = 1;
    std::size_t n = utf8_sequence(p, end, bad);
    if (n == 0) {
      // The message quotes the line, so it shows each ill-formed part as one U+FFFD (three
      // bytes); nothing before the first one changes.
      auto offset = static_cast<std::size_t>(p - begin);
      std::string shown = utf8_replacing(text);
      return type_error(toml_frame(shown, position_in(shown, offset), 3, "invalid UTF-8"));
    }
    p += n;
  }
  return parse_utf8(text);
}

Result<SettingValue> read_toml_file(ByteSource& source) {
  auto text = read_utf8_text(source);
  if (!text) return std::move(text.error());
  return parse_utf8(text.value());
}

}  // namespace orn
