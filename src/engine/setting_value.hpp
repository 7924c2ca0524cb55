// SettingValue: one JSON-like value of a settings tree, in sixteen bytes. Strings of up to 14
// bytes are stored inline (most settings strings are short); longer strings, lists and mappings
// live behind one owning pointer, so moving a value copies two words. Values are move-only: a
// tree is never copied behind the caller's back.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/tree_memory.hpp"

namespace orn {

class SettingValue;
class Mapping;
// The items of a list being built. A stored list keeps its items in one block of its own, behind
// its length, and is read as a span.
using List = std::vector<SettingValue, TreeAllocator<SettingValue>>;

// A mapping's key name, in sixteen bytes, so that an entry (key and value) takes thirty-two:
// names of up to 15 bytes, nearly all of them, sit inline; a longer name lives in one block of
// tree memory that holds its length too. Moving a key copies its sixteen bytes.
class alignas(8) Key {
 public:
  Key() noexcept = default;
  explicit Key(std::string_view name) {
    const std::size_t n = name.size();
    if (n > kInlineCapacity) {
      auto* block = static_cast<LongName*>(tree_allocate(offsetof(LongName, data) + n));
      block->size = n;
      std::memcpy(block->data, name.data(), n);
      bytes_[0] = kLong;
      std::memcpy(bytes_ + 8, &block, sizeof block);
      return;
    }
    // Overlapping fixed-size copies, never reading past the name: a call to memcpy of a
    // variable length would cost more than the copy.
    const char* p = name.data();
    char* out = bytes_ + 1;
    if (n >= 8) {
      std::memcpy(out, p, 8);
      std::memcpy(out + n - 8, p + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(out, p, 4);
      std::memcpy(out + n - 4, p + n - 4, 4);
    } else if (n > 0) {
      out[0] = p[0];
      out[n / 2] = p[n / 2];
      out[n - 1] = p[n - 1];
    }
    bytes_[0] = static_cast<char>(n);
  }
  Key(const Key& other) : Key(other.view()) {}
  Key& operator=(const Key& other) {
    if (this != &other) *this = Key(other.view());
    return *this;
  }
  Key(Key&& other) noexcept { take_bytes(other); }
  Key& operator=(Key&& other) noexcept {
    if (this == &other) return *this;
    release();
    take_bytes(other);
    return *this;
  }
  ~Key() { release(); }

  std::size_t size() const noexcept {
    return is_long() ? long_name()->size : static_cast<unsigned char>(bytes_[0]);
  }
  const char* data() const noexcept { return is_long() ? long_name()->data : bytes_ + 1; }
  std::string_view view() const noexcept {
    if (is_long()) return {long_name()->data, long_name()->size};
    return {bytes_ + 1, static_cast<unsigned char>(bytes_[0])};
  }
  // Implicit: searches, sorts and writers take keys as text.
  operator std::string_view() const noexcept { return view(); }
  bool empty() const noexcept { return bytes_[0] == 0; }
  // The name's first eight bytes as a big-endian number, zero past its end: heads order as the
  // names do, up to ties. An inline name's unused bytes are zero, and a long one has more than
  // eight, so the eight bytes are always there to read.
  std::uint64_t head() const noexcept {
    std::uint64_t word;
    std::memcpy(&word, data(), sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }

  friend bool operator==(const Key& a, const Key& b) noexcept {
    // Inline names are equal exactly when their sixteen bytes are: the unused ones are zero.
    if (!a.is_long() && !b.is_long()) return std::memcmp(a.bytes_, b.bytes_, sizeof a.bytes_) == 0;
    return a.view() == b.view();
  }
  friend bool operator==(const Key& a, std::string_view b) noexcept { return a.view() == b; }
  friend auto operator<=>(const Key& a, const Key& b) noexcept { return a.view() <=> b.view(); }

 private:
  struct LongName {
    std::size_t size;
    char data[1];  // size bytes follow
  };
  static constexpr std::size_t kInlineCapacity = 15;
  static constexpr char kLong = static_cast<char>(0xff);

  bool is_long() const noexcept { return bytes_[0] == kLong; }
  LongName* long_name() const noexcept {
    LongName* block;
    std::memcpy(&block, bytes_ + 8, sizeof block);
    return block;
  }
  void release() noexcept {
    if (is_long()) tree_release(long_name());
  }
  // The source is left empty with all its bytes zero, as head() needs, by one whole store.
  void take_bytes(Key& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
  }

  // Byte 0: the length of an inline name, whose bytes follow, or kLong; then the block's
  // address in bytes 8 to 15.
  char bytes_[16] = {};
};

class SettingValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, List, Map };

  SettingValue() noexcept : SettingValue(0, 0) {}
  SettingValue(SettingValue&& other) noexcept { take_bytes(other); }
  SettingValue& operator=(SettingValue&& other) noexcept {
    if (this == &other) return *this;
    SettingValue old(std::move(*this));  // destroyed last, after the move completes
    take_bytes(other);
    return *this;
  }
  SettingValue(const SettingValue&) = delete;
  SettingValue& operator=(const SettingValue&) = delete;
  ~SettingValue() {
    if (kind_ >= Kind::String && short_size_ == kLong) destroy();
  }

  // Inline, each value written as one whole word: parsers and converters make scalars by the
  // million and move them on at once (see Word).
  static SettingValue boolean(bool b) noexcept { return {Kind::Bool, b ? 1u : 0u}; }
  static SettingValue uinteger(std::uint64_t n) noexcept { return {Kind::UInt, n}; }
  // Non-negative values are stored unsigned: the signed form is only for values below zero.
  static SettingValue integer(std::int64_t n) noexcept {
    return {n >= 0 ? Kind::UInt : Kind::Int, static_cast<std::uint64_t>(n)};
  }
  // The caller guarantees a finite value.
  static SettingValue floating(double d) noexcept {
    return {Kind::Float, std::bit_cast<std::uint64_t>(d)};
  }
  static SettingValue string(std::string_view s);
  // Moves the items out, leaving them null; only the list's own block is allocated.
  static SettingValue list(std::span<SettingValue> items);
  static SettingValue list(List items = {}) { return list(std::span<SettingValue>(items)); }
  static SettingValue map(Mapping m);
  // Moves source's entries into a new mapping; source is left empty, with its room kept.
  static SettingValue map_from(Mapping& source);
  // An empty mapping with room for n entries (at most Mapping::kBlockMax) in its own
  // allocation, to be filled with append_slot and finished: made before the values it will
  // hold, it lies in memory before them, in the order the writers read a tree.
  static SettingValue map_with_room(std::size_t n);
  static SettingValue map();

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::Null; }
  bool is_map() const noexcept { return kind_ == Kind::Map; }
  bool is_list() const noexcept { return kind_ == Kind::List; }
  bool is_string() const noexcept { return kind_ == Kind::String; }

  bool as_bool() const noexcept { return u_ != 0; }
  std::uint64_t as_uint() const noexcept { return u_; }
  std::int64_t as_int() const noexcept { return i_; }
  double as_double() const noexcept { return d_; }
  std::string_view as_string() const noexcept {
    if (short_size_ != kLong) return {reinterpret_cast<const char*>(this) + 2, short_size_};
    return {s_->data, s_->size};
  }
  std::span<const SettingValue> as_list() const noexcept {
    if (l_ == nullptr) return {};
    return {l_->items(), l_->size};
  }
  std::span<SettingValue> as_list() noexcept {
    if (l_ == nullptr) return {};
    return {l_->items(), l_->size};
  }
  const Mapping& as_map() const noexcept { return *m_; }
  Mapping& as_map() noexcept { return *m_; }
  // The heap block behind a long string or a container, or null: walks fetch it ahead of use.
  const void* heap_block() const noexcept {
    if (kind_ < Kind::String || short_size_ != kLong) return nullptr;
    if (kind_ == Kind::String) return s_;
    return kind_ == Kind::List ? static_cast<const void*>(l_) : static_cast<const void*>(m_);
  }

  // Structural equality; floats compare by bit pattern so -0.0 differs from 0.0.
  friend bool operator==(const SettingValue& a, const SettingValue& b);

 private:
  struct LongString {
    std::size_t size;
    char data[1];  // size bytes follow
  };
  // A non-empty list: its length, then its items (an empty list has no block). The header takes
  // sixteen bytes, so that no item straddles two cache lines.
  struct alignas(16) ListBlock {
    std::size_t size;
    SettingValue* items() noexcept {
      return reinterpret_cast<SettingValue*>(reinterpret_cast<char*>(this) + sizeof(ListBlock));
    }
  };
  static constexpr std::uint8_t kLong = 0xff;
  static constexpr std::size_t kInlineCapacity = 14;

  void destroy() noexcept;
  void destroy_container() noexcept;
  // Byte 2 of a mapping made by map_with_room, before its values: the blocks of its subtree
  // follow its own in memory, where a tree made bottom up has them before.
  static constexpr std::uint8_t kTopDown = 1;
  bool made_top_down() const noexcept {
    return kind_ == Kind::Map && reinterpret_cast<const unsigned char*>(this)[2] == kTopDown;
  }
  // A value's sixteen bytes, read and written whole. Values are copied by the million right after
  // they are made; a copy that reads bytes written by narrower stores waits a dozen cycles or
  // more for them (the stores cannot be forwarded to the wider load), so every value is written
  // whole and copied whole. A null value is all zero bytes.
  using Word = std::uint64_t __attribute__((vector_size(16)));
  static_assert(sizeof(Word) == 16 && static_cast<int>(Kind::Null) == 0);
  static constexpr std::uint64_t head(Kind kind, std::uint8_t short_size = 0,
                                      std::uint8_t mark = 0) noexcept {
    const std::uint64_t low = static_cast<std::uint64_t>(kind) | std::uint64_t{short_size} << 8 |
                              std::uint64_t{mark} << 16;
    return std::endian::native == std::endian::little ? low : __builtin_bswap64(low);
  }
  // Bytes 0 to 7 as `first` holds them in memory order, then the payload.
  SettingValue(std::uint64_t first, std::uint64_t payload) noexcept {
    const Word word = {first, payload};
    std::memcpy(static_cast<void*>(this), &word, sizeof word);
  }
  SettingValue(Kind kind, std::uint64_t payload) noexcept : SettingValue(head(kind), payload) {}
  void take_bytes(SettingValue& other) noexcept {
    Word word;
    std::memcpy(&word, static_cast<const void*>(&other), sizeof word);
    std::memcpy(static_cast<void*>(this), &word, sizeof word);
    const Word null = {0, 0};
    std::memcpy(static_cast<void*>(&other), &null, sizeof null);
  }

  // Byte 0 is the kind. A string keeps its length in byte 1 (kLong when it lives behind s_) and,
  // when short, its bytes from byte 2 on, overlapping the payload word. Containers and long
  // strings always have short_size_ == kLong, so the destructor tests two bytes only.
  Kind kind_;
  std::uint8_t short_size_;
  [[maybe_unused]] char inline_[6];  // reached through the object's bytes, never by name
  union {
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
    LongString* s_;
    ListBlock* l_;
    Mapping* m_;
  };
};

// The entries of a mapping, or of one of its blocks, in a vector of their own: a Block. Its room
// is tree memory of its own, or room it borrows and never frees: a mapping that a tree holds
// keeps its entries in the room right behind itself, the two in one allocation (see
// SettingValue::map), and such room lives as long as that mapping does.
//
// Entries are relocated by copying their bytes, as moving a key or a value already is, and a
// relocated source is left all zero bytes: an empty key and a null value, with nothing to free.
class MappingBlock {
 public:
  using Entry = std::pair<Key, SettingValue>;
  using iterator = Entry*;
  using const_iterator = const Entry*;

  MappingBlock() noexcept = default;
  MappingBlock(Entry* room, std::size_t capacity) noexcept
      : data_(room), capacity_(static_cast<std::uint32_t>(capacity)), borrowed_(true) {}
  MappingBlock(MappingBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        borrowed_(std::exchange(other.borrowed_, false)) {}
  MappingBlock& operator=(MappingBlock&& other) noexcept {
    if (this != &other) {
      this->~MappingBlock();
      new (this) MappingBlock(std::move(other));
    }
    return *this;
  }
  ~MappingBlock() {
    clear();
    if (!borrowed_ && data_ != nullptr) tree_release(data_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  Entry* data() noexcept { return data_; }
  const Entry* data() const noexcept { return data_; }
  Entry* begin() noexcept { return data_; }
  Entry* end() noexcept { return data_ + size_; }
  const Entry* begin() const noexcept { return data_; }
  const Entry* end() const noexcept { return data_ + size_; }
  Entry& operator[](std::size_t i) noexcept { return data_[i]; }
  const Entry& operator[](std::size_t i) const noexcept { return data_[i]; }
  Entry& back() noexcept { return data_[size_ - 1]; }
  const Entry& back() const noexcept { return data_[size_ - 1]; }

  void reserve(std::size_t n) {
    if (n > capacity_) regrow(n);
  }
  template <typename... Args>
  Entry& emplace_back(Args&&... args) {
    if (size_ == capacity_) grow();
    Entry* made = new (data_ + size_) Entry(std::forward<Args>(args)...);
    ++size_;
    return *made;
  }
  void push_back(Entry&& entry) { emplace_back(std::move(entry)); }
  // The entry is made before anything moves, so a failure changes nothing.
  template <typename... Args>
  Entry* emplace(Entry* at, Args&&... args) {
    Entry made(std::forward<Args>(args)...);
    const std::size_t index = static_cast<std::size_t>(at - data_);
    if (size_ == capacity_) grow();
    Entry* slot = open(index, 1);
    relocate(slot, &made, 1);
    return slot;
  }
  // Moves [first, last), entries of another block, in before `at`; they are left empty.
  void insert(Entry* at, std::move_iterator<Entry*> first, std::move_iterator<Entry*> last) {
    const std::size_t n = static_cast<std::size_t>(last.base() - first.base());
    if (n == 0) return;
    const std::size_t index = static_cast<std::size_t>(at - data_);
    reserve(size_ + n);
    relocate(open(index, n), first.base(), n);
  }
  void assign(std::move_iterator<Entry*> first, std::move_iterator<Entry*> last) {
    clear();
    insert(data_, first, last);
  }
  Entry* erase(Entry* at) noexcept { return erase(at, at + 1); }
  Entry* erase(Entry* first, Entry* last) noexcept {
    if (first == last) return first;  // also when there is no room at all
    for (Entry* entry = first; entry != last; ++entry) entry->~Entry();
    const std::size_t after = static_cast<std::size_t>(end() - last);
    std::memmove(static_cast<void*>(first), static_cast<const void*>(last), after * sizeof(Entry));
    size_ -= static_cast<std::uint32_t>(last - first);
    return first;
  }
  // Only ever shrinks.
  void resize(std::size_t n) noexcept { erase(data_ + n, end()); }
  void clear() noexcept { erase(begin(), end()); }
  // Lets go of entries already destroyed, without destroying them again.
  void forget_entries() noexcept { size_ = 0; }
  // Whether it has entries, or room of its own in tree memory.
  bool holds_tree_memory() const noexcept { return size_ != 0 || (!borrowed_ && data_ != nullptr); }
  // Moves the entries into tree memory of the block's own if its room is borrowed.
  void own_room() {
    if (borrowed_) regrow(capacity_);
  }
  // Relocates every entry of from, an other block, into this empty one, which has room for
  // them; from is left empty and keeps its room.
  void take_entries(MappingBlock& from) noexcept {
    // Most groups are a few entries, too few to pay for a call: those are copied whole, one by
    // one (written out, as the compiler makes a call of a loop).
    auto copy = [&](std::size_t i) {
      std::memcpy(static_cast<void*>(data_ + i), static_cast<const void*>(from.data_ + i),
                  sizeof(Entry));
    };
    switch (from.size_) {
      case 4:
        copy(3);
        [[fallthrough]];
      case 3:
        copy(2);
        [[fallthrough]];
      case 2:
        copy(1);
        [[fallthrough]];
      case 1:
        copy(0);
        [[fallthrough]];
      case 0:
        break;
      default:
        std::memcpy(static_cast<void*>(data_), static_cast<const void*>(from.data_),
                    from.size_ * sizeof(Entry));
    }
    size_ = std::exchange(from.size_, 0);
  }

 private:
  static void relocate(Entry* to, Entry* from, std::size_t n) noexcept {
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), n * sizeof(Entry));
    std::memset(static_cast<void*>(from), 0, n * sizeof(Entry));
  }
  // Shifts the entries from index on up by n, leaving a gap of stale bytes to be written over.
  Entry* open(std::size_t index, std::size_t n) noexcept {
    Entry* at = data_ + index;
    std::memmove(static_cast<void*>(at + n), static_cast<const void*>(at),
                 (size_ - index) * sizeof(Entry));
    size_ += static_cast<std::uint32_t>(n);
    return at;
  }
  void grow() { regrow(size_ == 0 ? 4 : 2 * static_cast<std::size_t>(size_)); }
  void regrow(std::size_t capacity) {
    auto* room = static_cast<Entry*>(tree_allocate(capacity * sizeof(Entry)));
    if (size_ != 0)
      std::memcpy(static_cast<void*>(room), static_cast<const void*>(data_), size_ * sizeof(Entry));
    if (!borrowed_ && data_ != nullptr) tree_release(data_);
    data_ = room;
    capacity_ = static_cast<std::uint32_t>(capacity);
    borrowed_ = false;
  }

  Entry* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
  bool borrowed_ = false;
};

// A mapping: unique string keys in ascending byte order. Up to kBlockMax entries sit in one
// sorted run, as small as a mapping can be; a wider mapping keeps its entries in a row of
// sorted blocks of at most kBlockMax entries, found by binary search over one bound per block,
// so that an insertion or a removal moves the entries of one or two blocks, not of the whole
// mapping.
// Reads never reorganise anything: a const mapping may be read from several threads at once.
// Parsers and converters append entries in any order and call finish() once; single edits keep
// the order.
class Mapping : public TreeAllocated {
 public:
  using Entry = MappingBlock::Entry;
  using Block = MappingBlock;
  // 128 entries of 32 bytes: a split or a merge moves at most 4 KB, and the row of blocks stays
  // short enough that its headers move cheaply when a block comes or goes.
  static constexpr std::size_t kBlockMax = 128;
  // finish() sorts a single run up to this size where it stands, with no allocation.
  static constexpr std::size_t kSmallSort = 32;

  // Forward iteration in key order, across blocks.
  template <bool kIsConst>
  class Iterator {
    using BlockPtr = std::conditional_t<kIsConst, const Block*, Block*>;
    using EntryPtr = std::conditional_t<kIsConst, const Entry*, Entry*>;

   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = EntryPtr;
    using reference = std::conditional_t<kIsConst, const Entry&, Entry&>;

    Iterator() noexcept = default;
    reference operator*() const noexcept { return *entry_; }
    pointer operator->() const noexcept { return entry_; }
    Iterator& operator++() noexcept {
      // Blocks are never empty, so only the last one's end is ever reached.
      if (++entry_ == stop_ && block_ != last_) {
        ++block_;
        entry_ = block_->data();
        stop_ = entry_ + block_->size();
      }
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
      return a.entry_ == b.entry_;
    }

   private:
    friend class Mapping;
    Iterator(BlockPtr block, BlockPtr last, EntryPtr entry) noexcept
        : block_(block), last_(last), entry_(entry), stop_(block->data() + block->size()) {}
    BlockPtr block_ = nullptr;
    BlockPtr last_ = nullptr;
    EntryPtr entry_ = nullptr;
    EntryPtr stop_ = nullptr;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  Mapping() = default;
  Mapping(Mapping&&) noexcept = default;
  Mapping& operator=(Mapping&&) noexcept = default;

  std::size_t size() const noexcept { return wide_ ? wide_->size : flat_.size(); }
  bool empty() const noexcept { return size() == 0; }
  const_iterator begin() const noexcept {
    const Block* first = first_block();
    return {first, last_block(), first->data()};
  }
  const_iterator end() const noexcept {
    const Block* last = last_block();
    return {last, last, last->data() + last->size()};
  }
  iterator begin() noexcept {
    Block* first = first_block();
    return {first, last_block(), first->data()};
  }
  iterator end() noexcept {
    Block* last = last_block();
    return {last, last, last->data() + last->size()};
  }
  // A hint for the builder; only a mapping that stays in one block reserves room.
  void reserve(std::size_t n) {
    if (!wide_ && n <= kBlockMax) flat_.reserve(n);
  }

  const SettingValue* find(std::string_view key) const noexcept;
  SettingValue* find(std::string_view key) noexcept;
  // Stores value under key, replacing an existing entry whole.
  SettingValue& insert_or_assign(std::string_view key, SettingValue value);
  // The entry under key, inserting an empty mapping when it is absent.
  SettingValue& find_or_insert_map(std::string_view key);
  bool erase(std::string_view key) noexcept;
  void clear() noexcept {
    flat_.clear();
    wide_.reset();
  }

  // Builder interface: append in any order, then finish() sorts once; of equal keys the entry
  // appended last wins. Until finish() only append, size and iteration are meaningful. Keys
  // appended in strictly ascending order make a finished mapping without finish().
  void append(Key key, SettingValue value) {
    if (!wide_ && flat_.size() < kBlockMax) {
      flat_.emplace_back(std::move(key), std::move(value));
    } else {
      append_wide(std::move(key), std::move(value));
    }
  }
  // The same for a key that is not a string yet: its bytes are copied once, into the entry.
  void append_copy(std::string_view key, SettingValue&& value) {
    if (!wide_ && flat_.size() < kBlockMax) {
      flat_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                         std::forward_as_tuple(std::move(value)));
    } else {
      append_wide(Key(key), std::move(value));
    }
  }
  // Appends key with a null value, to be filled in through the reference while nothing else is
  // appended.
  SettingValue& append_slot(std::string_view key) {
    if (!wide_ && flat_.size() < kBlockMax) {
      return flat_
          .emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                        std::forward_as_tuple())
          .second;
    }
    append_wide(Key(key), SettingValue());
    return wide_->blocks.back().back().second;
  }
  void finish();

  // A mapping for a tree, of from's entries, in one allocation with them when they fit one
  // block: from is left empty and keeps its room, for the next mapping it builds. Moving such a
  // mapping's entries out into another mapping (as SettingsEngine::clear does, to free them once
  // its locks are released) leaves that mapping borrowing the first one's room, which must then
  // outlive it.
  static Mapping* make(Mapping& from);
  // An empty mapping with room for n entries right behind it, in one allocation.
  static Mapping* with_room(std::size_t n);
  // Whether it has entries, or room of its own in tree memory: an empty mapping in borrowed
  // room holds none.
  bool holds_tree_memory() const noexcept { return wide_ || flat_.holds_tree_memory(); }
  // For a tree's destruction, which has destroyed every entry itself.
  void forget_entries() noexcept {
    flat_.forget_entries();
    if (wide_) {
      for (Block& block : wide_->blocks) block.forget_entries();
    }
  }
  // For a builder that makes many mappings: this empty mapping puts its entries in room of the
  // caller's, which outlives it, until they need more.
  void lend_room(Entry* room, std::size_t capacity) noexcept {
    wide_.reset();
    flat_ = Block(room, capacity);
  }

  friend bool operator==(const Mapping& a, const Mapping& b);

 private:
  // Every block is non-empty, holds at most kBlockMax entries and has room for kBlockMax, so
  // that merging two blocks never allocates; there are always at least two. bounds[i] separates
  // block i from the one before: every key before it is smaller, no key from it on is. A bound
  // stays valid when the first entry of its block goes, so only splits and refills renew them;
  // searching the bounds, kept side by side, touches no block but the one that is searched.
  // bounds[0] is unused.
  struct Wide : TreeAllocated {
    std::vector<Block> blocks;
    std::vector<Key> bounds;
    std::size_t size = 0;
  };

  const Block* first_block() const noexcept { return wide_ ? wide_->blocks.data() : &flat_; }
  const Block* last_block() const noexcept { return wide_ ? &wide_->blocks.back() : &flat_; }
  Block* first_block() noexcept { return wide_ ? wide_->blocks.data() : &flat_; }
  Block* last_block() noexcept { return wide_ ? &wide_->blocks.back() : &flat_; }

  template <typename Make>
  SettingValue& find_or_insert(std::string_view key, Make&& make);
  void make_room(std::size_t index);
  void become_wide();
  void append_block(Key bound);
  void append_wide(Key key, SettingValue value);
  void rebalance(std::size_t index) noexcept;
  bool is_strictly_ascending() const noexcept;
  static constexpr std::size_t kCountedSort = 12;  // sort_small counts places up to this width
  static constexpr std::size_t kScanMax = 8;       // find() scans blocks this small
  void sort_small() noexcept;
  void sort_entries();

  Block flat_;  // the whole mapping while wide_ is null, else empty
  std::unique_ptr<Wide> wide_;
};

}  // namespace orn
