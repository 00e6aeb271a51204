#include "auth_guards.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

namespace tool {
namespace {

constexpr auto kMinute = std::chrono::minutes(1);

}  // namespace

CredentialCache::CredentialCache(std::chrono::seconds ttl, size_t max_entries)
    : ttl_(ttl), max_entries_(max_entries) {
  unsigned char key[64];
  if (RAND_bytes(key, sizeof key) != 1) throw std::runtime_error("no random bytes");
  unsigned char ipad[64], opad[64];
  for (size_t i = 0; i < sizeof key; ++i) {
    ipad[i] = key[i] ^ 0x36;
    opad[i] = key[i] ^ 0x5c;
  }
  OPENSSL_cleanse(key, sizeof key);
  reg::sha256_init(&inner_);
  reg::sha256_update(&inner_, ipad, sizeof ipad);
  reg::sha256_init(&outer_);
  reg::sha256_update(&outer_, opad, sizeof opad);
}

// HMAC-SHA256 over the length-prefixed user and the password, so "a:b" + "c" and "a" +
// "b:c" never share a key.
std::string CredentialCache::key_of(std::string_view user, std::string_view password) const {
  std::string prefix = std::to_string(user.size()) + ":";
  reg::sha256_ctx in = inner_, out = outer_;
  reg::sha256_update(&in, prefix.data(), prefix.size());
  reg::sha256_update(&in, user.data(), user.size());
  reg::sha256_update(&in, password.data(), password.size());
  unsigned char mid[32], mac[32];
  reg::sha256_final(&in, mid);
  reg::sha256_update(&out, mid, sizeof mid);
  reg::sha256_final(&out, mac);
  return std::string(reinterpret_cast<const char*>(mac), sizeof mac);
}

bool CredentialCache::known(std::string_view user, std::string_view password,
                            Clock::time_point now) {
  std::string key = key_of(user, password);
  std::lock_guard<std::mutex> l(m_);
  auto it = expiry_.find(key);
  if (it == expiry_.end()) return false;
  if (now < it->second) return true;
  expiry_.erase(it);
  return false;
}

void CredentialCache::remember(std::string_view user, std::string_view password,
                               Clock::time_point now) {
  std::string key = key_of(user, password);
  std::lock_guard<std::mutex> l(m_);
  if (expiry_.size() >= max_entries_) {
    for (auto it = expiry_.begin(); it != expiry_.end();)
      it = now >= it->second ? expiry_.erase(it) : std::next(it);
    if (expiry_.size() >= max_entries_) expiry_.clear();  // still full: start afresh
  }
  expiry_[key] = now + ttl_;
}

bool CredentialCache::join_check(std::string_view user, std::string_view password, bool& leader) {
  std::string key = key_of(user, password);
  std::unique_lock<std::mutex> l(m_);
  leader = in_flight_.insert(key).second;
  if (leader) return false;
  checked_.wait(l, [&] { return in_flight_.count(key) == 0; });
  auto it = expiry_.find(key);
  return it != expiry_.end() && Clock::now() < it->second;
}

void CredentialCache::end_check(std::string_view user, std::string_view password) {
  std::string key = key_of(user, password);
  std::lock_guard<std::mutex> l(m_);
  in_flight_.erase(key);
  checked_.notify_all();
}

bool FailureLimiter::allowed(const std::string& addr, Clock::time_point now) {
  std::lock_guard<std::mutex> l(m_);
  auto it = windows_.find(addr);
  if (it == windows_.end()) return true;
  if (now - it->second.start >= kMinute) {
    windows_.erase(it);
    return true;
  }
  return it->second.failures < per_minute_;
}

void FailureLimiter::failed(const std::string& addr, Clock::time_point now) {
  std::lock_guard<std::mutex> l(m_);
  if (windows_.size() >= kMaxAddresses) {
    for (auto it = windows_.begin(); it != windows_.end();)
      it = now - it->second.start >= kMinute ? windows_.erase(it) : std::next(it);
  }
  Window& w = windows_[addr];
  if (w.failures == 0 || now - w.start >= kMinute) w = Window{now, 0};
  ++w.failures;
}

}  // namespace tool
