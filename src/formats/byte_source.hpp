// A pull source of bytes for readers that stream (JSON reads straight from the open file).
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "engine/result.hpp"

namespace orn {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to size bytes into buffer: the count read, 0 at the end, or an error whose message
  // is the operating system's text.
  virtual Result<std::size_t> read(char* buffer, std::size_t size) = 0;
};

// A source over bytes already in memory (tests, fuzzing).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    std::size_t n = size < bytes_.size() ? size : bytes_.size();
    if (n != 0) std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
};

}  // namespace orn
