// Input for the readers: a buffered window that streams from a ByteSource (JSON never holds the
// whole file), and whole-text reading with a cursor for formats that need all of it first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/result.hpp"
#include "formats/byte_source.hpp"
#include "formats/position.hpp"

namespace orn {

// A window over the input: either the caller's whole text, or a 64 KiB buffer refilled from a
// source (a settings file of a few hundred KiB is read in a handful of system calls). Readers move
// cur over [cur, end) directly in their hot loops and call refill() when it runs out; tokens that
// straddle a refill are gathered with begin_mark()/marked().
//
// Lines are counted only where the reader says so (new_line()): a reader knows the few places
// where a line feed can pass, and keeping the count out of every byte loop is what makes the
// scans fast.
class InputWindow {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  // The buffer lives on the heap, uninitialised: a reader may run on a thread with a small stack.
  explicit InputWindow(ByteSource& source)
      : cur(nullptr),
        end(nullptr),
        source_(&source),
        buffer_(new char[kBufferSize]),
        start_(buffer_.get()) {
    cur = end = buffer_.get();
  }
  explicit InputWindow(std::string_view text)
      : cur(text.data()), end(text.data() + text.size()), start_(text.data()) {}
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;

  const char* cur;
  const char* end;

  // Called with the window used up. False at the end of the input or when the source failed
  // (then io_error() holds its error and every later call is false too).
  bool refill() {
    if (source_ == nullptr || at_end_) return false;
    return refill_from_source();
  }

  // No byte follows end: the window holds the caller's whole text, or the source has ended.
  bool ends_input() const { return source_ == nullptr || at_end_; }

  // The next byte without consuming it, or -1 at the end.
  int peek() {
    if (cur != end || refill()) return static_cast<unsigned char>(*cur);
    return -1;
  }

  // Consumes and returns the next byte (-1 at the end), counting a line feed.
  int take() {
    int c = peek();
    if (c >= 0) {
      ++cur;
      if (c == '\n') new_line();
    }
    return c;
  }

  // The byte before cur was a line feed.
  void new_line() {
    ++line_;
    line_start_ = offset();
  }

  std::uint64_t offset() const { return base_ + static_cast<std::uint64_t>(cur - start_); }

  // The place of cur, in bytes (char_column is not counted while streaming).
  TextPosition position() const {
    TextPosition at;
    at.line = line_;
    at.offset = offset();
    at.byte_column = at.offset - line_start_;
    return at;
  }

  // A token starts at cur; its bytes stay reachable through marked() across refills.
  void begin_mark() {
    scratch_.clear();
    mark_ = cur;
    marking_ = true;
  }
  void end_mark() { marking_ = false; }
  // The token's bytes from the mark up to cur.
  std::string_view marked() {
    if (scratch_.empty()) return {mark_, static_cast<std::size_t>(cur - mark_)};
    scratch_.append(mark_, cur);
    mark_ = cur;
    return scratch_;
  }

  std::optional<Error>& io_error() { return io_error_; }

 private:
  bool refill_from_source();

  ByteSource* source_ = nullptr;
  std::unique_ptr<char[]> buffer_;  // null over a whole text
  const char* start_;               // the window's first byte, at input offset base_
  std::uint64_t base_ = 0;
  bool at_end_ = false;
  std::optional<Error> io_error_;

  std::uint64_t line_ = 1;
  std::uint64_t line_start_ = 0;  // input offset of the current line's first byte

  bool marking_ = false;
  const char* mark_ = nullptr;
  std::string scratch_;  // the marked bytes that earlier refills moved out of the window
};

// A cursor over a whole text in memory; positions are worked out only when asked for.
class TextInput {
 public:
  explicit TextInput(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }
  int peek() const { return at_end() ? -1 : static_cast<unsigned char>(text_[pos_]); }
  int take() { return at_end() ? -1 : static_cast<unsigned char>(text_[pos_++]); }
  std::string_view rest() const { return text_.substr(pos_); }
  void advance(std::size_t n) { pos_ += n < text_.size() - pos_ ? n : text_.size() - pos_; }
  std::size_t offset() const { return pos_; }
  std::string_view text() const { return text_; }
  TextPosition position() const { return position_in(text_, pos_); }
  TextPosition position_at(std::size_t offset) const { return position_in(text_, offset); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Everything the source holds, read in kBufferSize pieces into a growing string. Fails with the
// source's error.
Result<std::string> read_all(ByteSource& source);

// read_all, then checked as UTF-8: ill-formed text fails as OSError "stream did not contain
// valid UTF-8", as a failed read of a text file does.
Result<std::string> read_utf8_text(ByteSource& source);

// At most limit bytes from the start of the source: enough to learn that it can be read.
Result<std::string> read_prefix(ByteSource& source, std::size_t limit);

}  // namespace orn
