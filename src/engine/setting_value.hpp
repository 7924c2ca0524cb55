// SettingValue: one JSON-like value of a settings tree, in sixteen bytes. Strings of up to 14
// bytes are stored inline (most settings strings are short); longer strings, lists and mappings
// live behind one owning pointer, so moving a value copies two words. Values are move-only: a
// tree is never copied behind the caller's back.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orn {

class SettingValue;
class Mapping;
using List = std::vector<SettingValue>;

class SettingValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, List, Map };

  SettingValue() noexcept : kind_(Kind::Null), short_size_(0), inline_{}, u_(0) {}
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

  static SettingValue boolean(bool b) noexcept;
  static SettingValue uinteger(std::uint64_t n) noexcept;
  // Non-negative values are stored unsigned: the signed form is only for values below zero.
  static SettingValue integer(std::int64_t n) noexcept;
  // The caller guarantees a finite value.
  static SettingValue floating(double d) noexcept;
  static SettingValue string(std::string_view s);
  static SettingValue list(List items = {});
  static SettingValue map(Mapping m);
  static SettingValue map();

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::Null; }
  bool is_map() const noexcept { return kind_ == Kind::Map; }
  bool is_list() const noexcept { return kind_ == Kind::List; }
  bool is_string() const noexcept { return kind_ == Kind::String; }

  bool as_bool() const noexcept { return b_; }
  std::uint64_t as_uint() const noexcept { return u_; }
  std::int64_t as_int() const noexcept { return i_; }
  double as_double() const noexcept { return d_; }
  std::string_view as_string() const noexcept {
    if (short_size_ != kLong) return {reinterpret_cast<const char*>(this) + 2, short_size_};
    return {s_->data, s_->size};
  }
  const List& as_list() const noexcept { return *l_; }
  List& as_list() noexcept { return *l_; }
  const Mapping& as_map() const noexcept { return *m_; }
  Mapping& as_map() noexcept { return *m_; }

  // Structural equality; floats compare by bit pattern so -0.0 differs from 0.0.
  friend bool operator==(const SettingValue& a, const SettingValue& b);

 private:
  struct LongString {
    std::size_t size;
    char data[1];  // size bytes follow
  };
  static constexpr std::uint8_t kLong = 0xff;
  static constexpr std::size_t kInlineCapacity = 14;

  void destroy() noexcept;
  void destroy_container() noexcept;
  void take_bytes(SettingValue& other) noexcept {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(SettingValue));
    other.kind_ = Kind::Null;
    other.short_size_ = 0;
  }

  // Byte 0 is the kind. A string keeps its length in byte 1 (kLong when it lives behind s_) and,
  // when short, its bytes from byte 2 on, overlapping the payload word. Containers and long
  // strings always have short_size_ == kLong, so the destructor tests two bytes only.
  Kind kind_;
  std::uint8_t short_size_;
  char inline_[6];
  union {
    bool b_;
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
    LongString* s_;
    List* l_;
    Mapping* m_;
  };
};

// A mapping: unique string keys in ascending byte order, looked up by binary search. Parsers and
// converters append entries in any order and call finish() once; single edits keep the order.
class Mapping {
 public:
  using Entry = std::pair<std::string, SettingValue>;
  using const_iterator = std::vector<Entry>::const_iterator;

  Mapping() = default;
  Mapping(Mapping&&) noexcept = default;
  Mapping& operator=(Mapping&&) noexcept = default;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() const noexcept { return entries_.cbegin(); }
  auto end() const noexcept { return entries_.cend(); }
  auto begin() noexcept { return entries_.begin(); }
  auto end() noexcept { return entries_.end(); }
  void reserve(std::size_t n) { entries_.reserve(n); }

  const SettingValue* find(std::string_view key) const noexcept;
  SettingValue* find(std::string_view key) noexcept;
  // Stores value under key, replacing an existing entry whole.
  SettingValue& insert_or_assign(std::string_view key, SettingValue value);
  // The entry under key, inserting an empty mapping when it is absent.
  SettingValue& find_or_insert_map(std::string_view key);
  bool erase(std::string_view key) noexcept;
  void clear() noexcept { entries_.clear(); }

  // Builder interface: append in any order, then finish() sorts once; of equal keys the entry
  // appended last wins.
  void append(std::string key, SettingValue value) {
    entries_.emplace_back(std::move(key), std::move(value));
  }
  void finish();

  friend bool operator==(const Mapping& a, const Mapping& b);

 private:
  std::vector<Entry>::iterator lower_bound(std::string_view key) noexcept;
  std::vector<Entry> entries_;
};

}  // namespace orn
