#include "upload_sessions.h"

namespace tool {

void UploadSessions::open(const std::string& uuid, const std::string& repo,
                          const std::string& user) {
  auto s = std::make_shared<UploadSession>();
  s->repo = repo;
  s->user = user;
  std::lock_guard<std::mutex> l(m_);
  sessions_[uuid] = std::move(s);
}

std::shared_ptr<UploadSession> UploadSessions::find(const std::string& uuid,
                                                    const std::string& repo,
                                                    const std::string& user) const {
  std::lock_guard<std::mutex> l(m_);
  auto it = sessions_.find(uuid);
  if (it == sessions_.end() || it->second->repo != repo || it->second->user != user) return nullptr;
  return it->second;
}

void UploadSessions::close(const std::string& uuid) {
  std::lock_guard<std::mutex> l(m_);
  sessions_.erase(uuid);
}

size_t UploadSessions::size() const {
  std::lock_guard<std::mutex> l(m_);
  return sessions_.size();
}

}  // namespace tool
