// Per-repository locks for the writers of a repository's manifest files (upload, deletion,
// repository deletion, retention), so that a check and the writes it permits (a protected
// tag's link, a manifest's files and the tags naming it) are not interleaved with another
// writer of the same repository. Readers never take them; different repositories rarely share
// one (a fixed table of locks, chosen by the name's hash).
#pragma once

#include <mutex>
#include <string_view>

namespace reg {

// Held for the scope. Re-entrant on one thread (retention deletes under its own hold); a
// thread never holds the locks of two repositories at once, so no order between them exists.
class RepoLock {
 public:
  explicit RepoLock(std::string_view repo);
  RepoLock(const RepoLock&) = delete;
  RepoLock& operator=(const RepoLock&) = delete;

 private:
  std::lock_guard<std::recursive_mutex> hold_;
};

}  // namespace reg
