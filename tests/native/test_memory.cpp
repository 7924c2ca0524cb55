// The chunk allocator behind the module's trees (the native tests' own trees use malloc).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "engine/chunk_memory.hpp"
#include "test_macros.hpp"

using namespace orn;

namespace {

struct Held {
  unsigned char* block;
  std::size_t size;
  unsigned char mark;
};

bool still_marked(const Held& held) {
  return std::all_of(held.block, held.block + held.size,
                     [&](unsigned char c) { return c == held.mark; });
}

}  // namespace

TEST_CASE("chunk blocks of every size stay apart, aligned, and go back in any order") {
  const ChunkCounts before = chunk_counts();
  std::mt19937 random(5);
  std::vector<Held> held;
  std::vector<std::size_t> sizes = {0,
                                    1,
                                    15,
                                    16,
                                    17,
                                    4095,
                                    kLargeBlock - 1,
                                    kLargeBlock,
                                    kLargeBlock + 1,
                                    kChunkSize - 16,
                                    kChunkSize,
                                    3 * kChunkSize};
  for (int i = 0; i < 20000; ++i) sizes.push_back(random() % 700);
  for (int i = 0; i < 200; ++i) sizes.push_back(random() % (2 * kLargeBlock));
  for (std::size_t size : sizes) {
    auto* block = static_cast<unsigned char*>(chunk_allocate(size));
    REQUIRE(block != nullptr);
    CHECK(reinterpret_cast<std::uintptr_t>(block) % 16 == 0);
    const auto mark = static_cast<unsigned char>(held.size() * 7 + 1);
    std::memset(block, mark, size);
    held.push_back({block, size, mark});
  }
  // Every block still holds its own bytes once all are written: none overlaps another.
  CHECK(std::all_of(held.begin(), held.end(), still_marked));
  std::shuffle(held.begin(), held.end(), random);
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (i % 1000 == 0) CHECK(std::all_of(held.begin() + i, held.end(), still_marked));
    chunk_release(held[i].block);
  }
  const ChunkCounts after = chunk_counts();
  CHECK_EQ(after.large_blocks, before.large_blocks);
  // Every chunk is free again: spares, at most the allowance of them, and the current one.
  CHECK(after.chunks <= after.spare_chunks + 1);
  CHECK(after.spare_chunks <= kSpareChunks);
}

TEST_CASE("a chunk lives as long as its last block, and chunks past the spares go back") {
  const std::size_t block_size = 1000;
  const std::size_t per_chunk = kChunkSize / block_size;
  const std::size_t count = per_chunk * (kSpareChunks + 8);
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < count; ++i) {
    blocks.push_back(chunk_allocate(block_size));
    REQUIRE(blocks.back() != nullptr);
  }
  const std::size_t full = chunk_counts().chunks;
  CHECK(full >= kSpareChunks + 8);
  // One block of the first chunk is kept: that chunk stays, the others become free.
  void* kept = blocks.front();
  for (std::size_t i = 1; i < count; ++i) chunk_release(blocks[i]);
  const ChunkCounts pinned = chunk_counts();
  CHECK(pinned.spare_chunks == kSpareChunks);
  CHECK(pinned.chunks == kSpareChunks + 2);  // the spares, the current chunk and the kept one
  std::memset(kept, 0x5a, block_size);       // still mapped
  chunk_release(kept);
  CHECK(chunk_counts().chunks == kSpareChunks + 1);
  // The next blocks reuse that memory: nothing new is mapped.
  for (std::size_t i = 0; i < per_chunk * 4; ++i) blocks[i] = chunk_allocate(block_size);
  CHECK(chunk_counts().chunks == kSpareChunks + 1);
  for (std::size_t i = 0; i < per_chunk * 4; ++i) chunk_release(blocks[i]);
}

TEST_CASE("chunk memory refuses sizes no mapping can hold") {
  const ChunkCounts before = chunk_counts();
  for (std::size_t size :
       {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() - 16,
        std::numeric_limits<std::size_t>::max() / 2, std::size_t{1} << 62}) {
    CHECK(chunk_allocate(size) == nullptr);
  }
  CHECK_EQ(chunk_counts().large_blocks, before.large_blocks);
}
