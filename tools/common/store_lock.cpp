#include "store_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace tool {
namespace {

int lock_range(int fd, short type, off_t start, bool wait) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  int rc;
  do {
    rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int open_lock_file(const std::string& root) {
  std::string dir = root + "/_gc";
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  return open(store_lock_path(root).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

}  // namespace

std::string store_lock_path(const std::string& root) { return root + "/_gc/lock"; }

StoreLock& StoreLock::operator=(StoreLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

StoreLock::~StoreLock() { release(); }

void StoreLock::release() {
  if (fd_ >= 0) close(fd_);  // closing the description drops its locks
  fd_ = -1;
}

bool StoreLock::acquire_shared(const std::string& root, int wait_ms, std::string& error,
                               long long* waited_ms) {
  release();
  busy_ = false;
  int fd = open_lock_file(root);
  if (fd < 0) {
    error = std::string("cannot open the store lock file _gc/lock: ") + std::strerror(errno);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(wait_ms);
  // Polled rather than waited on, to bound the wait; the short step keeps a push's wait close
  // to the collector's hold.
  while (lock_range(fd, F_RDLCK, 0, false) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      error = "garbage collection in progress";
      busy_ = true;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (waited_ms)
    *waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  // Past the turnstile no collector holds byte 1, so this wait is short at most.
  lock_range(fd, F_RDLCK, 1, true);
  lock_range(fd, F_UNLCK, 0, false);
  fd_ = fd;
  return true;
}

bool StoreLock::acquire_exclusive(const std::string& root, std::string& error) {
  release();
  int fd = open_lock_file(root);
  if (fd < 0) {
    error = std::string("cannot open the store lock file _gc/lock: ") + std::strerror(errno);
    return false;
  }
  if (lock_range(fd, F_WRLCK, 0, true) != 0 || lock_range(fd, F_WRLCK, 1, true) != 0) {
    close(fd);
    error = "cannot lock the store";
    return false;
  }
  fd_ = fd;
  return true;
}

namespace {

enum class Hold { held, busy, failed };

// Takes the turnstile, then gives the writers past it `patience_ms` to finish.
Hold hold_within(int fd, int patience_ms) {
  if (lock_range(fd, F_WRLCK, 0, true) != 0) return Hold::failed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
  for (;;) {
    if (lock_range(fd, F_WRLCK, 1, false) == 0) return Hold::held;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return Hold::failed;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  lock_range(fd, F_UNLCK, 0, false);  // let the writers waiting at the turnstile through
  return Hold::busy;
}

}  // namespace

bool StoreLock::acquire_exclusive_briefly(const std::string& root, int patience_ms,
                                          std::string& error) {
  release();
  int fd = open_lock_file(root);
  if (fd < 0) {
    error = "cannot open store lock";
    return false;
  }
  for (int patience = patience_ms;; patience = std::min(patience * 2, 5000)) {
    const Hold h = hold_within(fd, patience);
    if (h == Hold::held) {
      fd_ = fd;
      return true;
    }
    if (h == Hold::failed) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(patience));
  }
  close(fd);
  error = "cannot lock the store";
  return false;
}

CollectorLock::~CollectorLock() {
  if (fd_ >= 0) close(fd_);
}

bool CollectorLock::acquire(const std::string& root, bool wait, std::string& error) {
  int fd = open_lock_file(root);
  if (fd < 0) {
    error = "cannot open store lock";
    return false;
  }
  if (lock_range(fd, F_WRLCK, 2, wait) != 0) {
    close(fd);
    error = wait ? "cannot lock the store" : "a collection is running";
    return false;
  }
  fd_ = fd;
  return true;
}

bool collector_running(const std::string& root) {
  int fd = open(store_lock_path(root).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 2;
  fl.l_len = 1;
  const bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

}  // namespace tool
