#include "store_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool StoreLock::acquire_shared(const std::string& root, int wait_ms, std::string& error) {
  release();
  busy_ = false;
  int fd = open_lock_file(root);
  if (fd < 0) {
    error = std::string("cannot open the store lock file _gc/lock: ") + std::strerror(errno);
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (lock_range(fd, F_RDLCK, 0, false) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      error = "garbage collection in progress";
      busy_ = true;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
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

}  // namespace tool
