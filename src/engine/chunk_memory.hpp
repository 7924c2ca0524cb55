// Tree memory carved from large chunks: the blocks a conversion or a parser makes one after the
// other lie one after the other, as the writers and the tree's destruction then read them, and
// taking or giving back a block costs a few instructions, where a general allocator's free lists
// and size classes cost dozens and scatter a tree over many pages.
//
// A chunk is kChunkSize bytes at an address aligned to its size, with a count of its blocks in
// use at its start; a block finds its chunk by rounding its address down. Blocks come from the
// newest chunk, in order; a chunk goes back once its last block does: to the spares, which the
// next tree takes before any new memory (up to kSpareChunks of them, so that building and freeing
// a tree of some megabytes again and again touches no fresh page), else to the system. So a chunk
// lives as long as its longest-lived block: memory freed in the middle of a chunk is reused only
// once all of the chunk is free. Blocks above kLargeBlock get a mapping of their own, aligned the
// same way, and given back as soon as they are.
//
// Not thread-safe: the module uses it for trees only, which are built and freed with the
// interpreter lock held.
#pragma once

#include <cstddef>

#include "engine/tree_memory.hpp"

namespace orn {

inline constexpr std::size_t kChunkSize = std::size_t{1} << 20;
inline constexpr std::size_t kLargeBlock = std::size_t{64} << 10;
inline constexpr std::size_t kSpareChunks = 32;

// Null when out of memory. Blocks are aligned to 16 bytes.
void* chunk_allocate(std::size_t size) noexcept;
void chunk_release(void* block) noexcept;

inline TreeMemory chunk_memory() noexcept { return {&chunk_allocate, &chunk_release}; }

// Told of every mapping taken from the system (a chunk or a large block) and of every one given
// back, for a memory tracer.
using ChunkMapped = void (*)(void* start, std::size_t length);
using ChunkUnmapped = void (*)(void* start);
void watch_chunks(ChunkMapped mapped, ChunkUnmapped unmapped) noexcept;

// What is mapped now, for tests: chunks in use or kept spare, and large blocks.
struct ChunkCounts {
  std::size_t chunks;
  std::size_t spare_chunks;
  std::size_t large_blocks;
};
ChunkCounts chunk_counts() noexcept;

}  // namespace orn
