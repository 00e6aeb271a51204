#include "server_lifecycle.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>

namespace tool {
namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// A policy that fails to load leaves the one in force; connections are never dropped.
void reload_policy(PolicyHolder* policy) {
  if (policy == nullptr) return;
  std::string error;
  if (policy->reload(error))
    std::fprintf(stderr, "tarnwick-registry: policy reloaded\n");
  else
    std::fprintf(stderr, "tarnwick-registry: policy not reloaded, the previous one stays: %s\n",
                 error.c_str());
}

}  // namespace

bool split_listen(const std::string& listen, std::string& host, int& port) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return false;
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  std::string p = listen.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(p);
  return port <= 65535 && !host.empty();
}

void raise_descriptor_limit() {
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
}

void block_stop_signals() {
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that goes away is a failed write, not a dead server
}

// Signals are taken by sigwait on an ordinary thread rather than in a handler, so a reload
// or a stop may do anything a thread may.
std::thread start_signal_watcher(HttpServer& svr, PolicyHolder* policy) {
  return std::thread([&svr, policy] {
    const sigset_t set = stop_signals();
    int sig = 0;
    while (sigwait(&set, &sig) == 0 && sig == SIGHUP) reload_policy(policy);
    svr.shutdown();
  });
}

}  // namespace tool
