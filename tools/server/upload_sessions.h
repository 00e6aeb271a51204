// Which repository and which user opened each upload. The library's upload ids come from a
// predictable generator and are not bound to anything, so the server accepts an id only on
// the repository that started it and only from the user who did ("" when anonymous).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tool {

struct UploadSession {
  std::string repo;
  std::string user;
  std::mutex busy;  // one request at a time appends to an upload, so ranges stay in order
};

class UploadSessions {
 public:
  void open(const std::string& uuid, const std::string& repo, const std::string& user);
  // The session of `uuid` when `user` opened it on `repo`, else null: to anyone else an
  // upload of another user is indistinguishable from one that does not exist.
  std::shared_ptr<UploadSession> find(const std::string& uuid, const std::string& repo,
                                      const std::string& user) const;
  void close(const std::string& uuid);
  size_t size() const;
  // Drops sessions whose upload is gone (finished elsewhere, cancelled, collected).
  template <class IsGone>
  void prune(IsGone is_gone) {
    std::lock_guard<std::mutex> l(m_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
      it = is_gone(it->first) ? sessions_.erase(it) : std::next(it);
  }

 private:
  mutable std::mutex m_;
  std::map<std::string, std::shared_ptr<UploadSession>> sessions_;
};

}  // namespace tool
