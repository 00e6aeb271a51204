// Coordination between writers (pushes, imports) and garbage collection on one storage root,
// across processes, through open-file-description locks on root/_gc/lock.
//
// Byte 0 is a turnstile and byte 1 the store lock. A writer passes the turnstile shared and
// holds byte 1 shared for its operation; a collector takes byte 0 and then byte 1 exclusively,
// so once it waits no new writer gets in and it cannot be starved by a stream of pushes.
#pragma once

#include <string>

namespace tool {

class StoreLock {
 public:
  StoreLock() = default;
  StoreLock(StoreLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  StoreLock& operator=(StoreLock&& other) noexcept;
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  ~StoreLock();

  // Writer side: waits up to `wait_ms` for a collection to finish; false when it still runs
  // then (busy() is true: a retry later can pass) or the lock file cannot be opened (busy()
  // is false: nothing passes until an operator acts). `error` says which.
  bool acquire_shared(const std::string& root, int wait_ms, std::string& error);
  bool busy() const { return busy_; }
  // Collector side: blocks until every writer is done.
  bool acquire_exclusive(const std::string& root, std::string& error);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
  bool busy_ = false;
};

// Path of the lock file below a storage root.
std::string store_lock_path(const std::string& root);

}  // namespace tool
