#include "formats/input.hpp"

#include "formats/utf8.hpp"

namespace orn {

bool InputWindow::refill_from_source() {
  if (marking_) {
    scratch_.append(mark_, end);
    mark_ = buffer_.get();
  }
  base_ += static_cast<std::uint64_t>(end - start_);
  start_ = cur = end = buffer_.get();
  Result<std::size_t> got = source_->read(buffer_.get(), kBufferSize);
  if (!got) {
    io_error_ = std::move(got.error());
    at_end_ = true;
    return false;
  }
  if (got.value() == 0) {
    at_end_ = true;
    return false;
  }
  end += got.value();
  return true;
}

namespace {

// Appends what the source gives until it ends or limit bytes are in.
Status append_from(ByteSource& source, std::string& out, std::size_t limit) {
  while (out.size() < limit) {
    std::size_t old = out.size();
    std::size_t want =
        limit - old < InputWindow::kBufferSize ? limit - old : InputWindow::kBufferSize;
    out.resize(old + want);
    Result<std::size_t> got = source.read(out.data() + old, want);
    if (!got) return std::move(got.error());
    out.resize(old + got.value());
    if (got.value() == 0) break;
  }
  return Ok{};
}

}  // namespace

Result<std::string> read_all(ByteSource& source) {
  std::string text;
  ORN_TRY(append_from(source, text, text.max_size()));
  return text;
}

Result<std::string> read_utf8_text(ByteSource& source) {
  auto text = read_all(source);
  if (text && !is_utf8(text.value())) return os_error("stream did not contain valid UTF-8");
  return text;
}

Result<std::string> read_prefix(ByteSource& source, std::size_t limit) {
  std::string text;
  ORN_TRY(append_from(source, text, limit));
  return text;
}

}  // namespace orn
