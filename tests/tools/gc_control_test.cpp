// Who may start a collection, and what `gc status` says of one: a collector killed mid-run is
// not reported as running, and a server's control socket runs collections for the store's
// owner only.
#include <gtest/gtest.h>

#include "digest.h"
#include "gc_push_load.h"

#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tooltest::run_tool;

// A child process of `parent`, or -1 when it has none (yet).
int child_of(int parent) {
  DIR* d = opendir("/proc");
  if (!d) return -1;
  int found = -1;
  while (dirent* e = readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // "pid (comm) state ppid ...": the command may hold spaces and parentheses.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state;
    int ppid;
    if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
      found = pid;
      break;
    }
  }
  closedir(d);
  return found;
}

std::string gc_status(const std::string& root, bool json = false) {
  std::string out;
  run_tool(json ? std::vector<std::string>{"--root", root, "--json", "gc", "status"}
                : std::vector<std::string>{"--root", root, "gc", "status"},
           &out);
  return out;
}

TEST(GcControlTest, StatusDoesNotCallAKilledCollectorRunning) {
  const std::string dir = tooltest::make_large_store_dir(), root = dir + "/store";
  tooltest::write_large_store(root, 20000, 0);
  int out_fd;
  const int gc = tooltest::start_tool({"--root", root, "gc"}, out_fd);
  int collector = -1;
  for (int i = 0; i < 5000 && collector < 0; ++i) {
    collector = child_of(gc);
    if (collector < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(collector, 0) << "gc started no collector";
  // Step the collector a millisecond at a time until it has the collector lock and says so,
  // then kill it where it stands.
  kill(collector, SIGSTOP);
  bool running = false;
  for (int step = 0; step < 2000 && !running; ++step) {
    running = gc_status(root).rfind("running: ", 0) == 0;
    if (running) break;
    kill(collector, SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(collector, SIGSTOP);
  }
  ASSERT_TRUE(running) << gc_status(root);
  EXPECT_NE(gc_status(root, true).find("\"running\":true"), std::string::npos);
  kill(collector, SIGKILL);
  EXPECT_EQ(tooltest::wait_tool(gc), 1);
  close(out_fd);

  EXPECT_EQ(gc_status(root).rfind("not running: the last collection stopped without finishing", 0),
            0u)
      << gc_status(root);
  const std::string json = gc_status(root, true);
  EXPECT_NE(json.find("\"running\":false,\"interrupted\":true"), std::string::npos) << json;
  // Nothing of the killed run is left in the way of the next one.
  ASSERT_EQ(run_tool({"--root", root, "gc"}), 0);
  EXPECT_EQ(gc_status(root).rfind("finished: ", 0), 0u) << gc_status(root);
  fs::remove_all(dir);
}

// What the server answers user 65534 on its control socket: "" when the connection itself
// was refused (errno in `connect_errno`).
std::string ask_as_nobody(const std::string& socket_path, int& connect_errno) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string answer;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    int err = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      err = errno;
    } else {
      const char request[] = "gc 0 0 -1\n";
      (void)!send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
      char buf[256];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
    }
    const std::string report = std::to_string(err) + " " + answer;
    (void)!write(fds[1], report.data(), report.size());
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  connect_errno = std::atoi(report.c_str());
  const size_t space = report.find(' ');
  return space == std::string::npos ? "child failed" : report.substr(space + 1);
}

TEST(GcControlTest, ControlSocketRunsCollectionsForTheStoreOwnerOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to ask as another user";
  const std::string dir = tooltest::make_temp_dir(), root = dir + "/store";
  tooltest::ServerProcess server(root, {}, {});
  const std::string sock = root + "/_gc/control.sock";
  ASSERT_TRUE(fs::exists(sock));

  // The socket's file is the owner's alone.
  int err = 0;
  EXPECT_EQ(ask_as_nobody(sock, err), "");
  EXPECT_EQ(err, EACCES);

  // Opened up by mistake, the server still asks who is calling.
  for (const std::string& d : {dir, root, root + "/_gc"}) chmod(d.c_str(), 0711);
  chmod(sock.c_str(), 0666);
  EXPECT_EQ(ask_as_nobody(sock, err), "1not the store's owner\n");
  EXPECT_EQ(err, 0);

  // The owner's request runs, and the metrics count it (and only it).
  httplib::Client c = server.client();
  const std::string garbage(1000, 'g');
  auto posted = c.Post(("/v2/a/b/blobs/uploads/?digest=" + tool::sha256_digest(garbage)).c_str(),
                       garbage, "application/octet-stream");
  ASSERT_TRUE(posted);
  ASSERT_EQ(posted->status, 201);
  std::string out;
  ASSERT_EQ(run_tool({"--root", root, "--json", "gc", "--grace-period", "0"}, &out), 0) << out;
  EXPECT_NE(out.find("\"blobs_deleted\":1,"), std::string::npos) << out;
  const std::string m = c.Get("/metrics")->body;
  using tooltest::metric_sample;
  EXPECT_EQ(metric_sample(m, R"(tarnwick_gc_runs_total{result="ok"})"), 1) << m;
  EXPECT_EQ(metric_sample(m, R"(tarnwick_gc_runs_total{result="failed"})"), 0);
  EXPECT_EQ(metric_sample(m, "tarnwick_gc_blobs_freed_total"), 1);
  EXPECT_EQ(metric_sample(m, "tarnwick_gc_bytes_freed_total"), 1000);
  EXPECT_GE(metric_sample(m, "tarnwick_gc_duration_seconds_total"), 0);
  EXPECT_GE(metric_sample(m, "tarnwick_gc_push_hold_longest_seconds"), 0);
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

}  // namespace
