// Reads arbitrary bytes as YAML; whatever reads must write and read back to an equal tree, and
// the writer's text must be a fixed point. Half of the inputs go through a source that hands out
// odd-sized chunks, so the byte order mark and libyaml's buffer refills fall anywhere.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/yaml.hpp"

namespace {

class OddChunks final : public orn::ByteSource {
 public:
  explicit OddChunks(std::string_view bytes) : bytes_(bytes) {}
  orn::Result<std::size_t> read(char* buffer, std::size_t size) override {
    std::size_t n = std::min({size, bytes_.size(), chunk_});
    chunk_ = chunk_ * 7 % 13 + 1;
    std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t chunk_ = 2;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = orn::read_yaml(text);
  OddChunks source(text);
  auto streamed = orn::read_yaml(source);
  if (static_cast<bool>(first) != static_cast<bool>(streamed)) std::abort();
  if (!first) {
    if (first.error().message != streamed.error().message) std::abort();
    return 0;
  }
  if (!(first.value() == streamed.value())) std::abort();
  auto written = orn::write_yaml_file(first.value());
  if (!written) std::abort();  // the reader never builds what its own limit refuses
  auto second = orn::read_yaml(written.value().view());
  if (!second || !(second.value() == first.value())) std::abort();
  if (orn::write_yaml(second.value()) != written.value().view()) std::abort();
  return 0;
}
