// A bounded soak of the registry server on loopback: pushers, pullers and a deleter against one
// server while `tarnwick-registry gc` runs in other processes, for a set time. Passes when no
// request got a 5xx other than the documented 503, every acknowledged push that was not deleted
// pulls whole at the end, the checker finds the store sound, and the server's memory and open
// files are flat.
//
// Usage: server_soak [SECONDS]   (default $TARNWICK_SOAK_SECONDS, else 180)
#include "server_process.h"
#include "soak_workload.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPushers = 4, kPullers = 4;
constexpr size_t kKeepLive = 40;  // the deleter leaves at least this many pushes in place
constexpr int kGcEverySeconds = 10;

struct Sample {
  long rss_kib = 0;
  int fds = 0, threads = 0;
};

Sample sample(int pid) {
  Sample s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:")
      status >> s.rss_kib;
    else if (key == "Threads:")
      status >> s.threads;
  }
  for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    (void)e;
    ++s.fds;
  }
  return s;
}

void print_sample(const char* when, const Sample& s) {
  std::printf("  %-22s RSS %6.1f MiB  open files %3d  threads %3d\n", when, s.rss_kib / 1024.0,
              s.fds, s.threads);
}

struct GcTally {
  int runs = 0, refused = 0, failed = 0;
  long long deleted = 0;
};

// One collection in its own process, as an operator runs it beside the server. The library
// refuses while a chunked upload is open ("uploads in progress"), so a refused attempt is tried
// again shortly, until one runs.
void collect_once(const std::string& root, const std::atomic<bool>& stop, GcTally& gc) {
  for (int attempt = 0; attempt < 100 && !stop; ++attempt) {
    std::string out, err;
    int rc = tooltest::run_tool({"--root", root, "--json", "gc", "--no-progress"}, &out, &err);
    if (rc == 0) {
      ++gc.runs;
      size_t at = out.find("\"blobs_deleted\":");
      if (at != std::string::npos) gc.deleted += std::atoll(out.c_str() + at + 16);
      return;
    }
    if (err.find("uploads in progress") == std::string::npos) {
      ++gc.failed;
      std::fprintf(stderr, "soak: gc failed: %s\n", err.c_str());
      return;
    }
    ++gc.refused;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void collect_until(const std::string& root, const std::atomic<bool>& stop, GcTally& gc) {
  while (!stop) {
    for (int i = 0; i < kGcEverySeconds * 10 && !stop; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    collect_once(root, stop, gc);
  }
}

int seconds_from(int argc, char** argv) {
  if (argc > 1) return std::atoi(argv[1]);
  const char* env = std::getenv("TARNWICK_SOAK_SECONDS");
  return env && *env ? std::atoi(env) : 180;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = seconds_from(argc, argv);
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: server_soak [SECONDS]\n");
    return 2;
  }
  std::string dir = tooltest::make_temp_dir(), root = dir + "/store";
  tooltest::ServerProcess server(root, {}, {"--gc-wait-ms", "2000"});
  soak::Tally tally;
  soak::Ledger ledger;
  Sample idle_start = sample(server.pid()), warm, loaded;
  std::atomic<bool> stop{false};
  std::atomic<int> next_id{0};
  std::vector<std::thread> threads;
  auto loop = [&](unsigned seed, auto body) {
    threads.emplace_back([&, seed, body] {
      soak::Worker w(server.port(), tally, ledger, seed);
      while (!stop) body(w);
    });
  };
  for (int i = 0; i < kPushers; ++i)
    loop(100 + i, [&](soak::Worker& w) { w.push_image(next_id++); });
  for (int i = 0; i < kPullers; ++i) loop(200 + i, [](soak::Worker& w) { w.pull_one(); });
  loop(300, [](soak::Worker& w) {
    w.delete_one(kKeepLive);
    w.list_once();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  GcTally gc;
  std::thread collector([&] { collect_until(root, stop, gc); });

  // Samples at every tenth of the run; the first one after warm-up is the reference.
  auto start = Clock::now();
  std::vector<std::pair<int, Sample>> series;
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(start + std::chrono::seconds(s));
    if (s * 10 % seconds < 10 || s == seconds) series.emplace_back(s, sample(server.pid()));
  }
  warm = series.front().second;
  loaded = series.back().second;
  stop = true;
  for (auto& t : threads) t.join();
  collector.join();
  threads.clear();

  // Every acknowledged push not deliberately deleted pulls whole, after every collection.
  std::string out, err;
  int last_gc = tooltest::run_tool({"--root", root, "--json", "gc", "--no-progress"}, &out, &err);
  soak::Worker checker(server.port(), tally, ledger, 1);
  size_t live = 0, lost = 0, deleted = 0;
  for (const soak::Push& p : ledger.all()) {
    if (p.state != soak::State::live) {
      ++deleted;
      continue;
    }
    ++live;
    std::string failure = checker.verify(p);
    if (!failure.empty() && ++lost <= 10)
      std::fprintf(stderr, "soak: lost %s:%s: %s\n", p.repo.c_str(), p.tag.c_str(),
                   failure.c_str());
  }
  std::this_thread::sleep_for(std::chrono::seconds(6));  // kept-alive connections idle out (5 s)
  Sample idle_end = sample(server.pid());
  int stop_rc = server.stop();
  int fsck = tooltest::run_tool({"--root", root, "fsck"}, &out, &err);

  long long errors_5xx = tally.count_of(500, 502) + tally.count_of(504, 599);
  std::printf("soak: %d s, %d pushers, %d pullers, 1 deleter, gc every %d s\n", seconds, kPushers,
              kPullers, kGcEverySeconds);
  std::printf("  requests %lld:", tally.requests());
  for (auto [status, n] : tally.statuses()) std::printf(" %d=%lld", status, n);
  std::printf("\n  acknowledged pushes %zu (deleted %zu, verified %zu, lost %zu)\n", live + deleted,
              deleted, live - lost, lost);
  std::printf(
      "  collections %d ran (%lld blobs deleted), %d attempts refused (uploads in progress), %d "
      "failed; final gc rc %d\n",
      gc.runs, gc.deleted, gc.refused, gc.failed, last_gc);
  std::printf("  5xx other than 503: %lld; unexpected outcomes: %zu; fsck rc %d; server exit %d\n",
              errors_5xx, tally.problem_count(), fsck, stop_rc);
  for (const std::string& p : tally.problems()) std::printf("    unexpected: %s\n", p.c_str());
  print_sample("idle, start", idle_start);
  print_sample("loaded, after warm-up", warm);
  print_sample("loaded, end", loaded);
  print_sample("idle, end", idle_end);
  std::printf("  RSS MiB under load by second:");
  for (auto& [s, v] : series) std::printf(" %d:%.1f", s, v.rss_kib / 1024.0);
  std::printf("\n");
  // Flat: the loaded process does not grow past its warmed-up size by more than allocator
  // slack, and every descriptor opened under load is closed again once idle.
  bool rss_flat = loaded.rss_kib <= warm.rss_kib + warm.rss_kib / 4 + 16 * 1024;
  bool fds_flat = idle_end.fds <= idle_start.fds;
  bool ok = errors_5xx == 0 && tally.problem_count() == 0 && lost == 0 && gc.failed == 0 &&
            fsck == 0 && stop_rc == 0 && rss_flat && fds_flat && live + deleted > 0;
  std::printf("soak: %s%s%s\n", ok ? "PASS" : "FAIL", rss_flat ? "" : " (memory grew)",
              fds_flat ? "" : " (open files grew)");
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
