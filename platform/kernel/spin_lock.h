// A lock for bookkeeping held a few dozen instructions and never across a
// wait or a call into driver code: one atomic flag costs a fraction of a
// mutex when nothing contends, which is nearly always.
#pragma once

#include <atomic>
#include <thread>

namespace host {
namespace kcore {

class SpinLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace kcore
}  // namespace host
