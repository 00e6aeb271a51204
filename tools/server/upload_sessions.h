// Which repository and which user opened each upload, kept in the store beside the upload
// file, so that every server on one store continues any upload and a restarted server
// continues the ones it had. The library's upload ids come from a predictable generator and
// are not bound to anything, so the server accepts an id only on the repository that started
// it and only from the user who did ("" when anonymous).
//
// A session is the file uploads/_session/<id>.<user key>, written whole once and removed when
// the upload ends; the user key (a digest prefix of the user name) lets the bounds be counted
// from one listing. A request holds the session file's exclusive lock while it works on the
// upload, so requests on one upload follow one another whichever servers they reach, and an
// expiry never takes a session in use. Sessions expire after an idle time measured on the
// store's clock; whoever takes an expired session out cancels its upload, so no upload file
// outlives the last client that could reach it.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace tool {

struct UploadLimits {
  size_t max_total = 1000;
  size_t max_per_user = 100;
  std::chrono::seconds idle{300};  // well before a collection may take the files (15 min)
};

// One request's hold on a session: its file open and locked. Released when destroyed.
class SessionHold {
 public:
  SessionHold() = default;
  explicit operator bool() const { return file_ != nullptr; }

 private:
  friend class UploadSessions;
  std::unique_ptr<reg::platform::File> file_;
  std::string path_;
};

class UploadSessions {
 public:
  explicit UploadSessions(UploadLimits limits = {}) : limits_(limits) {}
  // Before any session is used.
  void set_limits(UploadLimits limits) { limits_ = limits; }

  // Whether `user` may open one more session now, counted from the store (so across every
  // server on it; servers opening sessions at the same instant may pass a bound by a few).
  bool has_room(const std::string& user) const;
  // Records the session of an upload just started; false when it cannot be written.
  bool open(const std::string& uuid, const std::string& repo, const std::string& user);
  // Holds the session of `uuid` when `user` opened it on `repo`, waiting while another
  // request holds it; empty otherwise: to anyone else an upload of another user is
  // indistinguishable from one that does not exist.
  SessionHold find(const std::string& uuid, const std::string& repo, const std::string& user);
  // Ends a held session (its upload is finished or cancelled): the file goes.
  void close(SessionHold& hold);
  // Open sessions in the store.
  size_t size() const;
  // Cancels the uploads of the sessions idle past the limit and held by no request, and
  // removes those sessions; how many.
  size_t expire();

 private:
  UploadLimits limits_;
};

}  // namespace tool
