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
  // is false: nothing passes until an operator acts). `error` says which. `waited_ms`, when
  // given, receives how long it waited.
  bool acquire_shared(const std::string& root, int wait_ms, std::string& error,
                      long long* waited_ms = nullptr);
  bool busy() const { return busy_; }
  // Collector side: blocks until every writer is done.
  bool acquire_exclusive(const std::string& root, std::string& error);
  // Collector side, for short holds while pushes go on: writers that are committing get
  // `patience_ms` to finish while new ones wait at the turnstile; when they need longer, the
  // turnstile opens again for a while and the patience doubles, so that one slow commit never
  // keeps every other push waiting.
  bool acquire_exclusive_briefly(const std::string& root, int patience_ms, std::string& error);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
  bool busy_ = false;
};

// Held by a collector for its whole run (byte 2 of the same file): one collector at a time on
// a store, and a collector that was killed no longer holds it.
class CollectorLock {
 public:
  CollectorLock() = default;
  CollectorLock(const CollectorLock&) = delete;
  CollectorLock& operator=(const CollectorLock&) = delete;
  ~CollectorLock();
  // `wait`: until the running collector is done; else false at once when one runs.
  bool acquire(const std::string& root, bool wait, std::string& error);

 private:
  int fd_ = -1;
};

// Whether a live collector holds the collector lock of `root` (false when it cannot tell).
bool collector_running(const std::string& root);

// Path of the lock file below a storage root.
std::string store_lock_path(const std::string& root);

}  // namespace tool
