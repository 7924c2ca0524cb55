#include "engine/setting_value.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <new>

#include "engine/key_bytes.hpp"

namespace orn {

SettingValue SettingValue::string(std::string_view s) {
  static_assert(sizeof(SettingValue) == 16);
  const std::size_t n = s.size();
  if (n > kInlineCapacity) {
    auto* block = static_cast<LongString*>(tree_allocate(offsetof(LongString, data) + n));
    block->size = n;
    // Most long strings are still short: two overlapping copies of a fixed size cost a few
    // moves where a call to memcpy costs dozens of instructions.
    const char* from = s.data();
    if (n < 16) {  // 15: one more than fits inline
      std::memcpy(block->data, from, 8);
      std::memcpy(block->data + n - 8, from + n - 8, 8);
    } else if (n <= 32) {
      std::memcpy(block->data, from, 16);
      std::memcpy(block->data + n - 16, from + n - 16, 16);
    } else if (n <= 64) {
      std::memcpy(block->data, from, 32);
      std::memcpy(block->data + n - 32, from + n - 32, 32);
    } else {
      std::memcpy(block->data, from, n);
    }
    return {head(Kind::String, kLong), std::bit_cast<std::uint64_t>(block)};
  }
  if constexpr (std::endian::native == std::endian::little) {
    // The bytes gathered in two words by overlapping loads, never past the text's end: they
    // run from byte 2 of the value into its payload word.
    const char* p = s.data();
    auto load = [p](std::size_t at, auto word) {
      std::memcpy(&word, p + at, sizeof word);
      return static_cast<std::uint64_t>(word);
    };
    std::uint64_t low = 0;   // text bytes 0 to 7
    std::uint64_t high = 0;  // text bytes 8 to 13
    if (n >= 8) {
      low = load(0, std::uint64_t{});
      if (n > 8) high = load(n - 8, std::uint64_t{}) >> (8 * (16 - n));
    } else if (n >= 4) {
      low = load(0, std::uint32_t{}) | load(n - 4, std::uint32_t{}) << (8 * (n - 4));
    } else if (n > 0) {
      low = load(0, std::uint8_t{}) | load(n / 2, std::uint8_t{}) << (8 * (n / 2)) |
            load(n - 1, std::uint8_t{}) << (8 * (n - 1));
    }
    return {head(Kind::String, static_cast<std::uint8_t>(n)) | low << 16, low >> 48 | high << 16};
  } else {
    SettingValue v;
    std::memcpy(reinterpret_cast<char*>(&v) + 2, s.data(), n);
    v.short_size_ = static_cast<std::uint8_t>(n);
    v.kind_ = Kind::String;
    return v;
  }
}

SettingValue SettingValue::list(std::span<SettingValue> items) {
  static_assert(sizeof(ListBlock) % alignof(SettingValue) == 0);
  if (items.empty()) return {head(Kind::List, kLong), 0};
  auto* block = static_cast<ListBlock*>(tree_allocate(sizeof(ListBlock) + items.size_bytes()));
  block->size = items.size();
  SettingValue* out = block->items();
  // Items are relocated as a move of one value already is (take_bytes): the moved item is the
  // bytes of its source, and the source is left null, whose bytes are all zero. Whole sixteen-
  // byte stores: a move constructor's byte-wide stores to each source's kind stall the
  // caller's destructors that read it back at once, and most lists are too short to pay for
  // calls to memcpy and memset.
  static_assert(static_cast<int>(Kind::Null) == 0);
  for (SettingValue& item : items) {
    std::memcpy(static_cast<void*>(out++), static_cast<const void*>(&item), sizeof item);
    std::memset(static_cast<void*>(&item), 0, sizeof item);
  }
  return {head(Kind::List, kLong), std::bit_cast<std::uint64_t>(block)};
}

SettingValue SettingValue::map(Mapping m) { return map_from(m); }

SettingValue SettingValue::map_from(Mapping& source) {
  return {head(Kind::Map, kLong), std::bit_cast<std::uint64_t>(Mapping::make(source))};
}

SettingValue SettingValue::map_with_room(std::size_t n) {
  return {head(Kind::Map, kLong, kTopDown), std::bit_cast<std::uint64_t>(Mapping::with_room(n))};
}

SettingValue SettingValue::map() {
  Mapping empty;
  return map_from(empty);
}

void SettingValue::destroy() noexcept {
  if (kind_ == Kind::String) {
    tree_release(s_);
  } else {
    destroy_container();
  }
  kind_ = Kind::Null;
  short_size_ = 0;
}

// Frees a container without recursion: nested containers are moved out into a work list before
// their parent is deleted, so a tree of any depth is freed in constant stack space.
void SettingValue::destroy_container() noexcept {
  std::vector<SettingValue> pending;
  SettingValue node(std::move(*this));
  for (;;) {
    auto detach = [&pending](SettingValue& child) {
      if (child.kind_ != Kind::List && child.kind_ != Kind::Map) return;
      try {
        pending.push_back(std::move(child));
      } catch (...) {
        // Out of memory for the work list: the child is then freed by its own destructor,
        // which recurses one level deeper. Nothing leaks.
      }
    };
    const std::size_t detached = pending.size();
    if (node.kind_ == Kind::List) {
      if (node.l_ != nullptr) {
        for (SettingValue& child : node.as_list()) {
          detach(child);
          child.~SettingValue();
        }
        tree_release(node.l_);
      }
    } else {
      // Each entry is taken apart in the one pass that detaches its containers.
      for (auto& [key, value] : *node.m_) {
        detach(value);
        value.~SettingValue();
        key.~Key();
      }
      node.m_->forget_entries();
      delete node.m_;
    }
    // The children are taken in the order they lie in memory, for the hardware to fetch ahead:
    // last to first where they were made bottom up (parsers finish a container after its
    // contents), first to last where they were made top down (conversions from Python).
    if (pending.size() - detached >= 2 && pending[detached].made_top_down()) {
      std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(detached), pending.end());
    }
    node.kind_ = Kind::Null;
    node.short_size_ = 0;
    if (pending.empty()) return;
    node = std::move(pending.back());
    pending.pop_back();
  }
}

bool operator==(const SettingValue& a, const SettingValue& b) {
  using Kind = SettingValue::Kind;
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return a.u_ == b.u_;
    case Kind::UInt:
      return a.u_ == b.u_;
    case Kind::Int:
      return a.i_ == b.i_;
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(a.d_) == std::bit_cast<std::uint64_t>(b.d_);
    case Kind::String:
      return a.as_string() == b.as_string();
    case Kind::List: {
      const auto x = a.as_list();
      const auto y = b.as_list();
      return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
    }
    case Kind::Map:
      return *a.m_ == *b.m_;
  }
  return false;
}

bool operator==(const Mapping& a, const Mapping& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

namespace {

using Entry = Mapping::Entry;
using Block = Mapping::Block;

Block::iterator lower_bound(Block& block, std::string_view key) noexcept {
  return std::lower_bound(block.begin(), block.end(), key,
                          [](const Entry& e, std::string_view k) { return key_less(e.first, k); });
}

// The block that holds key if any does: the last one whose bound is not above key.
std::size_t block_for(const std::vector<Key>& bounds, std::string_view key) noexcept {
  auto after =
      std::upper_bound(bounds.begin() + 1, bounds.end(), key,
                       [](std::string_view k, const Key& bound) { return key_less(k, bound); });
  return static_cast<std::size_t>(after - bounds.begin()) - 1;
}

}  // namespace

SettingValue* Mapping::find(std::string_view key) noexcept {
  Block& block = wide_ ? wide_->blocks[block_for(wide_->bounds, key)] : flat_;
  // Most groups hold a handful of entries: comparing lengths first, a scan settles most of them
  // without looking at a byte, where a search would compare the order of each probe.
  if (block.size() <= kScanMax) {
    for (Entry& entry : block) {
      if (same_bytes(entry.first, key)) return &entry.second;
    }
    return nullptr;
  }
  auto it = lower_bound(block, key);
  return it != block.end() && same_bytes(it->first, key) ? &it->second : nullptr;
}

const SettingValue* Mapping::find(std::string_view key) const noexcept {
  return const_cast<Mapping*>(this)->find(key);
}

template <typename Make>
SettingValue& Mapping::find_or_insert(std::string_view key, Make&& make) {
  // A key past the last one: dicts and files mostly come in key order, and an append needs no
  // search and moves no entry. A full last block is left full, and the key starts a new one.
  if (Block& last = *last_block(); !last.empty() && key_less(last.back().first, key)) {
    if (last.size() < kBlockMax) {
      last.emplace_back(Key(key), make());
      if (wide_) ++wide_->size;
      return last.back().second;
    }
    append_wide(Key(key), make());
    return wide_->blocks.back().back().second;
  }
  if (!wide_) {
    bool scanned = flat_.size() <= kScanMax;
    if (scanned) {
      for (Entry& entry : flat_) {
        if (same_bytes(entry.first, key)) return entry.second;
      }
    }
    auto it = lower_bound(flat_, key);
    if (!scanned && it != flat_.end() && same_bytes(it->first, key)) return it->second;
    if (flat_.size() < kBlockMax) return flat_.emplace(it, Key(key), make())->second;
    become_wide();
  }
  std::vector<Block>& blocks = wide_->blocks;
  std::vector<Key>& bounds = wide_->bounds;
  std::size_t index = block_for(bounds, key);
  auto it = lower_bound(blocks[index], key);
  if (it != blocks[index].end() && same_bytes(it->first, key)) return it->second;
  if (blocks[index].size() == kBlockMax) {
    make_room(index);  // either block that key may now belong to has room
    index = block_for(bounds, key);
    it = lower_bound(blocks[index], key);
  }
  SettingValue& placed = blocks[index].emplace(it, Key(key), make())->second;
  ++wide_->size;
  return placed;
}

SettingValue& Mapping::insert_or_assign(std::string_view key, SettingValue value) {
  bool is_new = false;
  SettingValue& slot = find_or_insert(key, [&] {
    is_new = true;
    return std::move(value);
  });
  if (!is_new) slot = std::move(value);
  return slot;
}

SettingValue& Mapping::find_or_insert_map(std::string_view key) {
  return find_or_insert(key, [] { return SettingValue::map(); });
}

// Makes room in the full block at index: entries spill into a neighbour that has room, else the
// block splits in halves. A neighbour counts when it takes an eighth of a block or more; spilling
// first keeps blocks about four fifths full instead of two thirds after random insertions.
// Everything that can fail to allocate happens before an entry moves.
void Mapping::make_room(std::size_t index) {
  std::vector<Block>& blocks = wide_->blocks;
  std::vector<Key>& bounds = wide_->bounds;
  Block& full = blocks[index];
  constexpr std::size_t kWorthIt = kBlockMax - kBlockMax / 8;
  if (index + 1 < blocks.size() && blocks[index + 1].size() <= kWorthIt) {
    Block& next = blocks[index + 1];
    auto moved = full.end() - static_cast<std::ptrdiff_t>((kBlockMax - next.size() + 1) / 2);
    bounds[index + 1] = moved->first;
    next.insert(next.begin(), std::make_move_iterator(moved), std::make_move_iterator(full.end()));
    full.erase(moved, full.end());
    return;
  }
  if (index > 0 && blocks[index - 1].size() <= kWorthIt) {
    Block& previous = blocks[index - 1];
    auto moved = full.begin() + static_cast<std::ptrdiff_t>((kBlockMax - previous.size() + 1) / 2);
    bounds[index] = moved->first;
    previous.insert(previous.end(), std::make_move_iterator(full.begin()),
                    std::make_move_iterator(moved));
    full.erase(full.begin(), moved);
    return;
  }
  blocks.reserve(blocks.size() + 1);  // full dangles from here on
  bounds.reserve(bounds.size() + 1);
  Block upper;
  upper.reserve(kBlockMax);
  Block& halved = blocks[index];
  auto middle = halved.begin() + kBlockMax / 2;
  Key bound = middle->first;
  upper.assign(std::make_move_iterator(middle), std::make_move_iterator(halved.end()));
  halved.erase(middle, halved.end());
  auto at = static_cast<std::ptrdiff_t>(index) + 1;
  blocks.insert(blocks.begin() + at, std::move(upper));
  bounds.insert(bounds.begin() + at, std::move(bound));
}

Mapping* Mapping::make(Mapping& from) {
  if (from.flat_.empty() && !from.wide_) return new Mapping();  // none of from's room
  if (from.wide_) {
    // Room that from borrows stays with from: the new mapping's blocks are tree memory.
    for (Block& block : from.wide_->blocks) block.own_room();
    return new Mapping(std::move(from));
  }
  Mapping* made = with_room(from.flat_.size());
  made->flat_.take_entries(from.flat_);
  return made;
}

// The mapping first, then its entries: one allocation to make, to free and to fetch instead of
// two, for every group of a tree.
Mapping* Mapping::with_room(std::size_t n) {
  static_assert(sizeof(Mapping) % alignof(Entry) == 0);
  void* block = tree_allocate(sizeof(Mapping) + n * sizeof(Entry));
  auto* made = ::new (block) Mapping();
  made->flat_ = Block(reinterpret_cast<Entry*>(static_cast<char*>(block) + sizeof(Mapping)), n);
  return made;
}

void Mapping::become_wide() {
  auto wide = std::make_unique<Wide>();
  wide->blocks.reserve(2);
  wide->bounds.reserve(2);
  wide->bounds.emplace_back();
  wide->size = flat_.size();
  wide->blocks.push_back(std::move(flat_));
  flat_ = Block();
  wide_ = std::move(wide);
}

// An empty last block, bounded by bound, with room for kBlockMax entries: the caller fills it
// at once. Nothing changes if it fails.
void Mapping::append_block(Key bound) {
  std::vector<Block>& blocks = wide_->blocks;
  Block fresh;
  fresh.reserve(kBlockMax);
  blocks.reserve(blocks.size() + 1);
  wide_->bounds.reserve(blocks.size() + 1);
  blocks.push_back(std::move(fresh));
  wide_->bounds.push_back(std::move(bound));
}

void Mapping::append_wide(Key key, SettingValue value) {
  if (!wide_) become_wide();
  // The block's first key bounds it if the entries prove sorted; finish() sets bounds else. The
  // new block has room reserved, so the entry goes in without allocating: no block is ever
  // left empty.
  if (wide_->blocks.back().size() >= kBlockMax) append_block(key);
  wide_->blocks.back().emplace_back(std::move(key), std::move(value));
  ++wide_->size;
}

bool Mapping::erase(std::string_view key) noexcept {
  Block& block = wide_ ? wide_->blocks[block_for(wide_->bounds, key)] : flat_;
  auto it = lower_bound(block, key);
  if (it == block.end() || it->first != key) return false;
  block.erase(it);
  if (wide_) {
    --wide_->size;
    std::size_t index = static_cast<std::size_t>(&block - wide_->blocks.data());
    if (block.empty()) {  // left short by a refill that ran out of memory
      auto at = static_cast<std::ptrdiff_t>(std::max<std::size_t>(index, 1));
      wide_->blocks.erase(wide_->blocks.begin() + static_cast<std::ptrdiff_t>(index));
      wide_->bounds.erase(wide_->bounds.begin() + at);
      if (wide_->blocks.size() == 1) rebalance(0);
    } else if (block.size() < kBlockMax / 4) {
      rebalance(index);
    }
  }
  return true;
}

// Refills the short block at index from a neighbour: the two merge when they fit in one block,
// else they share the entries evenly. Moving entries allocates nothing, as every block has room
// for kBlockMax; only the new bound of a shared pair may, and without it the block stays short.
void Mapping::rebalance(std::size_t index) noexcept {
  std::vector<Block>& blocks = wide_->blocks;
  if (blocks.size() == 1) {  // only after a split or a refill that ran out of memory
    flat_ = std::move(blocks.front());
    wide_.reset();
    return;
  }
  std::size_t left = index + 1 < blocks.size() ? index : index - 1;
  Block& low = blocks[left];
  Block& high = blocks[left + 1];
  Key& bound = wide_->bounds[left + 1];
  std::size_t total = low.size() + high.size();
  if (total <= kBlockMax) {
    low.insert(low.end(), std::make_move_iterator(high.begin()),
               std::make_move_iterator(high.end()));
    blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(left) + 1);
    wide_->bounds.erase(wide_->bounds.begin() + static_cast<std::ptrdiff_t>(left) + 1);
  } else {
    // Entries move towards the shorter block; high's new first key becomes the bound.
    auto moved = low.size() < high.size()
                     ? high.begin() + static_cast<std::ptrdiff_t>(high.size() - total / 2)
                     : low.begin() + static_cast<std::ptrdiff_t>(total / 2);
    try {
      bound = moved->first;
    } catch (...) {
      return;
    }
    if (low.size() < high.size()) {
      low.insert(low.end(), std::make_move_iterator(high.begin()), std::make_move_iterator(moved));
      high.erase(high.begin(), moved);
    } else {
      high.insert(high.begin(), std::make_move_iterator(moved), std::make_move_iterator(low.end()));
      low.erase(moved, low.end());
    }
  }
  if (blocks.size() == 1) {
    flat_ = std::move(blocks.front());
    wide_.reset();
  }
}

bool Mapping::is_strictly_ascending() const noexcept {
  auto it = begin();
  const auto stop = end();
  if (it == stop) return true;
  // Heads decide most pairs; only equal heads need the whole keys.
  std::uint64_t head = it->first.head();
  for (auto previous = it++; it != stop; previous = it++) {
    const std::uint64_t next = it->first.head();
    if (next < head || (next == head && !key_less(previous->first, it->first))) return false;
    head = next;
  }
  return true;
}

void Mapping::finish() {
  // Most sources (sorted JSON files, Python dicts built in order) are already sorted and unique.
  if (is_strictly_ascending()) return;
  if (!wide_ && flat_.size() <= kSmallSort) {
    sort_small();
  } else {
    sort_entries();
  }
}

// The entries' order first, then the entries are relocated into their places, repeated keys
// dropped: small groups are the common case and get no allocation.
void Mapping::sort_small() noexcept {
  const std::size_t n = flat_.size();
  std::uint8_t order[kSmallSort];  // order[r]: the entry that goes to place r
  // The keys' heads, two integers side by side, end most comparisons.
  std::uint64_t heads[kSmallSort];
  for (std::size_t i = 0; i < n; ++i) heads[i] = flat_[i].first.head();
  if (n <= kCountedSort) {
    // An entry's place by heads is the number of entries that go before it: those with smaller
    // heads, and those with equal heads taken earlier. Four times the comparisons of an
    // insertion sort, but no branch depends on the keys, where the sort mispredicts once per
    // entry on a random order. Wider groups come in orders that the insertion sort's branches
    // learn, or pay more for the comparisons than for the mispredictions.
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t place = 0;
      for (std::size_t j = 0; j < i; ++j) place += heads[j] <= heads[i];
      for (std::size_t j = i + 1; j < n; ++j) place += heads[j] < heads[i];
      order[place] = static_cast<std::uint8_t>(i);
    }
    // Runs of equal heads, rare and short, are then put in order by the whole keys, stably.
    for (std::size_t i = 1; i < n; ++i) {
      if (heads[order[i]] != heads[order[i - 1]]) continue;
      const std::uint8_t item = order[i];
      std::size_t j = i;
      for (; j > 0 && heads[order[j - 1]] == heads[item] &&
             key_less(flat_[item].first, flat_[order[j - 1]].first);
           --j) {
        order[j] = order[j - 1];
      }
      order[j] = item;
    }
  } else {
    // Insertion sort of positions.
    auto before = [&](std::size_t a, std::size_t b) {
      if (heads[a] != heads[b]) return heads[a] < heads[b];
      return key_less(flat_[a].first, flat_[b].first);
    };
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t j = i;
      for (; j > 0 && before(i, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = static_cast<std::uint8_t>(i);
    }
  }
  // An entry is relocated as its key and its value are moved, by copying its bytes: the moves
  // themselves, with their tests and their clearing of each source, cost more than the sort.
  static_assert(sizeof(Entry) == 32 && kSmallSort <= 32);
  alignas(Entry) unsigned char held[kSmallSort * sizeof(Entry)];
  for (std::size_t i = 0; i < n; ++i) {  // whole entries, without a call for a few bytes
    std::memcpy(held + i * sizeof(Entry), static_cast<const void*>(&flat_[i]), sizeof(Entry));
  }
  auto* from = reinterpret_cast<Entry*>(held);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    Entry& entry = from[order[i]];
    // Of a run of equal keys the last appended wins: it is the run's last entry.
    if (i + 1 < n && heads[order[i + 1]] == heads[order[i]] &&
        from[order[i + 1]].first == entry.first) {
      entry.~Entry();
      continue;
    }
    std::memcpy(static_cast<void*>(&flat_[kept++]), &entry, sizeof(Entry));
  }
  // What is left past the kept entries, if anything, are stale copies: made empty (all zero
  // bytes) before the block lets them go.
  if (kept != n) {
    std::memset(static_cast<void*>(flat_.data() + kept), 0, (n - kept) * sizeof(Entry));
    flat_.resize(kept);
  }
}

namespace {

// Sorting keys by eight-byte digits: an entry's digit at depth d is its key's bytes d to d+7 read
// as a big-endian number, zero-padded past the end, so digits order as the bytes do. Equal digits
// leave the question to the key lengths (a key that ends within the digit sorts before the longer
// ones, shorter first) and, when both keys go on, to the next digit. Entries are thus compared by
// two integers held side by side, and a key's bytes are read once per depth instead of once per
// comparison.
struct SortItem {
  std::uint64_t digit;
  std::uint64_t tail;  // the length rank in the top byte, then the entry's position
};

constexpr unsigned kRankShift = 56;
constexpr std::uint64_t kPositionMask = (std::uint64_t{1} << kRankShift) - 1;
constexpr std::uint64_t kGoesOn = 9;  // the rank of a key longer than depth + 8

SortItem sort_item(std::string_view key, std::size_t depth, std::uint64_t position) noexcept {
  unsigned char bytes[8] = {};
  std::uint64_t rank = kGoesOn;
  if (key.size() <= depth + 8) rank = key.size() > depth ? key.size() - depth : 0;
  if (key.size() > depth)
    std::memcpy(bytes, key.data() + depth, std::min<std::size_t>(8, key.size() - depth));
  std::uint64_t digit = 0;
  for (unsigned char byte : bytes) digit = digit << 8 | byte;
  return {digit, rank << kRankShift | position};
}

bool item_before(const SortItem& a, const SortItem& b) noexcept {
  return a.digit != b.digit ? a.digit < b.digit : a.tail < b.tail;
}

bool same_class(const SortItem& a, const SortItem& b) noexcept {
  return a.digit == b.digit && (a.tail >> kRankShift) == (b.tail >> kRankShift);
}

// A stable least-significant-byte-first radix sort on (digit, rank); the positions keep their
// input order among equals. Passes over a byte that all items share are skipped.
void radix_sort(SortItem* items, std::size_t n, std::vector<SortItem>& scratch) {
  scratch.resize(n);
  constexpr int kPasses = 9;  // the rank byte, then the digit from its lowest byte up
  auto byte_of = [](const SortItem& item, int pass) -> unsigned {
    if (pass == 0) return static_cast<unsigned>(item.tail >> kRankShift);
    return static_cast<unsigned>(item.digit >> (8 * (pass - 1))) & 0xff;
  };
  std::vector<std::size_t> counts(kPasses * 256);
  for (std::size_t i = 0; i < n; ++i) {
    for (int pass = 0; pass < kPasses; ++pass) ++counts[pass * 256 + byte_of(items[i], pass)];
  }
  SortItem* from = items;
  SortItem* to = scratch.data();
  for (int pass = 0; pass < kPasses; ++pass) {
    std::size_t* count = &counts[pass * 256];
    if (count[byte_of(from[0], pass)] == n) continue;
    std::size_t offset = 0;
    for (int b = 0; b < 256; ++b) offset += std::exchange(count[b], offset);
    for (std::size_t i = 0; i < n; ++i) to[count[byte_of(from[i], pass)]++] = from[i];
    std::swap(from, to);
  }
  if (from != items) std::copy(from, from + n, items);
}

}  // namespace

void Mapping::sort_entries() {
  const std::size_t n = size();
  // Positions: the index in flat_, or the block's index times kBlockMax plus the slot, which
  // grows with the entry's place in the sequence as the index would.
  constexpr unsigned kSlotBits = std::countr_zero(kBlockMax);
  static_assert(std::has_single_bit(kBlockMax));
  auto entry_at = [this](std::uint64_t position) -> Entry& {
    position &= kPositionMask;
    if (!wide_) return flat_[position];
    return wide_->blocks[position >> kSlotBits][position & (kBlockMax - 1)];
  };
  std::vector<SortItem> items;
  items.reserve(n);
  if (wide_) {
    for (std::size_t b = 0; b < wide_->blocks.size(); ++b) {
      const Block& block = wide_->blocks[b];
      for (std::size_t slot = 0; slot < block.size(); ++slot) {
        items.push_back(sort_item(block[slot].first, 0, b << kSlotBits | slot));
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) items.push_back(sort_item(flat_[i].first, 0, i));
  }

  // Sort the whole, then every run of keys that tie on all digits so far and go on, one digit
  // deeper. Every sort keeps equal keys in sequence order, so of duplicates the last appended
  // comes last.
  struct Range {
    std::size_t begin, end, depth;
  };
  std::vector<Range> pending{{0, n, 0}};
  std::vector<SortItem> scratch;
  while (!pending.empty()) {
    Range range = pending.back();
    pending.pop_back();
    SortItem* first = items.data() + range.begin;
    SortItem* last = items.data() + range.end;
    if (range.depth != 0) {
      for (SortItem* item = first; item != last; ++item) {
        *item = sort_item(entry_at(item->tail).first, range.depth, item->tail & kPositionMask);
      }
    }
    bool all_alike =
        std::all_of(first, last, [&](const SortItem& i) { return same_class(i, *first); });
    if (!all_alike) {
      if (last - first >= 1024) {
        radix_sort(first, static_cast<std::size_t>(last - first), scratch);
      } else {
        std::sort(first, last, item_before);
      }
    }
    for (SortItem* run = first; run != last;) {
      SortItem* run_end = run + 1;
      while (run_end != last && same_class(*run_end, *run)) ++run_end;
      if (run_end - run > 1 && (run->tail >> kRankShift) == kGoesOn) {
        pending.push_back({static_cast<std::size_t>(run - items.data()),
                           static_cast<std::size_t>(run_end - items.data()), range.depth + 8});
      }
      run = run_end;
    }
  }

  // Move every entry once into fresh blocks; a repeated key replaces the entry before it.
  std::vector<Block> out;
  std::vector<Key> bounds(1);
  out.emplace_back().reserve(std::min(n, kBlockMax));
  std::size_t kept = 0;
  for (const SortItem& item : items) {
    Entry& entry = entry_at(item.tail);
    Block* block = &out.back();
    if (!block->empty() && block->back().first == entry.first) {
      block->back() = std::move(entry);
      continue;
    }
    if (block->size() == kBlockMax) {
      bounds.push_back(entry.first);
      block = &out.emplace_back();
      block->reserve(kBlockMax);
    }
    block->push_back(std::move(entry));
    ++kept;
  }
  if (out.size() == 1) {
    flat_ = std::move(out.front());
    wide_.reset();
  } else {
    if (!wide_) wide_ = std::make_unique<Wide>();
    flat_ = Block();
    wide_->blocks = std::move(out);
    wide_->bounds = std::move(bounds);
    wide_->size = kept;
  }
}

}  // namespace orn
