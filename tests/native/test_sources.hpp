// Byte sources for reader tests: one that cuts the input into small reads, so that tokens
// straddle every refill, and one that fails like a broken disk once its bytes are served.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "formats/byte_source.hpp"

namespace orn {

// Moves up to size bytes from the front of bytes into buffer; gives how many.
inline std::size_t serve(std::string_view& bytes, char* buffer, std::size_t size) {
  std::size_t n = std::min(size, bytes.size());
  std::memcpy(buffer, bytes.data(), n);
  bytes.remove_prefix(n);
  return n;
}

class ChunkedSource final : public ByteSource {
 public:
  ChunkedSource(std::string_view bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    return serve(bytes_, buffer, std::min(size, chunk_));
  }

 private:
  std::string_view bytes_;
  std::size_t chunk_;
};

// Serves bytes, then fails with EIO and the given text.
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::string_view bytes, std::string message)
      : bytes_(bytes), message_(std::move(message)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    if (bytes_.empty()) return os_error(message_, 5);
    return serve(bytes_, buffer, size);
  }

 private:
  std::string_view bytes_;
  std::string message_;
};

}  // namespace orn
