#include "gc_control.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tool {
namespace {

constexpr size_t kMaxRequest = 256;

// A socket address for `path`; a path too long for one goes through a handle of its
// directory (`dir_fd`, which the caller closes).
bool socket_address(const std::string& path, sockaddr_un& addr, int& dir_fd) {
  addr = {};
  addr.sun_family = AF_UNIX;
  std::string name = path;
  dir_fd = -1;
  if (name.size() >= sizeof addr.sun_path) {
    const size_t slash = path.rfind('/');
    dir_fd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    name = "/proc/self/fd/" + std::to_string(dir_fd) + path.substr(slash);
    if (name.size() >= sizeof addr.sun_path) return false;
  }
  std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
  return true;
}

int connect_path(const std::string& path) {
  sockaddr_un addr;
  int dir_fd = -1;
  if (!socket_address(path, addr, dir_fd)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    fd = -1;
  }
  if (dir_fd >= 0) close(dir_fd);
  return fd;
}

bool write_line(int fd, const std::string& line) {
  size_t off = 0;
  while (off < line.size()) {
    ssize_t n = send(fd, line.data() + off, line.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

std::string socket_path(const std::string& root) { return root + "/_gc/control.sock"; }

}  // namespace

ControlListener::~ControlListener() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(path_.c_str());
}

bool ControlListener::open(const std::string& root, std::string& error) {
  path_ = socket_path(root);
  mkdir((root + "/_gc").c_str(), 0755);  // a new store has none yet
  int probe = connect_path(path_);
  if (probe >= 0) {
    close(probe);
    error = "another server answers collection requests for this store";
    return false;
  }
  unlink(path_.c_str());  // left by a server that was killed
  sockaddr_un addr;
  int dir_fd = -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && socket_address(path_, addr, dir_fd) &&
            bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            chmod(path_.c_str(), 0600) == 0 && listen(fd, 8) == 0;
  if (dir_fd >= 0) close(dir_fd);
  if (!ok) {
    error = std::string("cannot open the control socket: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

int ControlListener::accept_owner() const {
  int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return -1;
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
      (cred.uid != geteuid() && cred.uid != 0)) {
    write_control_reply(c, false, "not the store's owner");
    close(c);
    return -1;
  }
  return c;
}

bool read_control_request(int fd, CollectionRequest& req) {
  timeval tv{5, 0};  // a request is one short line, sent at once
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string line;
  char c;
  while (line.size() < kMaxRequest) {
    ssize_t n = recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') break;
    line += c;
  }
  int dry = 0;
  long long grace = 0, untagged = 0;
  char tail = 0;
  if (std::sscanf(line.c_str(), "gc %d %lld %lld%c", &dry, &grace, &untagged, &tail) != 3 ||
      (dry != 0 && dry != 1) || grace < 0 || untagged < -1)
    return false;
  req.dry_run = dry == 1;
  req.grace_s = grace;
  req.delete_untagged_after_s = untagged;
  return true;
}

bool write_control_reply(int fd, bool ok, const std::string& text) {
  std::string line = (ok ? "0" : "1") + text;
  for (char& c : line)
    if (c == '\n') c = ' ';
  return write_line(fd, line + "\n");
}

int connect_control(const std::string& root) { return connect_path(socket_path(root)); }

bool write_control_request(int fd, const CollectionRequest& req) {
  return write_line(fd, "gc " + std::to_string(req.dry_run ? 1 : 0) + " " +
                            std::to_string(req.grace_s) + " " +
                            std::to_string(req.delete_untagged_after_s) + "\n");
}

bool read_control_reply(int fd, std::string& buffer, bool& ok, std::string& text) {
  char buf[4096];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n > 0) buffer.append(buf, static_cast<size_t>(n));
  const size_t nl = buffer.find('\n');
  if (nl != std::string::npos && nl > 0) {
    ok = buffer[0] == '0';
    text = buffer.substr(1, nl - 1);
    return true;
  }
  if (n == 0 || n < 0) {
    ok = false;
    text = "the server closed the connection before the collection ended";
    return true;
  }
  return false;
}

}  // namespace tool
