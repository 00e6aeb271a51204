// Crash safety: a child process pushes, deletes tags and manifests, collects and applies
// retention on one store, one operation after another, and tells the parent about each
// operation before it starts it and again once it returned success. The parent kills the
// child with SIGKILL at a random moment, so nearly every kill lands inside an operation.
// After each round the checker must find no corrupt state, and every acknowledged operation
// must still be in effect.
//
// The parent keeps a model of what must be stored. Acknowledged operations change it exactly;
// the one operation a kill cut short makes the entries it touches uncertain (old or new
// state), and reading the store settles them again before the next round. One child runs at a
// time, as the library promises nothing about a collection that races a push (the server
// serialises those with its store lock).
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "core/context.h"
#include "support/crash_check.h"
#include "support/fsck_helpers.h"

namespace {

using namespace regtest;
using Clock = std::chrono::steady_clock;

// The whole test stops after this long or this many rounds, whichever comes first.
struct CrashBudget {
  std::chrono::seconds time;
  int rounds;
};
constexpr CrashBudget kBudget{std::chrono::seconds(40), 500};

// The kill comes a random 0..kMaxKillDelayUs after the child announced its k-th operation
// (k random, 1..kMaxOpsPerChild): so it lands inside operations of every kind, in proportion
// to how often they run rather than to how long they take.
constexpr int kMaxOpsPerChild = 8;
constexpr int kMaxKillDelayUs = 3000;
constexpr auto kChildTimeout = std::chrono::seconds(5);
const char* const kRepos[] = {"alpha", "team/beta", "gamma"};
const char* const kTags[] = {"latest", "v1", "v2", "v3", "rc"};

// ---- The child ----------------------------------------------------------------------------

class Child {
 public:
  Child(int fd, Model m, std::uint32_t seed)
      : fd_(fd), model_(std::move(m)), rng_(seed), seed_(seed) {}

  [[noreturn]] void run() {
    reg::s_seed = seed_ | 1;  // upload ids of their own, not those of the last child
    for (;;) {
      const int pick = static_cast<int>(rng_() % 100);
      if (pick < 40)
        push();
      else if (pick < 55)
        delete_tag_op();
      else if (pick < 70)
        delete_digest_op();
      else if (pick < 85)
        collect();
      else
        retention();
    }
  }

 private:
  void say(const std::string& line) {
    const std::string l = line + "\n";
    if (write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(3);
  }
  [[noreturn]] void fail(const std::string& what) {
    say("F " + what + ": " + reg_storage_last_error());
    _exit(1);
  }
  void begin(const std::string& op) {
    op_ = split("B " + op);
    say("B " + op);
  }
  void ack(const std::string& extra = "") {
    const std::string line = extra.empty() ? "A" : "A " + extra;
    say(line);
    apply_acked(model_, op_, split(line));
  }

  std::string blob_content() {
    // Shared layers exercise "blob stored already"; the rest are unique.
    if (rng_() % 2) {
      const int i = static_cast<int>(rng_() % 4);
      return std::string(static_cast<std::size_t>(16'384 << i), static_cast<char>('a' + i));
    }
    std::string s = "unique " + std::to_string(seed_) + " " + std::to_string(++counter_) + " ";
    s.resize(s.size() + rng_() % 65'536, static_cast<char>('0' + counter_ % 10));
    return s;
  }

  std::string upload(const std::string& data) {
    const std::string d = digest_of(data);
    begin("BLOB " + d);
    char id[37], out[72];
    if (reg_blob_start_upload(id) != 0) fail("start upload");
    for (std::size_t off = 0; off < data.size() || off == 0; off += 16'384) {
      const std::size_t n = std::min<std::size_t>(16'384, data.size() - off);
      if (reg_blob_append_chunk(id, data.data() + off, n) != 0) fail("append");
      if (n == 0) break;
    }
    if (reg_blob_finish_upload(id, d.c_str(), out) != 0) fail("finish");
    ack();
    return d;
  }

  void push() {
    std::vector<std::string> blobs{
        upload("{\"config\":" + std::to_string(seed_) + "," + std::to_string(++counter_) + "}")};
    for (int i = 0, n = 1 + static_cast<int>(rng_() % 2); i < n; ++i)
      blobs.push_back(upload(blob_content()));
    const std::string body = image_body(blobs);
    const std::string repo = kRepos[rng_() % 3];
    const std::string ref = rng_() % 5 == 0 ? digest_of(body) : kTags[rng_() % 5];
    std::string line = "PUSH " + repo + " " + ref + " " + digest_of(body);
    for (const auto& b : blobs) line += " " + b;
    begin(line);
    char d[72];
    if (reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, d) != 0)
      fail("put");
    ack();
  }

  void delete_tag_op() {
    if (model_.tags.empty()) return push();
    auto it = std::next(model_.tags.begin(), static_cast<long>(rng_() % model_.tags.size()));
    const Key k = it->first;
    begin("DELTAG " + k.first + " " + k.second);
    if (reg_manifest_delete(k.first.c_str(), k.second.c_str()) != 0) fail("delete tag");
    ack();
  }

  void delete_digest_op() {
    if (model_.manifests.empty()) return push();
    auto it =
        std::next(model_.manifests.begin(), static_cast<long>(rng_() % model_.manifests.size()));
    const Key k = it->first;
    begin("DELDIG " + k.first + " " + k.second);
    if (reg_manifest_delete(k.first.c_str(), k.second.c_str()) != 0) fail("delete digest");
    ack();
  }

  void collect() {
    begin("GC");
    if (!reg_gc_json(0)) fail("gc");
    ack();
  }

  // Announces the selection of a dry run first: the real run selects the same tags, and the
  // parent must know which ones a kill may leave half deleted.
  void retention() {
    const int keep = 1 + static_cast<int>(rng_() % 3), latest = static_cast<int>(rng_() % 2);
    const char* dry = reg_retention_json(1, keep, 0, latest, nullptr);
    if (!dry) fail("retention dry run");
    const std::string selected = retention_deleted_pairs(dry);
    begin("RET " + std::to_string(keep) + " " + std::to_string(latest) + " " + selected);
    const char* real = reg_retention_json(0, keep, 0, latest, nullptr);
    if (!real) fail("retention");
    const std::string deleted = retention_deleted_pairs(real);
    if (deleted != selected) fail("retention deleted " + deleted + " after selecting " + selected);
    ack(deleted);
  }

  int fd_;
  Model model_;
  std::mt19937 rng_;
  std::uint32_t seed_;
  int counter_ = 0;
  std::vector<std::string> op_;
};

// ---- The parent ---------------------------------------------------------------------------

struct Figures {
  int rounds = 0, kills = 0, mid_op = 0, acked = 0;
  std::map<std::string, int> acked_by_kind, cut_by_kind;
  std::map<std::string, int> warning_rounds;  // rounds after which the checker saw each warning
};

class CrashTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    root_ = (mem_.path() / "store").string();
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
  }

  MemoryTempDir mem_;

  // The child that made them is dead: age its uploads so that the next collection may run
  // (and removes them as stale) instead of refusing for 900 seconds.
  void age_uploads() {
    for (const auto& e : fs::directory_iterator(rootp() / "uploads")) set_age(e.path(), 1000);
  }

  // Reads what the child says until it has begun its `k`-th operation (or ended, or hung),
  // without ever blocking the child on a full pipe.
  static void read_until_begun(int fd, int k, std::string& out) {
    const auto end = Clock::now() + kChildTimeout;
    char buf[4096];
    int begun = 0;
    while (begun < k) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return;
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t i = 0; i < n; ++i) {
        begun += buf[i] == 'B' && (out.empty() || out.back() == '\n');
        out.push_back(buf[i]);
      }
    }
  }

  static void read_rest(int fd, std::string& out) {
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
      out.append(buf, static_cast<std::size_t>(n));
  }

  void settle(Model& m, const Doubt& d) {
    for (const auto& problem : regtest::settle(m, d, {std::begin(kRepos), std::end(kRepos)}))
      ADD_FAILURE() << problem;
  }

  // Replays what the child said; returns false when it reported an unexpected failure.
  bool replay(const std::string& said, Model& m, Doubt& d, Figures& f) {
    std::istringstream in(said);
    std::vector<std::string> pending;
    for (std::string line; std::getline(in, line);) {
      if (in.eof()) break;  // a line without its newline was cut by the kill: never sent whole
      const std::vector<std::string> t = split(line);
      if (t.empty()) continue;
      if (t[0] == "F") {
        ADD_FAILURE() << "child: " << line;
        return false;
      }
      if (t[0] == "B") pending = t;
      if (t[0] == "A" && !pending.empty()) {
        apply_acked(m, pending, t);
        ++f.acked;
        ++f.acked_by_kind[pending[1]];
        pending.clear();
      }
    }
    if (!pending.empty()) {
      widen(m, pending, d);
      ++f.mid_op;
      ++f.cut_by_kind[pending[1]];
    }
    return true;
  }
};

TEST_F(CrashTest, KilledOperationsLeaveASoundStoreAndLoseNothingAcknowledged) {
  const std::uint32_t seed = static_cast<std::uint32_t>(std::random_device{}());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  Model model;
  Figures fig;
  const auto start = Clock::now();
  while (fig.rounds < kBudget.rounds && Clock::now() - start < kBudget.time) {
    ++fig.rounds;
    age_uploads();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::uint32_t child_seed = static_cast<std::uint32_t>(rng());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      Child(fds[1], model, child_seed).run();
    }
    close(fds[1]);
    std::string said;
    read_until_begun(fds[0], 1 + static_cast<int>(rng() % kMaxOpsPerChild), said);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxKillDelayUs));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    read_rest(fds[0], said);
    close(fds[0]);
    fig.kills += WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;

    Doubt doubt;
    ASSERT_TRUE(replay(said, model, doubt, fig)) << "round " << fig.rounds;
    settle(model, doubt);
    const reg::FsckReport r = run_fsck();
    ASSERT_TRUE(r.sound()) << "round " << fig.rounds << "\n" << joined(finding_lines(r, true));
    ASSERT_EQ(r.counts.manifests, static_cast<std::int64_t>(model.manifests.size()))
        << "round " << fig.rounds;
    std::set<std::string> kinds;
    for (const auto& f : r.findings) kinds.insert(reg::fsck_kind_name(f.kind));
    for (const auto& k : kinds) ++fig.warning_rounds[k];
    if (HasFailure()) break;
  }
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "crash test: %d rounds, %d kills (%d inside an operation), %d acknowledged operations in "
      "%.1f s\n",
      fig.rounds, fig.kills, fig.mid_op, fig.acked, secs);
  for (const auto& [kind, n] : fig.acked_by_kind)
    std::printf("  %-6s acknowledged %4d, cut short by the kill %3d\n", kind.c_str(), n,
                fig.cut_by_kind[kind]);
  for (const auto& [kind, n] : fig.warning_rounds)
    std::printf("  warning %s after %d rounds\n", kind.c_str(), n);
  EXPECT_GE(fig.kills, fig.rounds * 9 / 10);
  EXPECT_GT(fig.acked_by_kind["PUSH"], 0);
  EXPECT_GT(fig.acked_by_kind["GC"], 0);
  EXPECT_GT(fig.acked_by_kind["RET"], 0);
}

}  // namespace
