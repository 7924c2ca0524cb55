#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/byte_scan.hpp"
#include "formats/escapes.hpp"
#include "formats/numbers.hpp"
#include "formats/toml.hpp"
#include "formats/tree_writer.hpp"

namespace orn {

namespace {

// ---------------------------------------------------------------------------------------------
// Strings and keys

// What decides the form of a string or key. Eight flags: returned in a register.
struct TextTraits {
  bool has_control = false;  // U+0000..U+001F but TAB and line feed, and U+007F
  bool has_line_feed = false;
  bool has_tab = false;
  bool has_backslash = false;
  bool has_quote = false;
  bool has_apostrophe = false;
  bool has_three_quotes = false;       // a run of three or more double quotes
  bool has_three_apostrophes = false;  // a run of three or more apostrophes
};

// Whether three marked bytes follow each other: marks has one bit per byte of a stretch of
// text, before the marks of the two bytes ahead of it in its low bits, the nearer one higher.
constexpr bool has_three_in_a_row(unsigned marks, unsigned before) {
  const unsigned all = marks << 2 | before;
  return (all & all >> 1 & all >> 2) != 0;
}

#if defined(__SSE2__)

// Sixteen bytes a step. Each kind of telling byte is gathered in a vector of its own; only the
// double quotes and apostrophes, whose runs count, become bit masks at every step.
TextTraits measure(std::string_view text) {
  const __m128i zero = _mm_setzero_si128();
  __m128i line_feed = zero, tab = zero, backslash = zero, control = zero;
  unsigned quote = 0, apostrophe = 0;
  unsigned quote_before = 0, apostrophe_before = 0;  // the last two bytes' marks
  bool three_quotes = false, three_apostrophes = false;
  // `low` marks the bytes at most 0x1F that are to count: padding bytes are zero.
  auto fold = [&](__m128i x, __m128i low) {
    auto equal = [x](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
    const __m128i lf = equal('\n');
    const __m128i tb = equal('\t');
    line_feed = _mm_or_si128(line_feed, lf);
    tab = _mm_or_si128(tab, tb);
    backslash = _mm_or_si128(backslash, equal('\\'));
    control = _mm_or_si128(
        control, _mm_or_si128(_mm_andnot_si128(_mm_or_si128(lf, tb), low), equal('\x7F')));
    const auto q = static_cast<unsigned>(_mm_movemask_epi8(equal('"')));
    const auto a = static_cast<unsigned>(_mm_movemask_epi8(equal('\'')));
    quote |= q;
    apostrophe |= a;
    three_quotes |= has_three_in_a_row(q, quote_before);
    three_apostrophes |= has_three_in_a_row(a, apostrophe_before);
    quote_before = q >> 14;
    apostrophe_before = a >> 14;
  };
  // At most 0x1F, unsigned: the maximum with 0x1F is 0x1F.
  const __m128i top_control = _mm_set1_epi8(0x1F);
  auto at_most_1f = [&](__m128i x) {
    return _mm_cmpeq_epi8(_mm_max_epu8(x, top_control), top_control);
  };
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 16; p += 16, n -= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    fold(x, at_most_1f(x));
  }
  if (n > 0) {
    // The last bytes, zero above them, without reading past the text.
    const std::uint64_t first = n >= 8 ? load_word(p) : short_word(p, n);
    const std::uint64_t second = n > 8 ? short_word(p + 8, n - 8) : 0;
    const __m128i x = _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first));
    // Only the first n bytes are text: the index of each byte against n.
    const __m128i index = _mm_set_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m128i inside = _mm_cmplt_epi8(index, _mm_set1_epi8(static_cast<char>(n)));
    fold(x, _mm_and_si128(at_most_1f(x), inside));
  }
  auto any = [](__m128i marks) { return _mm_movemask_epi8(marks) != 0; };
  TextTraits t;
  t.has_line_feed = any(line_feed);
  t.has_tab = any(tab);
  t.has_backslash = any(backslash);
  t.has_control = any(control);
  t.has_quote = quote != 0;
  t.has_apostrophe = apostrophe != 0;
  t.has_three_quotes = three_quotes;
  t.has_three_apostrophes = three_apostrophes;
  return t;
}

#else

// The bytes measure looks at; the rest change no decision.
inline bool is_telling(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\';
}

TextTraits measure(std::string_view text) {
  TextTraits t;
  unsigned quotes = 0;  // the marks of the last two bytes, as has_three_in_a_row takes them
  unsigned apostrophes = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* next = nullptr;  // just after the last telling byte: a run goes on there
  for (;; ++p) {
    p = find_stop(
        p, end,
        [](std::uint64_t w) {
          return bytes_below(w, 0x20) | bytes_equal(w, 0x7F) | bytes_equal(w, '"') |
                 bytes_equal(w, '\'') | bytes_equal(w, '\\');
        },
        is_telling);
    if (p == end) break;
    const unsigned char c = static_cast<unsigned char>(*p);
    if (p != next) quotes = apostrophes = 0;
    next = p + 1;
    const unsigned q = c == '"' ? 1 : 0;
    const unsigned a = c == '\'' ? 1 : 0;
    t.has_three_quotes |= has_three_in_a_row(q, quotes);
    t.has_three_apostrophes |= has_three_in_a_row(a, apostrophes);
    quotes = quotes >> 1 | q << 1;
    apostrophes = apostrophes >> 1 | a << 1;
    if (c == '"') {
      t.has_quote = true;
    } else if (c == '\'') {
      t.has_apostrophe = true;
    } else if (c == '\n') {
      t.has_line_feed = true;
    } else if (c == '\t') {
      t.has_tab = true;
    } else if (c == '\\') {
      t.has_backslash = true;
    } else {
      t.has_control = true;
    }
  }
  return t;
}

#endif

constexpr EscapeTable kBasicEscapes = [] {
  EscapeTable table = control_escapes(HexCase::Upper);
  table.action[0x7F] = EscapeTable::kUnicode;
  table.action['"'] = '"';
  table.action['\\'] = '\\';
  return table;
}();

// The escape of one byte that kBasicEscapes does not leave plain: a control character or DEL
// (all below 0x80), a quotation mark or a backslash.
template <typename Out>
void append_basic_escape(Out& out, unsigned char c) {
  const char action = kBasicEscapes.action[c];
  if (action == EscapeTable::kUnicode) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    out.append(escape, 6);
  } else {
    const char escape[2] = {'\\', action};
    out.append(escape, 2);
  }
}

// Marks, for find_stop, the bytes of a word that a basic string may escape or end at.
std::uint64_t may_escape(std::uint64_t w) {
  return bytes_below(w, 0x20) | bytes_equal(w, 0x7F) | bytes_equal(w, '"') | bytes_equal(w, '\\');
}

template <typename Out>
void append_basic(Out& out, std::string_view text) {
  out += '"';
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* q = run;; ++q) {
    q = find_stop(q, end, may_escape,
                  [](unsigned char c) { return kBasicEscapes.action[c] != EscapeTable::kPlain; });
    if (q == end) break;
    out.append(run, q);
    run = q + 1;
    append_basic_escape(out, static_cast<unsigned char>(*q));
  }
  out.append(run, end);
  out += '"';
}

// Line feeds stay as they are; a double quote is escaped only as the third of a run, so the
// text can never close the string early.
template <typename Out>
void append_multiline_basic(Out& out, std::string_view text, bool has_line_feed) {
  out += "\"\"\"";
  if (has_line_feed) out += '\n';
  std::size_t quotes = 0;
  const char* run = text.data();
  const char* end = run + text.size();
  const char* next = nullptr;  // just after the last quotation mark: a run goes on there
  for (const char* q = run;; ++q) {
    q = find_stop(q, end, may_escape, [](unsigned char c) {
      return c == '"' || (c != '\n' && kBasicEscapes.action[c] != EscapeTable::kPlain);
    });
    if (q == end) break;
    const unsigned char c = static_cast<unsigned char>(*q);
    if (c == '"') {
      quotes = q == next ? quotes + 1 : 1;
      next = q + 1;
      if (quotes < 3) continue;
    }
    quotes = 0;
    out.append(run, q);
    run = q + 1;
    if (c == '"') {
      out += "\\\"";
    } else {
      append_basic_escape(out, c);
    }
  }
  out.append(run, end);
  out += "\"\"\"";
}

template <typename Out>
void append_string(Out& out, std::string_view text) {
  TextTraits t = measure(text);
  if (!t.has_control && !t.has_backslash && !t.has_quote && !t.has_line_feed) {
    if (t.has_tab) {
      append_basic(out, text);
    } else {  // nothing to escape
      out += '"';
      out += text;
      out += '"';
    }
  } else if (!t.has_control && !t.has_apostrophe && !t.has_line_feed) {
    out += '\'';
    out += text;
    out += '\'';
  } else if (!t.has_control && !t.has_backslash && !t.has_three_quotes) {
    append_multiline_basic(out, text, t.has_line_feed);
  } else if (!t.has_control && !t.has_three_apostrophes) {
    out += "'''";
    if (t.has_line_feed) out += '\n';
    out += text;
    out += "'''";
  } else if (t.has_line_feed) {
    append_multiline_basic(out, text, true);
  } else {
    append_basic(out, text);
  }
}

template <typename Out>
void append_key(Out& out, std::string_view key) {
  if (all_word_bytes(key, '-')) {  // the bytes of a bare key
    out += key;
    return;
  }
  TextTraits t = measure(key);
  // A key is one line: a line feed counts as a control character here.
  const bool control = t.has_control || t.has_line_feed;
  if (!control && !t.has_apostrophe && (t.has_backslash || t.has_quote)) {
    out += '\'';
    out += key;
    out += '\'';
    return;
  }
  append_basic(out, key);
}

// ---------------------------------------------------------------------------------------------
// The document

enum class Placement : std::uint8_t { Inline, Table, Tables };

Placement placement(const SettingValue& value) {
  if (value.is_map()) return Placement::Table;
  if (!value.is_list() || value.as_list().empty()) return Placement::Inline;
  for (const SettingValue& item : value.as_list()) {
    if (!item.is_map()) return Placement::Inline;
  }
  return Placement::Tables;
}

const char* kind_name(const SettingValue& value) {
  switch (value.kind()) {
    case SettingValue::Kind::Null:
      return "None";
    case SettingValue::Kind::Bool:
      return "a boolean";
    case SettingValue::Kind::UInt:
    case SettingValue::Kind::Int:
      return "an integer";
    case SettingValue::Kind::Float:
      return "a float";
    case SettingValue::Kind::String:
      return "a string";
    case SettingValue::Kind::List:
      return "a list";
    case SettingValue::Kind::Map:
      return "a mapping";
  }
  return "a value";
}

// Sections are printed in the order they are made, which is also the order of a depth-first
// walk that writes each table's plain entries before its sub-tables: so the text streams out
// with no section kept aside. A table's own entries decide whether its header is needed.
class Writer {
 public:
  Result<TextBuffer> run(const SettingValue& root) {
    if (!root.is_map()) {
      return type_error(std::string("TOML cannot store this tree: the root is ") + kind_name(root) +
                        ", and a TOML document is a mapping");
    }
    if (!write_section(root.as_map(), false)) return std::move(error_);
    return std::move(out_);
  }

 private:
  struct Step {
    std::string_view key;
    std::size_t index;
    bool is_index;
  };

  std::string path_text() const {
    std::string text;
    for (const Step& step : path_) {
      if (step.is_index) {
        text += '[';
        append_uint(text, step.index);
        text += ']';
      } else {
        if (!text.empty()) text += '.';
        append_key(text, step.key);
      }
    }
    return text;
  }

  bool fail_null() {
    error_ = type_error("TOML cannot store None: unsupported value at `" + path_text() + "`");
    return false;
  }

  bool write_section(const Mapping& map, bool is_element) {
    bool has_body = false;
    bool has_tables = false;
    for (const auto& entry : map) {
      const bool inline_value = placement(entry.second) == Placement::Inline;
      (inline_value ? has_body : has_tables) = true;
      // The sub-tables are written after the body: fetched now, they are there by then.
      if (!inline_value) __builtin_prefetch(entry.second.heap_block());
    }
    const bool is_root = path_.empty();
    const bool required = is_root ? has_body : is_element || has_body || !has_tables;
    if (required) {
      if (printed_) out_ += '\n';
      printed_ = true;
      if (!is_root) {
        out_ += is_element ? "[[" : "[";
        out_ += header_;
        out_ += is_element ? "]]\n" : "]\n";
      }
    }
    for (const auto& entry : map) {
      if (placement(entry.second) != Placement::Inline) continue;
      append_key(out_, entry.first);
      out_ += " = ";
      // Only a failure or a nested value needs the path.
      if (!write_scalar(entry.second)) {
        path_.push_back({entry.first, 0, false});
        if (!write_inline(entry.second, 0)) return false;
        path_.pop_back();
      }
      out_ += '\n';
    }
    for (const auto& entry : map) {
      Placement where = placement(entry.second);
      if (where == Placement::Inline) continue;
      path_.push_back({entry.first, 0, false});
      const std::size_t header_size = header_.size();
      if (++header_parts_ > kTomlMaxKeyParts) return fail_too_many_parts();
      if (!is_root) header_ += '.';
      append_key(header_, entry.first);
      if (where == Placement::Table) {
        if (!write_section(entry.second.as_map(), false)) return false;
      } else {
        const auto elements = entry.second.as_list();
        for (std::size_t i = 0; i < elements.size(); ++i) {
          path_.push_back({{}, i, true});
          if (!write_section(elements[i].as_map(), true)) return false;
          path_.pop_back();
        }
      }
      header_.resize(header_size);
      --header_parts_;
      path_.pop_back();
    }
    return true;
  }

  bool fail_too_many_parts() {
    std::string message = "TOML cannot store this tree: the table `" + path_text() + "` needs ";
    append_uint(message, header_parts_);
    message += " keys in its header and TOML files are read back with at most ";
    append_uint(message, kTomlMaxKeyParts);
    error_ = type_error(std::move(message));
    return false;
  }

  bool fail_too_deep(const SettingValue& value, std::size_t depth) {
    std::string message = "TOML cannot store this tree: the value at `" + path_text() + "` nests ";
    append_uint(message, depth + nesting_depth(value));
    message += " levels deep and TOML files are read back to at most ";
    append_uint(message, kTomlMaxDepth);
    message += " levels";
    error_ = type_error(std::move(message));
    return false;
  }

  // Writes value when it is a scalar other than None; gives false, having written nothing,
  // for anything else.
  bool write_scalar(const SettingValue& value) {
    switch (value.kind()) {
      case SettingValue::Kind::Bool:
        out_ += value.as_bool() ? "true" : "false";
        return true;
      case SettingValue::Kind::UInt:
        append_uint(out_, value.as_uint());
        return true;
      case SettingValue::Kind::Int:
        append_int(out_, value.as_int());
        return true;
      case SettingValue::Kind::Float:
        append_float(out_, value.as_double(), FloatLayout::Toml);
        return true;
      case SettingValue::Kind::String:
        append_string(out_, value.as_string());
        return true;
      case SettingValue::Kind::Null:
      case SettingValue::Kind::List:
      case SettingValue::Kind::Map:
        break;
    }
    return false;
  }

  // depth: the arrays and inline tables already open around value.
  bool write_inline(const SettingValue& value, std::size_t depth) {
    if (value.is_null()) return fail_null();
    if (write_scalar(value)) return true;
    if (depth == kTomlMaxDepth) {
      // The path names the container that holds this value, the one too many.
      return fail_too_deep(value, depth);
    }
    if (value.is_list()) {
      const auto items = value.as_list();
      out_ += '[';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (items.size() >= 2) out_ += "\n    ";
        if (!write_scalar(items[i])) {
          path_.push_back({{}, i, true});
          if (!write_inline(items[i], depth + 1)) return false;
          path_.pop_back();
        }
        if (items.size() >= 2) out_ += ',';
      }
      if (items.size() >= 2) out_ += '\n';
      out_ += ']';
      return true;
    }
    const Mapping& map = value.as_map();
    if (map.empty()) {
      out_ += "{}";
      return true;
    }
    out_ += '{';
    bool first = true;
    for (const auto& entry : map) {
      if (!first) out_ += ',';
      first = false;
      out_ += ' ';
      append_key(out_, entry.first);
      out_ += " = ";
      path_.push_back({entry.first, 0, false});
      if (!write_inline(entry.second, depth + 1)) return false;
      path_.pop_back();
    }
    out_ += " }";
    return true;
  }

  TextBuffer out_;
  bool printed_ = false;  // a section has been printed: the next one follows a blank line
  std::string header_;    // the encoded keys of the current section, joined by "."
  std::size_t header_parts_ = 0;
  std::vector<Step> path_;  // where the writer is, for messages
  Error error_ = type_error("");
};

}  // namespace

Result<TextBuffer> format_toml(const SettingValue& root) { return Writer().run(root); }

}  // namespace orn
