#include "engine/setting_value.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace orn {

SettingValue SettingValue::boolean(bool b) noexcept {
  SettingValue v;
  v.kind_ = Kind::Bool;
  v.b_ = b;
  return v;
}

SettingValue SettingValue::uinteger(std::uint64_t n) noexcept {
  SettingValue v;
  v.kind_ = Kind::UInt;
  v.u_ = n;
  return v;
}

SettingValue SettingValue::integer(std::int64_t n) noexcept {
  if (n >= 0) return uinteger(static_cast<std::uint64_t>(n));
  SettingValue v;
  v.kind_ = Kind::Int;
  v.i_ = n;
  return v;
}

SettingValue SettingValue::floating(double d) noexcept {
  SettingValue v;
  v.kind_ = Kind::Float;
  v.d_ = d;
  return v;
}

SettingValue SettingValue::string(std::string_view s) {
  static_assert(sizeof(SettingValue) == 16);
  SettingValue v;
  if (s.size() <= kInlineCapacity) {
    // The inline bytes run on from inline_ into the payload word.
    std::memcpy(reinterpret_cast<char*>(&v) + 2, s.data(), s.size());
    v.short_size_ = static_cast<std::uint8_t>(s.size());
  } else {
    void* block = ::operator new(offsetof(LongString, data) + s.size());
    v.s_ = static_cast<LongString*>(block);
    v.s_->size = s.size();
    std::memcpy(v.s_->data, s.data(), s.size());
    v.short_size_ = kLong;
  }
  v.kind_ = Kind::String;
  return v;
}

SettingValue SettingValue::list(List items) {
  SettingValue v;
  v.l_ = new List(std::move(items));
  v.kind_ = Kind::List;
  v.short_size_ = kLong;
  return v;
}

SettingValue SettingValue::map(Mapping m) {
  SettingValue v;
  v.m_ = new Mapping(std::move(m));
  v.kind_ = Kind::Map;
  v.short_size_ = kLong;
  return v;
}

SettingValue SettingValue::map() { return map(Mapping()); }

void SettingValue::destroy() noexcept {
  if (kind_ == Kind::String) {
    ::operator delete(s_);
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
    if (node.kind_ == Kind::List) {
      for (SettingValue& child : *node.l_) detach(child);
      delete node.l_;
    } else {
      for (auto& entry : *node.m_) detach(entry.second);
      delete node.m_;
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
      return a.b_ == b.b_;
    case Kind::UInt:
      return a.u_ == b.u_;
    case Kind::Int:
      return a.i_ == b.i_;
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(a.d_) == std::bit_cast<std::uint64_t>(b.d_);
    case Kind::String:
      return a.as_string() == b.as_string();
    case Kind::List:
      return *a.l_ == *b.l_;
    case Kind::Map:
      return *a.m_ == *b.m_;
  }
  return false;
}

bool operator==(const Mapping& a, const Mapping& b) { return a.entries_ == b.entries_; }

std::vector<Mapping::Entry>::iterator Mapping::lower_bound(std::string_view key) noexcept {
  return std::lower_bound(entries_.begin(), entries_.end(), key,
                          [](const Entry& e, std::string_view k) { return e.first < k; });
}

SettingValue* Mapping::find(std::string_view key) noexcept {
  auto it = lower_bound(key);
  return it != entries_.end() && it->first == key ? &it->second : nullptr;
}

const SettingValue* Mapping::find(std::string_view key) const noexcept {
  return const_cast<Mapping*>(this)->find(key);
}

SettingValue& Mapping::insert_or_assign(std::string_view key, SettingValue value) {
  auto it = lower_bound(key);
  if (it != entries_.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  return entries_.emplace(it, std::string(key), std::move(value))->second;
}

SettingValue& Mapping::find_or_insert_map(std::string_view key) {
  auto it = lower_bound(key);
  if (it != entries_.end() && it->first == key) return it->second;
  return entries_.emplace(it, std::string(key), SettingValue::map())->second;
}

bool Mapping::erase(std::string_view key) noexcept {
  auto it = lower_bound(key);
  if (it == entries_.end() || it->first != key) return false;
  entries_.erase(it);
  return true;
}

void Mapping::finish() {
  // Most sources (sorted JSON files, Python dicts built in order) are already sorted and unique.
  auto strictly_before = [](const Entry& a, const Entry& b) { return a.first < b.first; };
  auto first_out_of_order =
      std::adjacent_find(entries_.begin(), entries_.end(),
                         [&](const Entry& a, const Entry& b) { return !strictly_before(a, b); });
  if (first_out_of_order == entries_.end()) return;
  // Builders that order their entries themselves leave only repeated keys to resolve.
  if (!std::is_sorted(first_out_of_order, entries_.end(), strictly_before)) {
    std::stable_sort(entries_.begin(), entries_.end(), strictly_before);
  }
  // Of a run of equal keys the last appended wins: move it to the run's first slot.
  auto out = entries_.begin();
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto run_end =
        std::find_if(it, entries_.end(), [&](const Entry& e) { return e.first != it->first; });
    if (out != run_end - 1) *out = std::move(*(run_end - 1));
    ++out;
    it = run_end;
  }
  entries_.erase(out, entries_.end());
}

}  // namespace orn
