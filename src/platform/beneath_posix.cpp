#include "platform/beneath_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace reg::platform::beneath {
namespace {

struct Root {
  Fd fd;
  std::string path;
};

std::mutex g_root_mu;
std::shared_ptr<const Root> g_root;  // guarded by g_root_mu

std::shared_ptr<const Root> current_root() {
  std::lock_guard<std::mutex> l(g_root_mu);
  return g_root;
}

// 0 unknown, 1 the system has openat2, 2 it has not (ENOSYS) or a test turned it off.
std::atomic<int> g_openat2{0};

constexpr unsigned long long kResolve =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

int retry_open(int dir, const char* rel, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::openat(dir, rel, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A component that is not a directory: ELOOP when it is a link, so that every symbolic link
// met on the way reads the same.
int not_dir_reason(int dir, const char* comp) {
  struct stat st;
  if (fstatat(dir, comp, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ELOOP;
  return ENOTDIR;
}

// The stand-in for openat2: one openat per component, each refusing links.
int walk_open(int root, std::string_view rel, int flags, unsigned mode, Fd* out) {
  Fd cur;
  int at = root;
  std::size_t pos = 0;
  std::string comp;
  for (;;) {
    while (pos < rel.size() && rel[pos] == '/') ++pos;
    std::size_t end = rel.find('/', pos);
    if (end == std::string_view::npos) end = rel.size();
    comp.assign(rel.substr(pos, end - pos));
    std::size_t next = end;
    while (next < rel.size() && rel[next] == '/') ++next;
    const bool last = next >= rel.size();
    if (comp == "..") return EXDEV;
    if (comp.empty()) comp = ".";
    if (last) {
      const int fd = retry_open(at, comp.c_str(), flags | O_NOFOLLOW, mode);
      if (fd < 0) return errno == ENOTDIR ? not_dir_reason(at, comp.c_str()) : errno;
      *out = Fd(fd);
      return 0;
    }
    if (comp != ".") {
      const int fd = retry_open(at, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW, 0);
      if (fd < 0) return errno == ENOTDIR ? not_dir_reason(at, comp.c_str()) : errno;
      cur = Fd(fd);
      at = cur.get();
    }
    pos = next;
  }
}

int openat2_open(int root, const char* rel, int flags, unsigned mode, Fd* out) {
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = static_cast<unsigned long long>(flags | O_NOFOLLOW | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = kResolve;
  long fd;
  int tries = 0;
  do {
    fd = syscall(SYS_openat2, root, rel, &how, sizeof how);
    // EAGAIN: a concurrent rename raced the resolution; it is safe to try again.
  } while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++tries < 16)));
  if (fd < 0) return errno;
  *out = Fd(static_cast<int>(fd));
  return 0;
}

int open_below(int root, std::string_view rel, int flags, unsigned mode, Fd* out) {
  const std::string r(rel.empty() ? std::string_view(".") : rel);
  if (g_openat2.load(std::memory_order_relaxed) != 2) {
    const int e = openat2_open(root, r.c_str(), flags, mode, out);
    if (e != ENOSYS) {
      g_openat2.store(1, std::memory_order_relaxed);
      // openat2 reports a step out of the root as EXDEV and any link as ELOOP, as the walk does.
      return e;
    }
    g_openat2.store(2, std::memory_order_relaxed);
  }
  return walk_open(root, r, flags, mode, out);
}

// The part of `path` below the root, without trailing separators; false when outside.
bool below_root(const Root& root, const char* path, std::string_view* rel) {
  const std::string_view p(path), r(root.path);
  if (p.substr(0, r.size()) != r) return false;
  std::string_view rest = p.substr(r.size());
  if (!rest.empty() && rest[0] != '/' && !r.empty() && r.back() != '/') return false;
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  *rel = rest;
  return true;
}

}  // namespace

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int attach_root(const char* root) {
  std::shared_ptr<Root> r;
  if (root) {
    r = std::make_shared<Root>();
    const int fd = retry_open(AT_FDCWD, root, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return errno;
    r->fd = Fd(fd);
    r->path = root;
  }
  std::lock_guard<std::mutex> l(g_root_mu);
  g_root = std::move(r);
  return 0;
}

std::size_t root_prefix_len(const char* path) {
  const auto root = current_root();
  std::string_view rel;
  return root && below_root(*root, path, &rel) ? root->path.size() : 0;
}

int open_parent(const char* path, Parent* out) {
  const auto root = current_root();
  if (!root) {
    out->dir = AT_FDCWD;
    out->name = path;
    return 0;
  }
  std::string_view rel;
  if (!below_root(*root, path, &rel)) return EXDEV;
  const std::size_t slash = rel.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
  if (name == "..") return EXDEV;
  out->name = name.empty() ? "." : std::string(name);
  if (slash == std::string_view::npos) {
    // The root itself, or an entry directly in it: the root handle is the directory. It
    // outlives this call only through `owned`, so it is duplicated.
    const int fd = fcntl(root->fd.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    out->owned = Fd(fd);
  } else if (int e = open_below(root->fd.get(), rel.substr(0, slash), O_PATH | O_DIRECTORY, 0,
                                &out->owned)) {
    return e;
  }
  out->dir = out->owned.get();
  return 0;
}

int open_path(const char* path, int flags, unsigned mode, Fd* out) {
  const auto root = current_root();
  if (!root) {
    const int fd = retry_open(AT_FDCWD, path, flags | O_NOFOLLOW, mode);
    if (fd < 0) return errno;
    *out = Fd(fd);
    return 0;
  }
  std::string_view rel;
  if (!below_root(*root, path, &rel)) return EXDEV;
  return open_below(root->fd.get(), rel, flags, mode, out);
}

void force_component_walk(bool on) { g_openat2.store(on ? 2 : 0, std::memory_order_relaxed); }

}  // namespace reg::platform::beneath
