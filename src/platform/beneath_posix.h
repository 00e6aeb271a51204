// Resolution of store paths below the storage root without following symbolic links.
//
// Once a root is attached, every path at or below it is resolved from a directory handle of
// the root, component by component, refusing any symbolic link and any step out of it: a
// link planted anywhere in the store (a repository, a tag directory, a fan-out directory)
// can never make an operation reach a file outside the root. Paths outside the attached root
// are refused (EXDEV). Without an attached root (before initialisation, or for the unit tests
// of the file utilities) paths are used as given, still never following a final link.
#pragma once

#include <string>

namespace reg::platform::beneath {

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Attaches the root (opening a handle of it; the root path itself may go through links, as
// its operator chose it) or, with nullptr, detaches it. 0 or an error number.
int attach_root(const char* root);
// Length of the attached root's text when `path` is the root or below it, else 0.
std::size_t root_prefix_len(const char* path);

// The directory that holds the last component of `path`, opened as a path handle, and that
// component's name ("." for the root itself). For the *at system calls, which act on the
// last component without following it. `dir` is AT_FDCWD (and `name` the path) when no root
// is attached.
struct Parent {
  Fd owned;
  int dir = -1;
  std::string name;
};
int open_parent(const char* path, Parent* out);

// Opens `path` with `flags` (O_NOFOLLOW is added: a final link fails with ELOOP), every
// component resolved below the root. `mode` is used with O_CREAT only.
int open_path(const char* path, int flags, unsigned mode, Fd* out);

// Tests switch between the system's beneath-resolution and the component walk that stands in
// where the system lacks it.
void force_component_walk(bool on);

}  // namespace reg::platform::beneath
