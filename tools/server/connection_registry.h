// The open connections of the HTTP layer: counted in total and per client address, so the
// limits can refuse one more, and reachable for the shutdown's drain.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tool {

// What the shutdown does to a connection; both run the work on the connection's own strand.
class ConnectionHandle {
 public:
  virtual ~ConnectionHandle() = default;
  // Closes the connection when it waits for a request; else lets the one in flight finish
  // and closes after its response.
  virtual void drain() = 0;
  // Closes at once.
  virtual void abort() = 0;
};

class ConnectionRegistry {
 public:
  ConnectionRegistry(size_t max_total, size_t max_per_address)
      : max_total_(max_total), max_per_address_(max_per_address) {}

  // Counts `c` as open, unless that would pass a limit.
  bool try_add(ConnectionHandle* c, std::weak_ptr<ConnectionHandle> weak, const std::string& addr);
  void remove(ConnectionHandle* c, const std::string& addr);
  size_t size() const;
  std::vector<std::shared_ptr<ConnectionHandle>> snapshot() const;
  // True once no connection is open; false when `deadline` came first.
  bool wait_empty_until(std::chrono::steady_clock::time_point deadline) const;

  // Connections being refused (answered 503 and closed) are few at a time, so a flood of them
  // costs a bounded amount; beyond that they are dropped unanswered.
  bool try_start_refusal();
  void end_refusal();

 private:
  static constexpr size_t kMaxRefusing = 256;
  size_t max_total_, max_per_address_;
  mutable std::mutex m_;
  mutable std::condition_variable empty_;
  std::unordered_map<ConnectionHandle*, std::weak_ptr<ConnectionHandle>> open_;
  std::unordered_map<std::string, size_t> per_address_;
  size_t refusing_ = 0;
};

}  // namespace tool
