// gc: a collection with a live progress bar, cancelled by Ctrl-C; gc status; gc cancel.
//
// The collector runs in a child process. The library's text results are process-wide, so a
// watcher in the same process would overwrite the collector's summary; a separate process
// reads the progress snapshot file instead, as any other observer would.
#include <reg_storage.h>

#include "commands.h"
#include "gc_progress_view.h"
#include "gc_control.h"
#include "store_lock.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

namespace tool {
namespace {

volatile sig_atomic_t s_interrupted = 0;

void on_interrupt(int) { s_interrupted = 1; }

bool write_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Child: becomes the store's collector and runs the collection, holding pushes off only for
// its short final holds. Reports through `fd`: 'L' once it is the collector, then '0' and the
// summary, or '1' and the message.
[[noreturn]] void collector_main(const GlobalOptions& g, const CollectionRequest& req, int fd,
                                 pid_t parent) {
  signal(SIGINT, SIG_IGN);  // Ctrl-C reaches the whole group; only the parent acts on it
  // A killed parent takes the collector with it: nobody would be left to watch or cancel it.
  // A collection cut short loses nothing (every removal stands alone).
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);  // the parent died before the line above
  CollectorLock collector;
  std::string error;
  if (!collector.acquire(g.root, true, error)) {
    write_all(fd, "1" + error);
    _exit(1);
  }
  // From here on a stop comes only as a cancel request, never as a signal mid-run.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  write_all(fd, "L");
  reg::OnlineGcReport report;
  bool ok = run_collection_locked(g.root, req, report, error);
  write_all(fd, ok ? "0" + report.summary : "1" + error);
  _exit(ok ? 0 : 1);
}

struct CollectorReport {
  bool locked = false;
  std::string text;  // '0'/'1' and the rest
};

bool read_available(int fd, CollectorReport& r) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0) return errno == EINTR;
  if (n == 0) return false;  // end of stream: the child is done
  std::string chunk(buf, static_cast<size_t>(n));
  if (!r.locked && !chunk.empty() && chunk[0] == 'L') {
    r.locked = true;
    chunk.erase(0, 1);
  }
  r.text += chunk;
  return true;
}

void show_progress(bool tty, bool waiting_for_lock) {
  if (!tty) return;
  std::string line = waiting_for_lock
                         ? "waiting for the running collection to finish..."
                         : gc_progress_line(parse_gc_snapshot(reg_gc_progress_json()), 30);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
}

// Parent: draws the bar until the child closes its end; Ctrl-C becomes a cancel request.
CollectorReport watch_collector(pid_t child, int fd, bool tty) {
  CollectorReport report;
  bool cancel_said = false;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, 200);
    if (rc > 0 && !read_available(fd, report)) break;
    if (s_interrupted) {
      if (!report.locked) kill(child, SIGTERM);  // still waiting: nothing has started
      reg_gc_cancel();  // repeated: a request made before the run begins is discarded by it
      if (!cancel_said) std::fprintf(stderr, "%scancelling...\n", tty ? "\r\033[K" : "");
      cancel_said = true;
    }
    show_progress(tty, !report.locked);
  }
  if (tty) {
    show_progress(tty, false);
    std::fprintf(stderr, "\n");
  }
  return report;
}

// The collection a running server makes on request: the bar follows its snapshots, Ctrl-C
// asks it to cancel. False when no server answers for the store.
bool collect_through_server(const GlobalOptions& g, const CollectionRequest& req, bool tty,
                            CollectorReport& report) {
  const int fd = connect_control(g.root);
  if (fd < 0) return false;
  if (!write_control_request(fd, req)) {
    close(fd);
    return false;
  }
  report.locked = true;
  bool cancel_said = false, ok = false;
  std::string buffer, text;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 200) > 0 && read_control_reply(fd, buffer, ok, text)) break;
    if (s_interrupted && !cancel_said) {
      reg_gc_cancel();
      std::fprintf(stderr, "%scancelling...\n", tty ? "\r\033[K" : "");
      cancel_said = true;
    }
    show_progress(tty, false);
  }
  close(fd);
  if (tty) {
    show_progress(tty, false);
    std::fprintf(stderr, "\n");
  }
  report.text = (ok ? "0" : "1") + text;
  return true;
}

CollectorReport collect_here(const GlobalOptions& g, const CollectionRequest& req, bool tty) {
  CollectorReport report;
  int fds[2];
  if (pipe(fds) != 0) return report;
  std::fflush(nullptr);
  const pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return report;
  }
  if (child == 0) {
    close(fds[0]);
    collector_main(g, req, fds[1], parent);
  }
  close(fds[1]);
  report = watch_collector(child, fds[0], tty);
  close(fds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return report;
}

}  // namespace

int run_gc(const GlobalOptions& g, const GcOptions& o) {
  CollectionRequest req;
  req.dry_run = o.dry_run;
  if (!parse_duration(o.grace_period, req.grace_s))
    return fail("gc: --grace-period takes a duration such as 0, 15m or 1h");
  if (o.delete_untagged && !parse_duration(o.min_age, req.delete_untagged_after_s))
    return fail("gc: --min-age takes a duration such as 1h or 7d");
  if (!o.delete_untagged && o.min_age_given) return fail("gc: --min-age goes with --delete-untagged");
  if (!open_store(g)) return 1;
  struct sigaction sa = {};
  sa.sa_handler = on_interrupt;
  sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: poll() returns at once
  bool tty = !o.no_progress && !g.json && isatty(STDERR_FILENO);
  CollectorReport report;
  if (!collect_through_server(g, req, tty, report)) report = collect_here(g, req, tty);
  if (report.text.empty())
    return fail(s_interrupted ? "gc: cancelled before it started"
                              : "gc: the collector stopped unexpectedly");
  if (report.text[0] != '0') return fail("gc: " + report.text.substr(1));
  std::string summary = report.text.substr(1);
  if (g.json)
    std::printf("%s\n", summary.c_str());
  else
    std::printf("%s\n", gc_summary_line(summary.c_str()).c_str());
  return 0;
}

int run_gc_status(const GlobalOptions& g) {
  if (!open_store(g)) return 1;
  const char* json = reg_gc_progress_json();
  GcSnapshot s = parse_gc_snapshot(json);
  // The snapshot says running until it ages out; only a collector that is alive holds the
  // collector lock.
  const bool dead = s.running && !collector_running(g.root);
  if (g.json) {
    std::string text = json;
    if (dead) text.replace(text.find("\"running\":true"), 14, "\"running\":false,\"interrupted\":true");
    return std::printf("%s\n", text.c_str()) < 0;
  }
  if (dead) {
    std::printf("not running: the last collection stopped without finishing: %s\n",
                gc_progress_line(s, 30).c_str());
    return 0;
  }
  if (!s.running && s.phase == "idle") {
    std::printf("no collection is running\n");
    return 0;
  }
  std::printf("%s%s%s\n", s.running ? "running: " : "finished: ", gc_progress_line(s, 30).c_str(),
              s.cancelled ? " (cancelled)" : "");
  return 0;
}

int run_gc_cancel(const GlobalOptions& g) {
  if (!open_store(g)) return 1;
  if (reg_gc_cancel() != 0) return fail_with_library("gc cancel");
  std::printf("cancel requested\n");
  return 0;
}

}  // namespace tool
