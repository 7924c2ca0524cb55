// A reader-writer guard that never waits. Every call into the engine holds the interpreter lock
// for its whole work, so a guard that blocked could wait forever for a holder that needs that
// lock to finish (a custom driver's write calling back into the engine, a finalizer running during
// a conversion). A guard that cannot be taken at once refuses, and the call fails cleanly.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "engine/result.hpp"

namespace orn {

class RwGuard {
 public:
  bool try_lock_shared() noexcept {
    std::int64_t state = state_.load(std::memory_order_relaxed);
    while (state >= 0) {
      if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire)) return true;
    }
    return false;
  }
  void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  bool try_lock() noexcept {
    std::int64_t expected = 0;
    return state_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire);
  }
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::int64_t kWriter = -1;
  std::atomic<std::int64_t> state_{0};  // > 0: that many readers; -1 (all bits set): one writer
};

// Holds a guard in shared or exclusive mode until destroyed.
class Held {
 public:
  static Result<Held> shared(RwGuard& guard, const char* busy) {
    if (!guard.try_lock_shared()) return runtime_error(busy);
    return Held(&guard, false);
  }
  static Result<Held> exclusive(RwGuard& guard, const char* busy) {
    if (!guard.try_lock()) return runtime_error(busy);
    return Held(&guard, true);
  }
  Held(Held&& other) noexcept
      : guard_(std::exchange(other.guard_, nullptr)), exclusive_(other.exclusive_) {}
  Held& operator=(Held&&) = delete;
  ~Held() {
    if (guard_ == nullptr) return;
    if (exclusive_) {
      guard_->unlock();
    } else {
      guard_->unlock_shared();
    }
  }

 private:
  Held(RwGuard* guard, bool exclusive) noexcept : guard_(guard), exclusive_(exclusive) {}
  RwGuard* guard_;
  bool exclusive_;
};

}  // namespace orn
