// What keeps Basic authentication cheap for clients and costly for guessers: a short-lived
// cache of credentials that passed bcrypt, keyed by a keyed hash of them (the password is
// never kept), and a limit on failed attempts from one client address.
#pragma once

#include "core/sha256.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tool {

class CredentialCache {
 public:
  using Clock = std::chrono::steady_clock;
  // A fresh random key per process, so the cache's keys mean nothing outside it.
  explicit CredentialCache(std::chrono::seconds ttl = std::chrono::seconds(60),
                           size_t max_entries = 4096);
  // Whether user:password passed a full check less than the TTL ago.
  bool known(std::string_view user, std::string_view password,
             Clock::time_point now = Clock::now());
  void remember(std::string_view user, std::string_view password,
                Clock::time_point now = Clock::now());
  // Coalesces concurrent checks of the same credentials (a client opening many connections
  // at once): when one is running, waits for it and returns whether it passed; otherwise
  // marks this caller as the one checking (`leader`), who calls end_check when done.
  bool join_check(std::string_view user, std::string_view password, bool& leader);
  void end_check(std::string_view user, std::string_view password);

 private:
  std::string key_of(std::string_view user, std::string_view password) const;
  std::chrono::seconds ttl_;
  size_t max_entries_;
  // HMAC-SHA256 with the key's inner and outer pads hashed once, at start.
  reg::sha256_ctx inner_, outer_;
  std::mutex m_;
  std::unordered_map<std::string, Clock::time_point> expiry_;
  std::unordered_set<std::string> in_flight_;
  std::condition_variable checked_;
};

// Failed attempts per client address, counted for a minute from the first; past the limit
// the address is refused (429) without a password check until that minute is over.
class FailureLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit FailureLimiter(int per_minute = 20) : per_minute_(per_minute) {}
  bool allowed(const std::string& addr, Clock::time_point now = Clock::now());
  void failed(const std::string& addr, Clock::time_point now = Clock::now());

 private:
  struct Window {
    Clock::time_point start;
    int failures = 0;
  };
  static constexpr size_t kMaxAddresses = 65536;
  int per_minute_;
  std::mutex m_;
  std::unordered_map<std::string, Window> windows_;
};

struct AuthGuards {
  CredentialCache cache;
  FailureLimiter limiter;
  AuthGuards(std::chrono::seconds ttl, int failures_per_minute)
      : cache(ttl), limiter(failures_per_minute) {}
};

}  // namespace tool
