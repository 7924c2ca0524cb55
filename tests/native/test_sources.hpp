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

// Serves bytes, then fails with EIO and the given text.
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::string_view bytes, std::string message)
      : bytes_(bytes), message_(std::move(message)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    if (bytes_.empty()) return os_error(message_, 5);
    std::size_t n = std::min(size, bytes_.size());
    std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::string message_;
};

}  // namespace orn
