#include "server_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tooltest {
namespace {

std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (std::string& a : args) v.push_back(a.data());
  v.push_back(nullptr);
  return v;
}

// Starts the tool with stdout on a pipe, and stderr too when `err_fd` is given.
int spawn(std::vector<std::string> args, int& out_fd, int* err_fd = nullptr) {
  args.insert(args.begin(), TARNWICK_REGISTRY_BIN);
  int fds[2], efds[2] = {-1, -1};
  if (pipe(fds) != 0 || (err_fd && pipe(efds) != 0)) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    if (err_fd) dup2(efds[1], STDERR_FILENO);
    for (int fd : {fds[0], fds[1], efds[0], efds[1]})
      if (fd >= 0) close(fd);
    std::vector<char*> argv = argv_of(args);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd = fds[0];
  if (err_fd) {
    close(efds[1]);
    *err_fd = efds[0];
  }
  return pid;
}

std::string read_until_eof(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

int exit_code(int pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int run_tool(const std::vector<std::string>& args, std::string* out, std::string* err) {
  int fd, efd = -1;
  int pid = spawn(args, fd, err ? &efd : nullptr);
  std::string text = read_until_eof(fd);  // the tests' commands say little on stderr
  close(fd);
  if (err) {
    *err = read_until_eof(efd);
    close(efd);
  }
  if (out) *out = text;
  return exit_code(pid);
}

int start_tool(const std::vector<std::string>& args, int& out_fd) { return spawn(args, out_fd); }

int wait_tool(int pid) { return exit_code(pid); }

ServerProcess::ServerProcess(const std::string& root, const std::vector<std::string>& global_args,
                             const std::vector<std::string>& serve_args, const std::string& listen,
                             bool tls)
    : tls_(tls) {
  std::vector<std::string> args = {"--root", root};
  args.insert(args.end(), global_args.begin(), global_args.end());
  args.push_back("serve");
  args.insert(args.end(), serve_args.begin(), serve_args.end());
  for (const std::string& a :
       {std::string("--listen"), listen, std::string("--access-log"), std::string("/dev/null")})
    args.push_back(a);
  int fd;
  pid_ = spawn(args, fd);
  std::string line;
  char c;
  // The metrics' own address, when there is one, comes on a line before the "serving" line.
  for (bool more = true; more;) {
    line.clear();
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    more = line.find(": metrics on ") != std::string::npos;
    if (more) metrics_port_ = std::atoi(line.c_str() + line.rfind(':') + 1);
  }
  close(fd);
  size_t colon = line.rfind(':');
  if (colon == std::string::npos) {
    exit_code(pid_);  // it ended without a word on stdout; its stderr says why
    throw std::runtime_error("server did not start: " + line);
  }
  port_ = std::atoi(line.c_str() + colon + 1);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) stop();
}

httplib::Client ServerProcess::client() const {
  httplib::Client c((tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_));
  c.enable_server_certificate_verification(false);  // the tests' certificates are self-signed
  c.set_read_timeout(60);
  return c;
}

int ServerProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int rc = exit_code(pid_);
  pid_ = -1;
  return rc;
}

std::string make_temp_dir(const std::string& base) {
  std::string path = base + "/tarnwick-tools-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp in " + base);
  return path;
}

double metric_sample(const std::string& text, const std::string& series) {
  const size_t at = ("\n" + text).find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::atof(text.c_str() + at + series.size() + 1);
}

std::string send_raw(int port, const std::string& request) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()))
    reply = read_until_eof(fd);
  close(fd);
  return reply;
}

}  // namespace tooltest
