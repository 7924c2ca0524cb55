// SettingValue: one JSON-like value of a settings tree. Sixteen bytes: a kind tag and a payload;
// strings, lists and mappings live behind one owning pointer so that moving a value is a copy of
// two words. Values are move-only: a tree is never copied behind the caller's back.
#pragma once

#include <cstdint>
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

  SettingValue() noexcept : kind_(Kind::Null), u_(0) {}
  SettingValue(SettingValue&& other) noexcept : kind_(other.kind_), u_(other.u_) {
    other.kind_ = Kind::Null;
  }
  SettingValue& operator=(SettingValue&& other) noexcept {
    SettingValue old(std::move(*this));  // destroyed last, after the move completes
    kind_ = std::exchange(other.kind_, Kind::Null);
    u_ = other.u_;
    return *this;
  }
  SettingValue(const SettingValue&) = delete;
  SettingValue& operator=(const SettingValue&) = delete;
  ~SettingValue() {
    if (kind_ >= Kind::String) destroy();
  }

  static SettingValue boolean(bool b) noexcept;
  static SettingValue uinteger(std::uint64_t n) noexcept;
  // Non-negative values are stored unsigned: the signed form is only for values below zero.
  static SettingValue integer(std::int64_t n) noexcept;
  // The caller guarantees a finite value.
  static SettingValue floating(double d) noexcept;
  static SettingValue string(std::string s);
  static SettingValue string(std::string_view s) { return string(std::string(s)); }
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
  const std::string& as_string() const noexcept { return *s_; }
  std::string& as_string() noexcept { return *s_; }
  const List& as_list() const noexcept { return *l_; }
  List& as_list() noexcept { return *l_; }
  const Mapping& as_map() const noexcept { return *m_; }
  Mapping& as_map() noexcept { return *m_; }

  // Structural equality; floats compare by bit pattern so -0.0 differs from 0.0.
  friend bool operator==(const SettingValue& a, const SettingValue& b);

 private:
  void destroy() noexcept;
  void destroy_container() noexcept;

  Kind kind_;
  union {
    bool b_;
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
    std::string* s_;
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
