#include "connection_registry.h"

namespace tool {

bool ConnectionRegistry::try_add(ConnectionHandle* c, std::weak_ptr<ConnectionHandle> weak,
                                 const std::string& addr) {
  std::lock_guard<std::mutex> l(m_);
  if (open_.size() >= max_total_) return false;
  size_t& n = per_address_[addr];
  if (n >= max_per_address_) return false;
  ++n;
  open_.emplace(c, std::move(weak));
  return true;
}

void ConnectionRegistry::remove(ConnectionHandle* c, const std::string& addr) {
  std::lock_guard<std::mutex> l(m_);
  if (open_.erase(c) == 0) return;
  auto it = per_address_.find(addr);
  if (it != per_address_.end() && --it->second == 0) per_address_.erase(it);
  if (open_.empty()) empty_.notify_all();
}

size_t ConnectionRegistry::size() const {
  std::lock_guard<std::mutex> l(m_);
  return open_.size();
}

std::vector<std::shared_ptr<ConnectionHandle>> ConnectionRegistry::snapshot() const {
  std::vector<std::shared_ptr<ConnectionHandle>> out;
  std::lock_guard<std::mutex> l(m_);
  for (const auto& entry : open_)
    if (auto c = entry.second.lock()) out.push_back(std::move(c));
  return out;
}

bool ConnectionRegistry::wait_empty_until(std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock<std::mutex> l(m_);
  return empty_.wait_until(l, deadline, [this] { return open_.empty(); });
}

bool ConnectionRegistry::try_start_refusal() {
  std::lock_guard<std::mutex> l(m_);
  if (refusing_ >= kMaxRefusing) return false;
  ++refusing_;
  return true;
}

void ConnectionRegistry::end_refusal() {
  std::lock_guard<std::mutex> l(m_);
  --refusing_;
}

}  // namespace tool
