// Reading YAML: libyaml scans and parses; this side records the first document's events with
// their anchors, then converts them into a tree by this system's own rules.
#include <yaml.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/numbers.hpp"
#include "formats/position.hpp"
#include "formats/tree_builder.hpp"
#include "formats/utf8.hpp"
#include "formats/yaml.hpp"

namespace orn {

bool yaml_float(std::string_view text, double& value, bool& finite);  // yaml_scalars.cpp

namespace {

// ---------------------------------------------------------------------------------------------
// libyaml handles, each owned by one object

class Parser {
 public:
  Parser() : ok_(yaml_parser_initialize(&parser_) != 0) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() { yaml_parser_delete(&parser_); }
  bool ok() const { return ok_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_;
  bool ok_;
};

class Event {
 public:
  Event() { std::memset(&event_, 0, sizeof event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() { yaml_event_delete(&event_); }
  // The next event, with the previous one released; false on a libyaml error.
  bool next(yaml_parser_t* parser) {
    yaml_event_delete(&event_);
    return yaml_parser_parse(parser, &event_) != 0;
  }
  const yaml_event_t& get() const { return event_; }

 private:
  yaml_event_t event_;
};

// ---------------------------------------------------------------------------------------------
// The recorded document

enum class Kind : std::uint8_t { Scalar, Alias, SeqStart, SeqEnd, MapStart, MapEnd, Empty };

// What a node's tag asks for, as libyaml resolved it.
enum class Tag : std::uint8_t { None, Bool, Int, Float, Null, Text, Local };

Tag classify_tag(const yaml_char_t* tag) {
  if (tag == nullptr) return Tag::None;
  std::string_view t(reinterpret_cast<const char*>(tag));
  if (!t.empty() && t[0] == '!') return Tag::Local;
  constexpr std::string_view kCore = "tag:yaml.org,2002:";
  if (t.substr(0, kCore.size()) != kCore) return Tag::Text;
  t.remove_prefix(kCore.size());
  if (t == "bool") return Tag::Bool;
  if (t == "int") return Tag::Int;
  if (t == "float") return Tag::Float;
  if (t == "null") return Tag::Null;
  return Tag::Text;
}

struct Mark {
  std::uint64_t line;  // from 0, as libyaml counts
  std::uint64_t column;
};

struct Recorded {
  Kind kind;
  Tag tag;
  bool plain;  // a scalar written without quotes or block indicator
  Mark mark;   // where the node starts
  union {
    const char* text;    // a scalar's bytes, in the document's text store
    std::size_t target;  // an alias's anchored node: the index of its first event
  };
  std::size_t size;  // of a scalar's text

  static Recorded node(Kind kind, Tag tag, Mark mark) {
    Recorded r{kind, tag, false, mark, {nullptr}, 0};
    return r;
  }
  static Recorded scalar(Tag tag, bool plain, Mark mark, const char* text, std::size_t size) {
    Recorded r{Kind::Scalar, tag, plain, mark, {text}, size};
    return r;
  }
  static Recorded alias(Mark mark, std::size_t target) {
    Recorded r = node(Kind::Alias, Tag::None, mark);
    r.target = target;
    return r;
  }
};

// A large file records millions of events and megabytes of scalar text. Both are kept in blocks
// that are never moved, not in arrays that double: growing would copy everything recorded so
// far and touch twice the memory.
class EventStore {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Recorded& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
  void push_back(const Recorded& event) {
    if (size_ % kBlock == 0) blocks_.push_back(std::make_unique_for_overwrite<Recorded[]>(kBlock));
    blocks_.back()[size_ % kBlock] = event;
    ++size_;
  }

 private:
  static constexpr std::size_t kBlock = 4096;
  std::vector<std::unique_ptr<Recorded[]>> blocks_;
  std::size_t size_ = 0;
};

class TextStore {
 public:
  // A stable copy of n bytes (never a null pointer, even for none: empty text is still text).
  const char* add(const char* data, std::size_t n) {
    if (n == 0) return "";
    if (n > static_cast<std::size_t>(limit_ - cursor_)) {
      std::size_t size = std::max(n, kBlock);
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      cursor_ = blocks_.back().get();
      limit_ = cursor_ + size;
    }
    char* copy = cursor_;
    std::memcpy(copy, data, n);
    cursor_ += n;
    return copy;
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

class Document {
 public:
  EventStore events;
  TextStore text;  // the scalars' bytes
  std::optional<std::string> error;
  bool stream_ended = false;
};

// ---------------------------------------------------------------------------------------------
// Feeding libyaml from a ByteSource

struct Feed {
  ByteSource* source = nullptr;
  std::optional<Error> failure;
  bool first = true;
  bool ended = false;
  std::string held;  // bytes read at the start that turned out not to be a byte order mark

  // libyaml's read handler: 1 with *size_read bytes (0 at the end), or 0 when the source failed.
  static int read(void* data, unsigned char* buffer, std::size_t size, std::size_t* size_read) {
    return static_cast<Feed*>(data)->fill(reinterpret_cast<char*>(buffer), size, *size_read);
  }

  // Fills libyaml's buffer whole, as its own string input does: libyaml decodes (and so checks)
  // all the bytes it holds at once, so how much each read returns must not change where an
  // ill-formed byte is reported.
  int fill(char* buffer, std::size_t size, std::size_t& size_read) {
    size_read = 0;
    if (first) {
      first = false;
      if (!skip_byte_order_mark()) return 0;
    }
    if (!held.empty()) {
      size_read = held.size() < size ? held.size() : size;
      std::memcpy(buffer, held.data(), size_read);
      held.erase(0, size_read);
    }
    while (size_read < size && !ended) {
      Result<std::size_t> got = source->read(buffer + size_read, size - size_read);
      if (!got) {
        failure = std::move(got.error());
        return 0;
      }
      if (got.value() == 0) ended = true;
      size_read += got.value();
    }
    return 1;
  }

  // The parser is told the input is UTF-8, so it looks for no byte order mark itself.
  bool skip_byte_order_mark() {
    char start[3];
    std::size_t have = 0;
    while (have < 3) {
      Result<std::size_t> got = source->read(start + have, 3 - have);
      if (!got) {
        failure = std::move(got.error());
        return false;
      }
      if (got.value() == 0) {
        ended = true;
        break;
      }
      have += got.value();
    }
    if (have == 3 && std::memcmp(start, "\xEF\xBB\xBF", 3) == 0) return true;
    held.assign(start, have);
    return true;
  }
};

std::uint64_t mark_value(std::size_t v) { return static_cast<std::uint64_t>(v); }

Mark mark_of(const yaml_mark_t& m) { return {mark_value(m.line), mark_value(m.column)}; }

bool is_origin(const yaml_mark_t& m) { return m.line == 0 && m.column == 0; }

// libyaml's problem, where it lies, and what it was parsing.
std::string libyaml_message(const yaml_parser_t& p) {
  if (p.error == YAML_MEMORY_ERROR || p.problem == nullptr) return "out of memory";
  std::string message = p.problem;
  if (!is_origin(p.problem_mark)) {
    append_yaml_mark(message, p.problem_mark.line, p.problem_mark.column);
  } else if (p.problem_offset != 0) {
    message += " at position ";
    append_uint(message, p.problem_offset);
  }
  if (p.context != nullptr) {
    message += ", ";
    message += p.context;
    const yaml_mark_t& c = p.context_mark;
    if (!is_origin(c) && (c.line != p.problem_mark.line || c.column != p.problem_mark.column)) {
      append_yaml_mark(message, c.line, c.column);
    }
  }
  return message;
}

void add_anchor(std::unordered_map<std::string, std::size_t>& anchors, const yaml_char_t* anchor,
                std::size_t position) {
  if (anchor != nullptr) anchors[reinterpret_cast<const char*>(anchor)] = position;
}

// Records the first document. Stops at its end, at the end of the stream, or at the first
// error, keeping what came before.
void collect(yaml_parser_t* parser, Event& event, Document& doc) {
  std::unordered_map<std::string, std::size_t> anchors;
  for (;;) {
    if (!event.next(parser)) {
      doc.error = libyaml_message(*parser);
      return;
    }
    const yaml_event_t& e = event.get();
    const std::size_t position = doc.events.size();
    const Mark mark = mark_of(e.start_mark);
    switch (e.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
      case YAML_NO_EVENT:
        break;
      case YAML_SCALAR_EVENT: {
        add_anchor(anchors, e.data.scalar.anchor, position);
        const char* text =
            doc.text.add(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
        doc.events.push_back(Recorded::scalar(classify_tag(e.data.scalar.tag),
                                              e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE, mark,
                                              text, e.data.scalar.length));
        break;
      }
      case YAML_SEQUENCE_START_EVENT:
        add_anchor(anchors, e.data.sequence_start.anchor, position);
        doc.events.push_back(
            Recorded::node(Kind::SeqStart, classify_tag(e.data.sequence_start.tag), mark));
        break;
      case YAML_MAPPING_START_EVENT:
        add_anchor(anchors, e.data.mapping_start.anchor, position);
        doc.events.push_back(
            Recorded::node(Kind::MapStart, classify_tag(e.data.mapping_start.tag), mark));
        break;
      case YAML_ALIAS_EVENT: {
        auto found = anchors.find(reinterpret_cast<const char*>(e.data.alias.anchor));
        if (found == anchors.end()) {
          std::string message = "unknown anchor";
          if (!is_origin(e.start_mark)) {
            append_yaml_mark(message, e.start_mark.line, e.start_mark.column);
          }
          doc.error = std::move(message);
          return;
        }
        doc.events.push_back(Recorded::alias(mark, found->second));
        break;
      }
      case YAML_SEQUENCE_END_EVENT:
        doc.events.push_back(Recorded::node(Kind::SeqEnd, Tag::None, mark));
        break;
      case YAML_MAPPING_END_EVENT:
        doc.events.push_back(Recorded::node(Kind::MapEnd, Tag::None, mark));
        break;
      case YAML_DOCUMENT_END_EVENT:
        return;
      case YAML_STREAM_END_EVENT:
        doc.stream_ended = true;
        if (doc.events.empty()) doc.events.push_back(Recorded::node(Kind::Empty, Tag::None, {}));
        return;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Converting the recorded events

// The text of a scalar as a message quotes it: a quotation mark and a backslash escaped, and
// every control character.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::uint32_t code = c;
    if (c == 0xC2 && i + 1 < text.size()) {
      unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) code = next;  // U+0080..U+009F
    }
    switch (code) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case 0:
        out += "\\0";
        continue;
      default:
        break;
    }
    if (code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F && c == 0xC2)) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u{";
      if (code >= 0x10) out += kHex[code >> 4];
      out += kHex[code & 0xF];
      out += '}';
      if (c == 0xC2) ++i;
      continue;
    }
    out += static_cast<char>(c);
  }
  out += '"';
}

struct PathStep {
  std::string_view key;
  std::size_t index;
  bool is_index;
};

class Converter {
 public:
  explicit Converter(const Document& doc)
      : doc_(doc),
        jump_limit_(100 * static_cast<std::uint64_t>(doc.events.size())),
        read_limit_(jump_limit_ + doc.events.size()) {}

  bool run(SettingValue& out) { return convert(out); }
  std::string& message() { return message_; }

 private:
  // ----- failures

  bool fail_text(std::string text) {
    message_ = std::move(text);
    return false;
  }

  bool fail_at(std::string text, const Mark& mark) {
    if (mark.line != 0 || mark.column != 0) append_yaml_mark(text, mark.line, mark.column);
    return fail_text(std::move(text));
  }

  // A conversion error: the node's path, the text, the node's place.
  bool fail_node(std::string_view text, const Mark& mark) {
    std::string path = ".";
    for (const PathStep& step : path_) {
      if (step.is_index) {
        path += '[';
        append_uint(path, step.index);
        path += ']';
      } else if (path == ".") {
        path = step.key;
      } else {
        path += '.';
        path += step.key;
      }
    }
    std::string message;
    if (path != ".") message = path + ": ";
    message += text;
    return fail_at(std::move(message), mark);
  }

  bool fail_value(std::string_view found, std::string_view expected, const Recorded& e) {
    std::string text = "invalid value: string ";
    append_quoted(text, found);
    text += ", expected ";
    text += expected;
    return fail_node(text, e.mark);
  }

  bool fail_eof() {
    return fail_text(doc_.error ? *doc_.error : std::string("EOF while parsing a value"));
  }

  bool fail_repetition() { return fail_text("repetition limit exceeded"); }

  // ----- events

  // The next event, or null at the end of the recorded ones. Every event read counts against the
  // re-reading budget: a jump limit alone would still let each jump copy a large node, and so a
  // small file grow into a tree quadratic in its size.
  const Recorded* take() {
    if (pos_ == doc_.events.size()) return nullptr;
    ++reads_;
    return &doc_.events[pos_++];
  }

  bool jump() { return ++jumps_ <= jump_limit_ && reads_ <= read_limit_; }

  std::string_view text_of(const Recorded& e) const { return std::string_view(e.text, e.size); }

  bool convert(SettingValue& out) {
    const Recorded* e = take();
    if (e == nullptr) return fail_eof();
    if (reads_ > read_limit_) return fail_repetition();
    switch (e->kind) {
      case Kind::Alias: {
        if (!jump()) return fail_repetition();
        const std::size_t resume = pos_;
        pos_ = e->target;
        bool ok = convert(out);
        pos_ = resume;
        return ok;
      }
      case Kind::Empty:
        out = SettingValue();
        return true;
      case Kind::Scalar:
        if (e->tag == Tag::Local) return fail_node(kEnum, e->mark);
        return convert_scalar(*e, out);
      case Kind::SeqStart:
        if (e->tag == Tag::Local) return fail_node(kEnum, e->mark);
        return convert_sequence(*e, out);
      case Kind::MapStart:
        if (e->tag == Tag::Local) return fail_node(kEnum, e->mark);
        return convert_mapping(*e, out);
      case Kind::SeqEnd:
      case Kind::MapEnd:
        break;
    }
    return fail_eof();  // not reached: libyaml never ends a collection where a node belongs
  }

  bool enter(const Recorded& e) {
    if (depth_left_ == 0) return fail_at("recursion limit exceeded", e.mark);
    --depth_left_;
    return true;
  }

  bool convert_sequence(const Recorded& start, SettingValue& out) {
    if (!enter(start)) return false;
    const std::size_t first = tree_.list_start();
    path_.push_back({{}, 0, true});
    for (std::size_t index = 0;; ++index) {
      if (pos_ == doc_.events.size()) return fail_eof();
      if (doc_.events[pos_].kind == Kind::SeqEnd) {
        ++pos_;
        break;
      }
      path_.back().index = index;
      SettingValue item;
      if (!convert(item)) return false;
      tree_.add_item(std::move(item));
    }
    path_.pop_back();
    ++depth_left_;
    out = tree_.finish_list(first);
    return true;
  }

  bool convert_mapping(const Recorded& start, SettingValue& out) {
    if (!enter(start)) return false;
    const std::size_t first = tree_.map_start();
    for (bool first_key = true;; first_key = false) {
      if (pos_ == doc_.events.size()) return fail_eof();
      if (doc_.events[pos_].kind == Kind::MapEnd) {
        ++pos_;
        break;
      }
      std::string_view key;
      if (!read_key(first_key, key)) return false;
      path_.push_back({key, 0, false});
      SettingValue value;
      if (!convert(value)) return false;
      path_.pop_back();
      tree_.add_entry(Key(key), std::move(value));
    }
    ++depth_left_;
    tree_.finish_map(first, out);  // later entries win: never refused
    return true;
  }

  // A key is a scalar's text as written, whatever its style and tag, or that of the scalar an
  // alias names.
  bool read_key(bool first_key, std::string_view& key) {
    const Recorded* e = take();
    if (e == nullptr) return fail_eof();
    if (reads_ > read_limit_) return fail_repetition();
    if (e->kind == Kind::Alias) {
      if (!jump()) return fail_repetition();
      e = &doc_.events[e->target];
    }
    if (e->kind == Kind::Scalar) {
      key = text_of(*e);
      return true;
    }
    std::string text = "invalid type: ";
    text += e->kind == Kind::SeqStart ? "sequence" : "map";
    text += first_key ? ", expected a string key" : ", expected a string";
    return fail_node(text, e->mark);
  }

  bool convert_scalar(const Recorded& e, SettingValue& out) {
    std::string_view text = text_of(e);
    switch (e.tag) {
      case Tag::None:
        if (!e.plain) break;
        return convert_plain(e, text, out);
      case Tag::Text:
      case Tag::Local:
        break;
      case Tag::Null:
        if (text == "~" || text == "null" || text == "Null" || text == "NULL") {
          out = SettingValue();
          return true;
        }
        return fail_value(text, "null", e);
      case Tag::Bool:
        if (text == "true" || text == "True" || text == "TRUE") {
          out = SettingValue::boolean(true);
          return true;
        }
        if (text == "false" || text == "False" || text == "FALSE") {
          out = SettingValue::boolean(false);
          return true;
        }
        return fail_value(text, "a boolean", e);
      case Tag::Int: {
        IntegerText n;
        if (classify_integer(text, RadixPrefixes::LowerCase, true, n) &&
            n.range != IntegerRange::Beyond) {
          return integer_value(n, e, out);
        }
        return fail_value(text, "an integer", e);
      }
      case Tag::Float: {
        double value = 0;
        bool finite = true;
        if (yaml_float(text, value, finite)) {
          out = finite ? SettingValue::floating(value) : SettingValue();
          return true;
        }
        // The radix forms are integers, so float forms too.
        IntegerText n;
        if (classify_integer(text, RadixPrefixes::LowerCase, true, n) &&
            n.range != IntegerRange::Beyond) {
          double magnitude = static_cast<double>(n.magnitude);
          out = SettingValue::floating(n.negative ? -magnitude : magnitude);
          return true;
        }
        return fail_value(text, "a float", e);
      }
    }
    out = SettingValue::string(text);
    return true;
  }

  bool integer_value(const IntegerText& n, const Recorded& e, SettingValue& out) {
    switch (n.range) {
      case IntegerRange::Unsigned64:
        out = SettingValue::uinteger(unsigned_value(n));
        return true;
      case IntegerRange::Signed64:
        out = SettingValue::integer(signed_value(n));
        return true;
      case IntegerRange::Wide:
      case IntegerRange::Beyond:
        break;
    }
    return fail_node("JSON number out of range", e.mark);
  }

  bool convert_plain(const Recorded& e, std::string_view text, SettingValue& out) {
    YamlPlain plain = resolve_yaml_plain(text);
    switch (plain.kind) {
      case YamlPlainKind::String:
        out = SettingValue::string(text);
        return true;
      case YamlPlainKind::OutOfRange:
        return fail_node("JSON number out of range", e.mark);
      case YamlPlainKind::Null:
      case YamlPlainKind::Bool:
      case YamlPlainKind::Integer:
      case YamlPlainKind::Float:
        break;
    }
    out = std::move(plain.value);
    return true;
  }

  static constexpr std::string_view kEnum = "invalid type: enum, expected any valid JSON value";

  const Document& doc_;
  std::size_t pos_ = 0;
  std::uint64_t jumps_ = 0;
  std::uint64_t reads_ = 0;
  const std::uint64_t jump_limit_;
  const std::uint64_t read_limit_;
  std::uint8_t depth_left_ = kYamlMaxDepth;
  std::vector<PathStep> path_;
  TreeBuilder tree_{DuplicateKeys::LastWins};
  std::string message_;
};

}  // namespace

Result<SettingValue> read_yaml(ByteSource& source) {
  Parser parser;
  if (!parser.ok()) return Error{ErrorKind::Memory, "out of memory"};
  Feed feed;
  feed.source = &source;
  yaml_parser_set_input(parser.get(), &Feed::read, &feed);
  yaml_parser_set_encoding(parser.get(), YAML_UTF8_ENCODING);

  Document doc;
  Event event;
  collect(parser.get(), event, doc);
  SettingValue root;
  Converter converter(doc);
  const bool converted = converter.run(root);
  // A file that could not be read is reported as such, whatever the bytes before the failure
  // looked like.
  auto outcome = [&](std::string message) -> Result<SettingValue> {
    if (feed.failure) return std::move(*feed.failure);
    return type_error(std::move(message));
  };
  if (!converted) return outcome(std::move(converter.message()));
  if (doc.error) return outcome(std::move(*doc.error));
  if (!doc.stream_ended) {
    if (!event.next(parser.get()) || event.get().type != YAML_STREAM_END_EVENT) {
      return outcome("deserializing from YAML containing more than one document is not supported");
    }
  }
  if (feed.failure) return std::move(*feed.failure);
  return root;
}

Result<SettingValue> read_yaml(std::string_view text) {
  MemorySource source(text);
  return read_yaml(source);
}

}  // namespace orn
