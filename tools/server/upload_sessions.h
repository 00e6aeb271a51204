// Which repository and which user opened each upload. The library's upload ids come from a
// predictable generator and are not bound to anything, so the server accepts an id only on
// the repository that started it and only from the user who did ("" when anonymous).
// Sessions are bounded in total and per user, found by id in constant time, and expire after
// an idle time; whoever takes an expired session out cancels its upload, so no upload file
// outlives the last client that could reach it.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tool {

struct UploadLimits {
  size_t max_total = 1000;
  size_t max_per_user = 100;
  std::chrono::seconds idle{300};  // well before a collection may take the files (15 min)
};

struct UploadSession {
  std::string repo;
  std::string user;
  std::mutex busy;  // one request at a time appends to an upload, so ranges stay in order
};

class UploadSessions {
 public:
  using Clock = std::chrono::steady_clock;

  explicit UploadSessions(UploadLimits limits = {}) : limits_(limits) {}
  // Before any session is opened.
  void set_limits(UploadLimits limits) { limits_ = limits; }

  // Whether `user` may open one more session now.
  bool has_room(const std::string& user) const;
  // Registers an upload; false when a bound is reached (the caller cancels the upload).
  bool open(const std::string& uuid, const std::string& repo, const std::string& user,
            Clock::time_point now = Clock::now());
  // The session of `uuid` when `user` opened it on `repo`, else null: to anyone else an
  // upload of another user is indistinguishable from one that does not exist. Counts as use.
  std::shared_ptr<UploadSession> find(const std::string& uuid, const std::string& repo,
                                      const std::string& user,
                                      Clock::time_point now = Clock::now());
  // Marks the end of a request on `uuid`: its idle time starts again.
  void touch(const std::string& uuid, Clock::time_point now = Clock::now());
  void close(const std::string& uuid);
  size_t size() const;
  // Takes out the sessions idle past the limit and not serving a request; their ids, for
  // the caller to cancel.
  std::vector<std::string> take_expired(Clock::time_point now = Clock::now());
  // Takes out every session (on shutdown: no client can reach them afterwards).
  std::vector<std::string> take_all();

 private:
  struct Entry {
    std::shared_ptr<UploadSession> session;
    Clock::time_point last_used;
    std::list<std::string>::iterator order;  // in `by_use_`, least recently used first
  };
  void erase_locked(std::unordered_map<std::string, Entry>::iterator it);
  void touch_locked(Entry& e, Clock::time_point now);

  UploadLimits limits_;
  mutable std::mutex m_;
  std::unordered_map<std::string, Entry> sessions_;
  std::list<std::string> by_use_;
  std::unordered_map<std::string, size_t> per_user_;
};

}  // namespace tool
