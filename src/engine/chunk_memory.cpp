#include "engine/chunk_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

namespace orn {

namespace {

constexpr std::size_t kAlignment = 16;

// The first sixteen bytes of a chunk, or of a large block's own mapping.
struct ChunkHead {
  std::uint32_t live;   // blocks handed out and not yet released
  std::uint32_t large;  // a mapping of one large block, `length` bytes long
  union {
    ChunkHead* next_spare;
    std::size_t length;
  };
};
static_assert(sizeof(ChunkHead) == kAlignment);

struct State {
  ChunkHead* current = nullptr;  // the chunk that blocks come from
  char* cursor = nullptr;        // its first free byte
  char* limit = nullptr;         // its end
  ChunkHead* spares = nullptr;
  std::size_t spare_count = 0;
  std::size_t chunks = 0;  // mapped, spares included
  std::size_t large_blocks = 0;
  ChunkMapped mapped = nullptr;
  ChunkUnmapped unmapped = nullptr;
};

State state;

ChunkHead* head_of(void* block) noexcept {
  return reinterpret_cast<ChunkHead*>(reinterpret_cast<std::uintptr_t>(block) & ~(kChunkSize - 1));
}

// length bytes (a multiple of the page size) at an address aligned to kChunkSize: mapped with
// room to spare, then trimmed at both ends.
void* map_aligned(std::size_t length) noexcept {
  const std::size_t mapped = length + kChunkSize;
  void* start = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) return nullptr;
  const auto first = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t aligned = (first + kChunkSize - 1) & ~(kChunkSize - 1);
  if (aligned != first) munmap(start, aligned - first);
  const std::uintptr_t tail = aligned + length;
  if (tail != first + mapped) munmap(reinterpret_cast<void*>(tail), first + mapped - tail);
  if (state.mapped != nullptr) state.mapped(reinterpret_cast<void*>(aligned), length);
  return reinterpret_cast<void*>(aligned);
}

void unmap(void* start, std::size_t length) noexcept {
  if (state.unmapped != nullptr) state.unmapped(start);
  munmap(start, length);
}

void start_chunk(ChunkHead* chunk) noexcept {
  chunk->live = 0;
  chunk->large = 0;
  state.current = chunk;
  state.cursor = reinterpret_cast<char*>(chunk) + sizeof(ChunkHead);
  state.limit = reinterpret_cast<char*>(chunk) + kChunkSize;
}

// The current chunk is full: blocks come from a spare or a new chunk from now on. The full one
// stays mapped until its last block is released (an empty current chunk is started over as its
// last block goes, so it is never full).
bool next_chunk() noexcept {
  ChunkHead* chunk = state.spares;
  if (chunk != nullptr) {
    state.spares = chunk->next_spare;
    --state.spare_count;
  } else {
    chunk = static_cast<ChunkHead*>(map_aligned(kChunkSize));
    if (chunk == nullptr) return false;
    ++state.chunks;
  }
  start_chunk(chunk);
  return true;
}

void* allocate_large(std::size_t size) noexcept {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (size > std::numeric_limits<std::size_t>::max() / 2 - kChunkSize) return nullptr;
  const std::size_t length = (sizeof(ChunkHead) + size + page - 1) / page * page;
  auto* head = static_cast<ChunkHead*>(map_aligned(length));
  if (head == nullptr) return nullptr;
  head->live = 1;
  head->large = 1;
  head->length = length;
  ++state.large_blocks;
  return head + 1;
}

}  // namespace

void* chunk_allocate(std::size_t size) noexcept {
  if (size > kLargeBlock) return allocate_large(size);
  const std::size_t n = size == 0 ? kAlignment : (size + kAlignment - 1) & ~(kAlignment - 1);
  if (static_cast<std::size_t>(state.limit - state.cursor) < n && !next_chunk()) return nullptr;
  char* block = state.cursor;
  state.cursor += n;
  ++state.current->live;
  return block;
}

void chunk_release(void* block) noexcept {
  if (block == nullptr) return;
  ChunkHead* head = head_of(block);
  if (head->large != 0) {
    --state.large_blocks;
    unmap(head, head->length);
    return;
  }
  if (--head->live != 0) return;
  if (head == state.current) {
    start_chunk(head);
  } else if (state.spare_count < kSpareChunks) {
    head->next_spare = state.spares;
    state.spares = head;
    ++state.spare_count;
  } else {
    --state.chunks;
    unmap(head, kChunkSize);
  }
}

void watch_chunks(ChunkMapped mapped, ChunkUnmapped unmapped) noexcept {
  state.mapped = mapped;
  state.unmapped = unmapped;
}

ChunkCounts chunk_counts() noexcept {
  return {state.chunks, state.spare_count, state.large_blocks};
}

}  // namespace orn
