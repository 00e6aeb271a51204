#include "upload_sessions.h"

namespace tool {

bool UploadSessions::has_room(const std::string& user) const {
  std::lock_guard<std::mutex> l(m_);
  auto it = per_user_.find(user);
  size_t mine = it == per_user_.end() ? 0 : it->second;
  return sessions_.size() < limits_.max_total && mine < limits_.max_per_user;
}

bool UploadSessions::open(const std::string& uuid, const std::string& repo, const std::string& user,
                          Clock::time_point now) {
  auto s = std::make_shared<UploadSession>();
  s->repo = repo;
  s->user = user;
  std::lock_guard<std::mutex> l(m_);
  size_t& mine = per_user_[user];
  if (sessions_.size() >= limits_.max_total || mine >= limits_.max_per_user ||
      sessions_.count(uuid) > 0) {
    if (mine == 0) per_user_.erase(user);
    return false;
  }
  ++mine;
  by_use_.push_back(uuid);
  sessions_.emplace(uuid, Entry{std::move(s), now, std::prev(by_use_.end())});
  return true;
}

std::shared_ptr<UploadSession> UploadSessions::find(const std::string& uuid,
                                                    const std::string& repo,
                                                    const std::string& user,
                                                    Clock::time_point now) {
  std::lock_guard<std::mutex> l(m_);
  auto it = sessions_.find(uuid);
  if (it == sessions_.end() || it->second.session->repo != repo || it->second.session->user != user)
    return nullptr;
  touch_locked(it->second, now);
  return it->second.session;
}

void UploadSessions::touch(const std::string& uuid, Clock::time_point now) {
  std::lock_guard<std::mutex> l(m_);
  auto it = sessions_.find(uuid);
  if (it != sessions_.end()) touch_locked(it->second, now);
}

void UploadSessions::close(const std::string& uuid) {
  std::lock_guard<std::mutex> l(m_);
  auto it = sessions_.find(uuid);
  if (it != sessions_.end()) erase_locked(it);
}

size_t UploadSessions::size() const {
  std::lock_guard<std::mutex> l(m_);
  return sessions_.size();
}

std::vector<std::string> UploadSessions::take_expired(Clock::time_point now) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> l(m_);
  // Least recently used first: the walk stops at the first session still fresh. One that is
  // serving a request (its lock held) is not idle, so it goes to the back.
  size_t busy_seen = 0;
  while (!by_use_.empty() && busy_seen < by_use_.size()) {
    auto it = sessions_.find(by_use_.front());
    Entry& e = it->second;
    if (now - e.last_used < limits_.idle) break;
    std::unique_lock<std::mutex> busy(e.session->busy, std::try_to_lock);
    if (!busy.owns_lock()) {
      touch_locked(e, now);
      ++busy_seen;
      continue;
    }
    busy.unlock();
    out.push_back(it->first);
    erase_locked(it);
  }
  return out;
}

std::vector<std::string> UploadSessions::take_all() {
  std::lock_guard<std::mutex> l(m_);
  std::vector<std::string> out(by_use_.begin(), by_use_.end());
  sessions_.clear();
  by_use_.clear();
  per_user_.clear();
  return out;
}

void UploadSessions::erase_locked(std::unordered_map<std::string, Entry>::iterator it) {
  auto u = per_user_.find(it->second.session->user);
  if (u != per_user_.end() && --u->second == 0) per_user_.erase(u);
  by_use_.erase(it->second.order);
  sessions_.erase(it);
}

void UploadSessions::touch_locked(Entry& e, Clock::time_point now) {
  e.last_used = now;
  by_use_.splice(by_use_.end(), by_use_, e.order);
}

}  // namespace tool
