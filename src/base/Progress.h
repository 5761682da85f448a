#pragma once

// Process-wide progress of the one running long operation (load, save,
// transfer): a 64-bit total, the current amount and a cancel flag that long
// loops poll. A host may register one observer that is called on every
// change of the total or the current amount (on the calling thread).
// All state is static; Reset clears the amounts and the cancel flag but keeps
// the observer.

#include <atomic>
#include <cstdint>
#include <functional>

class ProgressInfo {
 public:
  using Observer = std::function<void(int64_t current, int64_t total)>;

  // Sets the total and resets the current amount to 0.
  static void SetTotalSize(int64_t total) {
    s_total = total;
    s_current = 0;
    Notify();
  }
  static void SetCurrentSize(int64_t current) {
    s_current = current;
    Notify();
  }
  static int64_t GetTotalSize() { return s_total; }
  static int64_t GetCurrentSize() { return s_current; }

  // Sequentially consistent: a signal handler that sets the flag and then
  // looks whether an install has begun, and a save that opens its install
  // and then looks at the flag, never both miss the other.
  static bool IsCanceled() { return s_canceled.load(); }
  static void SetCanceled(bool canceled) { s_canceled.store(canceled); }

  static void Reset() {
    s_total = 0;
    s_current = 0;
    s_canceled.store(false, std::memory_order_relaxed);
  }

  // An empty function removes the observer.
  static void SetObserver(Observer observer) { Obs() = std::move(observer); }

 private:
  static void Notify() {
    if (Obs()) Obs()(s_current, s_total);
  }
  static Observer& Obs() {
    static Observer observer;
    return observer;
  }

  static inline int64_t s_total = 0;
  static inline int64_t s_current = 0;
  static inline std::atomic<bool> s_canceled{false};
};
