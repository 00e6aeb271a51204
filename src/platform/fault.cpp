#include "platform/fault.h"

#include "platform/call_counts.h"

#include <array>
#include <atomic>
#include <mutex>

namespace reg::fault {
namespace {

constexpr int kKinds = static_cast<int>(Op::count_);

struct State {
  std::mutex mu;
  Op target = Op::any;
  std::int64_t nth = 0;
  int err = 0;
  bool sticky = false;
  std::int64_t seen = 0;  // calls of the target kind since arming
  std::int64_t fired = 0;
  std::array<std::int64_t, kKinds> calls{};
};

State& state() {
  static State s;
  return s;
}

// Off the fast path: tests arm rarely, and every platform call reads this flag.
std::atomic<bool> g_active{false};
std::atomic<DiskObserver*> g_observer{nullptr};

}  // namespace

int hit(Op op) {
  platform::count_call(op);
  if (!g_active.load(std::memory_order_relaxed)) return 0;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.calls[static_cast<int>(op)]++;
  s.calls[0]++;
  if (s.nth <= 0 || (s.target != Op::any && s.target != op)) return 0;
  ++s.seen;
  if (s.seen == s.nth || (s.sticky && s.seen > s.nth)) {
    ++s.fired;
    return s.err;
  }
  return 0;
}

void arm(Op op, int nth, int err, bool sticky) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.target = op;
  s.nth = nth;
  s.err = err;
  s.sticky = sticky;
  s.seen = 0;
  s.fired = 0;
  s.calls.fill(0);
  g_active.store(true, std::memory_order_relaxed);
}

void disarm() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.nth = 0;
  // Stay active so that call counting keeps working until the next reset.
}

std::int64_t calls(Op op) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.calls[static_cast<int>(op)];
}

std::int64_t fired() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.fired;
}

void reset_counts() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.calls.fill(0);
  s.seen = 0;
  s.fired = 0;
  if (s.nth == 0) g_active.store(false, std::memory_order_relaxed);
}

void set_disk_observer(DiskObserver* o) { g_observer.store(o, std::memory_order_release); }

DiskObserver* disk_observer() { return g_observer.load(std::memory_order_acquire); }

}  // namespace reg::fault
