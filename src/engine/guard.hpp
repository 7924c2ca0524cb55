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

// How the callers of a guard run. Callers that one outer lock already serializes, and that never
// let that lock go between testing a guard and updating it (the Python binding, whose calls all
// hold the interpreter lock), spare the locked instructions; any others get atomic updates.
enum class Callers : std::uint8_t { Concurrent, Serialized };

class RwGuard {
 public:
  explicit RwGuard(Callers callers = Callers::Concurrent) noexcept
      : serialized_(callers == Callers::Serialized) {}

  bool try_lock_shared() noexcept {
    std::int64_t state = state_.load(std::memory_order_relaxed);
    if (serialized_) {
      if (state < 0) return false;
      state_.store(state + 1, std::memory_order_relaxed);
      return true;
    }
    while (state >= 0) {
      if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire)) return true;
    }
    return false;
  }
  void unlock_shared() noexcept {
    if (serialized_) {
      state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    } else {
      state_.fetch_sub(1, std::memory_order_release);
    }
  }
  bool try_lock() noexcept {
    std::int64_t expected = 0;
    if (serialized_) {
      if (state_.load(std::memory_order_relaxed) != 0) return false;
      state_.store(kWriter, std::memory_order_relaxed);
      return true;
    }
    return state_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire);
  }
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::int64_t kWriter = -1;
  std::atomic<std::int64_t> state_{0};  // > 0: that many readers; -1 (all bits set): one writer
  bool serialized_;
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
