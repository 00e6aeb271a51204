// Garbage collection: marking, sweeping, uploads, cancellation, and the one rule that matters
// most, proven under injected faults and allocation failures: a blob that a stored manifest
// names is never deleted, and a run whose mark is incomplete changes nothing.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <new>
#include <regex>
#include <set>

#include "platform/fault.h"
#include "reg_storage.h"
#include "support/store_files.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // the replaced operators pair with malloc

// Allocation failure injection: the N-th allocation after arming throws (or returns null for
// the nothrow forms). Replaces the global operators for this test program only.
namespace {
std::atomic<long> g_alloc_countdown{0};  // 0: disarmed
std::atomic<long> g_alloc_failed{0};
bool alloc_should_fail() {
  long n = g_alloc_countdown.load(std::memory_order_relaxed);
  if (n <= 0) return false;
  if (g_alloc_countdown.fetch_sub(1) == 1) {
    ++g_alloc_failed;
    return true;
  }
  return false;
}
void* checked_malloc(std::size_t n) { return std::malloc(n ? n : 1); }
}  // namespace

void* operator new(std::size_t n) {
  void* p = alloc_should_fail() ? nullptr : checked_malloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return alloc_should_fail() ? nullptr : checked_malloc(n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace regtest;
using reg::fault::Op;

// The summary without its elapsed time, which no test can predict.
std::string without_elapsed(const std::string& s) {
  return std::regex_replace(s, std::regex(",\"elapsed_ms\":\\d+"), "");
}

std::string summary(bool dry, int total, int reachable, int deleted, long long bytes, int stale,
                    long long stale_bytes, bool cancelled = false) {
  return "{\"dry_run\":" + std::string(dry ? "true" : "false") +
         ",\"blobs_total\":" + std::to_string(total) +
         ",\"blobs_reachable\":" + std::to_string(reachable) +
         ",\"blobs_deleted\":" + std::to_string(deleted) +
         ",\"bytes_freed\":" + std::to_string(bytes) +
         ",\"blobs_kept\":" + std::to_string(total - deleted) +
         ",\"stale_uploads\":" + std::to_string(stale) +
         ",\"stale_upload_bytes\":" + std::to_string(stale_bytes) +
         ",\"cancelled\":" + (cancelled ? "true" : "false") + "}";
}

// A small store: what manifests name, and what nothing names.
struct SmallStore {
  std::map<std::string, std::string> named;    // digest -> bytes
  std::map<std::string, std::string> garbage;  // digest -> bytes
};

class GcTest : public StoreTest {
 protected:
  fs::path blob_file(const std::string& digest) const {
    const std::string hex = hex_of(digest);
    return rootp() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
  }
  std::string blob(const std::string& data, SmallStore& s, bool named) {
    const std::string d = write_blob_file(rootp(), data);
    (named ? s.named : s.garbage)[d] = data;
    return d;
  }
  SmallStore build_small_store() {
    SmallStore s;
    const auto c1 = blob("config one", s, true), l1 = blob("layer one", s, true),
               l2 = blob("layer two", s, true);
    const auto m1 = write_manifest_files(rootp(), "team/app", image_manifest(c1, {l1, l2}), "v1");
    const auto c2 = blob("config two", s, true), l3 = blob("layer three", s, true);
    write_manifest_files(rootp(), "solo", image_manifest(c2, {l3}));  // untagged: still a root
    const auto child = blob("an index child stored as a blob", s, true);
    write_manifest_files(rootp(), "team", index_manifest({child, m1}), "multi");
    for (int i = 0; i < 4; ++i) blob("garbage " + std::to_string(i), s, false);
    return s;
  }
  void expect_named_intact(const SmallStore& s) {
    for (const auto& [d, data] : s.named) EXPECT_EQ(read_all(blob_file(d)), data) << d;
  }
  void reset_store() {
    fs::remove_all(rootp());
    ASSERT_EQ(reg_storage_init(root().c_str()), 0);
  }
  // Puts back what a run may have removed: unnamed blobs and the GC state.
  void restore(const SmallStore& s) {
    fs::remove_all(rootp() / "_gc");
    for (const auto& [d, data] : s.garbage)
      if (!fs::exists(blob_file(d))) write_all(blob_file(d), data);
  }
};

TEST_F(GcTest, EmptyStoreRunWritesSummaryAndLastRun) {
  const char* text = reg_gc_json(0);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  EXPECT_EQ(without_elapsed(text), summary(false, 0, 0, 0, 0, 0, 0));
  EXPECT_TRUE(std::regex_match(read_all(rootp() / "_gc" / "last_run"),
                               std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ 0 0\n")));
  EXPECT_STREQ(reg_storage_last_error(), "");
  const std::string progress = reg_gc_progress_json();
  EXPECT_NE(
      progress.find("{\"running\":false,\"phase\":\"done\",\"blobs_scanned\":0,\"blobs_total\":0,"),
      std::string::npos);
}

TEST_F(GcTest, DryRunCountsAndChangesNothing) {
  const SmallStore s = build_small_store();
  write_all(rootp() / "uploads" / "0a.part", "12345");
  set_age(rootp() / "uploads" / "0a.part", 5000);
  const auto before = store_tree_without_gc(rootp());
  long long garbage_bytes = 0;
  for (const auto& [d, data] : s.garbage) garbage_bytes += static_cast<long long>(data.size());
  const char* text = reg_gc_json(1);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  EXPECT_EQ(without_elapsed(text), summary(true, 10, 6, 4, garbage_bytes, 1, 5));
  EXPECT_EQ(store_tree_without_gc(rootp()), before);
  EXPECT_FALSE(fs::exists(rootp() / "_gc" / "last_run"));
}

TEST_F(GcTest, RunDeletesExactlyWhatNoManifestNames) {
  SmallStore s;
  const auto cfg = blob("cfg", s, true), lay = blob("lay", s, true), twice = blob("twice", s, true);
  const auto dup = blob("named by a second layers key", s, true);
  const auto subject = blob("only a subject", s, false),
             annotated = blob("only an annotation", s, false);
  const auto upper = blob("named in uppercase", s, false), nested = blob("nested deeper", s, false);
  std::string upper_digest = upper;
  for (std::size_t i = 7; i < upper_digest.size(); ++i)
    upper_digest[i] = static_cast<char>(std::toupper(upper_digest[i]));
  write_manifest_files(rootp(), "r", image_manifest(cfg, {}));
  write_manifest_files(rootp(), "r",
                       "{\"config\":\"" + lay + "\",\"layers\":[{\"digest\":\"" + lay +
                           "\"},{\"digest\":\"" + twice + "\"},{\"digest\":\"" + twice +
                           "\"},{\"digest\":\"" + upper_digest + "\"},{\"x\":{\"digest\":\"" +
                           nested + "\"}}],\"layers\":[{\"digest\":\"" + dup +
                           "\"}],\"subject\":{\"digest\":\"" + subject +
                           "\"},\"annotations\":{\"a\":\"" + annotated + "\"}}");
  write_all(rootp() / "blobs" / "sha256" / "ab" / "not-a-blob", "x");
  write_all(rootp() / "blobs" / "sha256" / "stray", "y");
  const char* text = reg_gc_json(0);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  long long freed = 0;
  for (const auto& [d, data] : s.garbage) {
    freed += static_cast<long long>(data.size());
    EXPECT_FALSE(fs::exists(blob_file(d))) << data;
  }
  for (const auto& f : fs::directory_iterator(rootp() / "blobs" / "sha256"))
    if (f.is_directory()) {
      EXPECT_FALSE(fs::is_empty(f.path())) << "an emptied fan-out directory stays: " << f.path();
    }
  EXPECT_EQ(without_elapsed(text), summary(false, 8, 4, 4, freed, 0, 0));
  expect_named_intact(s);
  EXPECT_TRUE(fs::exists(rootp() / "blobs" / "sha256" / "ab" / "not-a-blob"));
  EXPECT_TRUE(fs::exists(rootp() / "blobs" / "sha256" / "stray"));
  EXPECT_EQ(read_all(rootp() / "_gc" / "last_run").substr(20),
            " " + std::to_string(freed) + " 4\n");
}

// A body that is no JSON object (an empty file a crash left) or that does not hash to its name
// may be an image whose tag still exists: the mark stops, names it, and nothing is deleted.
TEST_F(GcTest, DamagedManifestBodyStopsTheCollection) {
  const std::string cfg = put_blob("config of a damaged image"), loose = put_blob("loose");
  for (const std::string& damage :
       {std::string(), "not json " + cfg, std::string("{\"config\":{\"digest\":\"x\"}}")}) {
    SCOPED_TRACE(damage);
    const std::string good = image_manifest(cfg, {});
    const std::string d = write_manifest_files(rootp(), "r", good, "t");
    write_all(rootp() / "repositories" / "r" / "_manifests" / hex_of(d), damage);
    EXPECT_EQ(reg_gc_json(0), nullptr);
    EXPECT_EQ(std::string(reg_storage_last_error()), "gc mark incomplete: damaged manifest r@" + d);
    EXPECT_TRUE(fs::exists(blob_file(cfg)));
    EXPECT_TRUE(fs::exists(blob_file(loose)));
    fs::remove_all(rootp() / "repositories" / "r");
  }
}

TEST_F(GcTest, MarkSeesRepositoriesAndManifestsBeyondListingLimits) {
  SmallStore s;
  for (int i = 0; i < 1030; ++i) {  // past discovery's 1024 names
    const auto c = blob("repo config " + std::to_string(i), s, true);
    write_manifest_files(rootp(), "many/r" + std::to_string(i), image_manifest(c, {}), "", true);
  }
  std::string deep = "d1";
  for (int i = 2; i <= 11; ++i) deep += "/d" + std::to_string(i);  // past nine levels
  write_manifest_files(rootp(), deep, image_manifest(blob("deep config", s, true), {}));
  for (int i = 0; i < 300; ++i)  // a _manifests directory of 600 entries and more
    write_manifest_files(rootp(), "wide",
                         image_manifest(blob("wide config " + std::to_string(i), s, true), {}));
  blob("unnamed", s, false);
  const char* text = reg_gc_json(0);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  EXPECT_NE(std::string(text).find("\"blobs_reachable\":1331,\"blobs_deleted\":1,"),
            std::string::npos)
      << text;
  expect_named_intact(s);
}

struct UploadCase {
  const char* name;
  std::string file;  // ending in '/' makes a directory
  std::int64_t age;
  const char* outcome;  // "refused", "stale" or "ignored"
};

class GcUploads : public GcTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(GcUploads, AgeAndNameDecide) {
  const UploadCase& c = GetParam();
  const fs::path p = rootp() / "uploads" / c.file;
  if (c.file.back() == '/')
    fs::create_directories(p);
  else
    write_all(p, "abc");
  write_all(rootp() / "_gc" / "cancel", "");
  wait_for_fresh_second();
  set_age(p, c.age);
  const auto before = snapshot_tree(rootp());
  const char* text = reg_gc_json(0);
  if (std::string(c.outcome) == "refused") {
    EXPECT_EQ(text, nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "uploads in progress");
    EXPECT_EQ(snapshot_tree(rootp()), before);  // no snapshot, marker left alone
    return;
  }
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  const bool stale = std::string(c.outcome) == "stale";
  EXPECT_EQ(without_elapsed(text), summary(false, 0, 0, 0, 0, stale ? 1 : 0, stale ? 3 : 0));
  EXPECT_EQ(fs::exists(p), !stale);
  EXPECT_FALSE(fs::exists(rootp() / "_gc" / "cancel"));  // a request from before is discarded
}

const std::string kUuid = "0123abcd-0123-4567-89ab-0123456789ab";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, GcUploads,
    ::testing::Values(UploadCase{"PartAt899IsInProgress", kUuid + ".part", 899, "refused"},
                      UploadCase{"PartAt900IsStale", kUuid + ".part", 900, "stale"},
                      UploadCase{"AnyLongerPartName", "x.part", 900, "stale"},
                      UploadCase{"FutureTimeIsInProgress", "x.part", -100, "refused"},
                      UploadCase{"FinishingAt899IsInProgress", kUuid + ".finishing", 899,
                                 "refused"},
                      UploadCase{"FinishingAt900IsStale", kUuid + ".finishing", 900, "stale"},
                      UploadCase{"FinishingNeedsAnUploadId", "abc.finishing", 10, "ignored"},
                      UploadCase{"BarePartNameIsNoUpload", ".part", 10, "ignored"},
                      UploadCase{"DirectoryIsNoUpload", "x.part/", 10, "ignored"},
                      UploadCase{"OtherNamesAreNoUploads", "x.tmp", 10, "ignored"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GcTest, InProgressCheckSeesEveryUploadAndRefusalStillDropsStale) {
  for (int i = 0; i < 600; ++i) {
    const fs::path p = rootp() / "uploads" / ("u" + std::to_string(i) + ".part");
    write_all(p, "x");
    set_age(p, 3600);
  }
  write_all(rootp() / "uploads" / "zz-busy.part", "x");  // written just now
  EXPECT_EQ(reg_gc_json(0), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "uploads in progress");
  EXPECT_EQ(snapshot_tree(rootp() / "uploads"),
            (std::map<std::string, std::string>{{"zz-busy.part", "x"}}));
  EXPECT_FALSE(fs::exists(rootp() / "_gc"));
}

TEST_F(GcTest, UnremovableBlobIsKept) {
  const SmallStore s = build_small_store();
  reg::fault::arm(Op::remove, 1, EACCES);
  const char* text = reg_gc_json(0);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  EXPECT_NE(std::string(text).find("\"blobs_deleted\":3,"), std::string::npos) << text;
  EXPECT_NE(std::string(text).find("\"blobs_kept\":7,"), std::string::npos) << text;
  int left = 0;
  for (const auto& [d, data] : s.garbage) left += fs::exists(blob_file(d));
  EXPECT_EQ(left, 1);
  expect_named_intact(s);
}

TEST_F(GcTest, UnreadableBodyFailsTheRunAndChangesNothing) {
  const SmallStore s = build_small_store();
  const fs::path stale = rootp() / "uploads" / "old.part";
  write_all(stale, "x");
  set_age(stale, 5000);
  // A manifest body that is no regular file cannot be read.
  const auto before = store_tree_without_gc(rootp());
  const std::string hex(64, 'e');
  const fs::path fifo = rootp() / "repositories" / "solo" / "_manifests" / hex;
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // Opening a FIFO for reading waits for a writer: provide one that goes away at once.
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = open(fifo.c_str(), O_WRONLY);
    if (fd >= 0) close(fd);
    _exit(0);
  }
  EXPECT_EQ(reg_gc_json(0), nullptr);
  EXPECT_EQ(std::string(reg_storage_last_error()),
            "gc mark incomplete: cannot read manifest solo@sha256:" + hex);
  const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // in case the run never opened it
  waitpid(writer, nullptr, 0);
  if (release >= 0) close(release);
  fs::remove(fifo);
  EXPECT_EQ(store_tree_without_gc(rootp()), before);  // the stale upload too
  const std::string progress = reg_gc_progress_json();
  EXPECT_EQ(progress.rfind("{\"running\":false,\"phase\":\"done\",", 0), 0u) << progress;
  EXPECT_FALSE(fs::exists(rootp() / "_gc" / "last_run"));
}

// Fails the N-th platform call of a collection for N = 1, 2, ... until a run sees no fault.
// Every run either succeeds with every named blob intact, or fails; a failed mark leaves the
// store as it was.
TEST_F(GcTest, FaultSweepNeverDeletesANamedBlob) {
  std::set<std::string> messages;
  const SmallStore s = build_small_store();
  const auto before = store_tree_without_gc(rootp());
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    restore(s);
    ASSERT_EQ(store_tree_without_gc(rootp()), before);
    reg::fault::arm(Op::any, n, EIO);
    const char* text = reg_gc_json(0);
    const bool fired = reg::fault::fired() > 0;
    reg::fault::disarm();
    expect_named_intact(s);
    // A failed sync comes after the deletions, which stay done.
    if (!text && std::string(reg_storage_last_error()) != "sync collection failed") {
      const std::string m = reg_storage_last_error();
      ASSERT_EQ(m.rfind("gc mark incomplete: ", 0), 0u) << m;
      messages.insert(m);
      EXPECT_EQ(store_tree_without_gc(rootp()), before);
      // The fault was spent in the mark, so the last snapshot went out.
      EXPECT_EQ(
          std::string(reg_gc_progress_json()).rfind("{\"running\":false,\"phase\":\"done\",", 0),
          0u);
    }
    if (!fired) {
      ASSERT_NE(text, nullptr);
      break;
    }
  }
  for (const char* m : {"gc mark incomplete: cannot list repositories",
                        "gc mark incomplete: cannot list manifests of solo"})
    EXPECT_TRUE(messages.count(m)) << m;
  bool read_failure = false;
  for (const auto& m : messages)
    read_failure |= m.rfind("gc mark incomplete: cannot read manifest ", 0) == 0;
  EXPECT_TRUE(read_failure);
}

TEST_F(GcTest, AllocationFailureSweepNeverDeletesANamedBlob) {
  bool mark_failed = false;
  const SmallStore s = build_small_store();
  const auto before = store_tree_without_gc(rootp());
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    restore(s);
    g_alloc_failed = 0;
    g_alloc_countdown = n;
    const char* text = reg_gc_json(0);
    g_alloc_countdown = 0;
    expect_named_intact(s);
    if (!text) {
      const std::string m = reg_storage_last_error();
      ASSERT_TRUE(m == "gc mark incomplete: out of memory" || m == "out of memory") << m;
      if (m == "gc mark incomplete: out of memory") {
        mark_failed = true;
        EXPECT_EQ(store_tree_without_gc(rootp()), before);
        EXPECT_EQ(
            std::string(reg_gc_progress_json()).rfind("{\"running\":false,\"phase\":\"done\",", 0),
            0u);
      }
    }
    if (g_alloc_failed == 0) {
      ASSERT_NE(text, nullptr);
      break;
    }
  }
  EXPECT_TRUE(mark_failed);
}

// ---- Cancellation watched from another process ---------------------------------------------

struct Progress {
  bool running = false;
  std::string phase;
  long long scanned = 0, total = 0;
};

Progress parse_progress(const std::string& s) {
  Progress p;
  p.running = s.find("\"running\":true") != std::string::npos;
  const auto ph = s.find("\"phase\":\"");
  if (ph != std::string::npos) p.phase = s.substr(ph + 9, s.find('"', ph + 9) - ph - 9);
  auto num = [&](const char* key) {
    const auto k = s.find(key);
    return k == std::string::npos ? 0LL : std::stoll(s.substr(k + std::strlen(key)));
  };
  p.scanned = num("\"blobs_scanned\":");
  p.total = num("\"blobs_total\":");
  return p;
}

// Runs the collection in a child process; the summary (or "error: " and the message) comes
// back through a pipe.
class ChildGc {
 public:
  explicit ChildGc(int dry_run) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const char* t = reg_gc_json(dry_run);
      const std::string out =
          t ? std::string(t) : "error: " + std::string(reg_storage_last_error());
      if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
      _exit(0);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  bool finished() { return done_ || (done_ = waitpid(pid_, &status_, WNOHANG) == pid_); }
  // Stops the child; false when it had ended instead.
  bool stop() {
    kill(pid_, SIGSTOP);
    if (waitpid(pid_, &status_, WUNTRACED) == pid_ && WIFSTOPPED(status_)) return true;
    done_ = true;
    return false;
  }
  void resume() { kill(pid_, SIGCONT); }
  pid_t pid() const { return pid_; }
  std::string result() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;)
      out.append(buf, static_cast<std::size_t>(n));
    close(fd_);
    if (!done_) waitpid(pid_, &status_, 0);
    return out;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = 0;
  bool done_ = false;
};

class GcCancelTest : public GcTest {
 protected:
  // Many unnamed blobs, so that the sweep holds many check points, and some named ones.
  SmallStore build_sweep_store(int garbage) {
    SmallStore s = build_small_store();
    for (int i = 0; i < garbage; ++i) blob("more garbage " + std::to_string(i), s, false);
    return s;
  }
};

TEST_F(GcCancelTest, WatcherCancelsPartWayThroughTheSweep) {
  constexpr int kGarbage = 4096;
  bool cancelled_part_way = false;
  for (int attempt = 0; attempt < 5 && !cancelled_part_way; ++attempt) {
    reset_store();
    const SmallStore s = build_sweep_store(kGarbage);
    ChildGc gc(0);
    bool requested = false;
    while (!requested && !gc.finished()) {
      const Progress p = parse_progress(reg_gc_progress_json());
      if (!p.running || p.phase != "deleting") continue;
      // Stopped, the collector is at most a few hundred blobs past what it published: with
      // check points still ahead, the request is certain to be seen part-way.
      if (!gc.stop()) break;
      const Progress q = parse_progress(reg_gc_progress_json());
      if (q.running && q.scanned + 1024 < q.total) {
        EXPECT_EQ(reg_gc_cancel(), 0) << reg_storage_last_error();
        requested = true;
      }
      gc.resume();
      if (!requested) break;
    }
    const std::string out = gc.result();
    ASSERT_EQ(out.rfind("{", 0), 0u) << out;
    expect_named_intact(s);
    if (!requested) continue;
    cancelled_part_way = true;
    EXPECT_NE(out.find("\"cancelled\":true"), std::string::npos) << out;
    int left = 0;
    for (const auto& [d, data] : s.garbage) left += fs::exists(blob_file(d));
    const Progress done = parse_progress(reg_gc_progress_json());
    EXPECT_FALSE(done.running);
    EXPECT_EQ(done.phase, "done");
    EXPECT_GT(left, 0);
    EXPECT_LT(left, static_cast<int>(s.garbage.size()));
    EXPECT_NE(out.find("\"blobs_deleted\":" + std::to_string(s.garbage.size() - left) + ","),
              std::string::npos)
        << out;
    EXPECT_FALSE(fs::exists(rootp() / "_gc" / "cancel"));
    EXPECT_TRUE(fs::exists(rootp() / "_gc" / "last_run"));
  }
  EXPECT_TRUE(cancelled_part_way) << "the watcher never caught the sweep in five attempts";
}

TEST_F(GcCancelTest, WatcherCancelsDuringTheMarkAndNothingIsDeleted) {
  bool cancelled_in_mark = false;
  for (int attempt = 0; attempt < 5 && !cancelled_in_mark; ++attempt) {
    reset_store();
    SmallStore s = build_small_store();
    const std::string shared = blob("bulk config", s, true);
    for (int i = 0; i < 2000; ++i)  // a long mark: check points every 256 manifests
      write_manifest_files(rootp(), "bulk", image_manifest(shared, {}) + std::string(i, ' '), "",
                           true);
    const auto before = store_tree_without_gc(rootp());
    ChildGc gc(0);
    bool requested = false;
    while (!requested && !gc.finished()) {
      const Progress p = parse_progress(reg_gc_progress_json());
      if (p.running && p.phase == "walking" && p.total > 0) {
        EXPECT_EQ(reg_gc_cancel(), 0) << reg_storage_last_error();
        requested = true;
      }
    }
    const std::string out = gc.result();
    ASSERT_EQ(out.rfind("{", 0), 0u) << out;
    expect_named_intact(s);
    if (!requested || out.find("\"blobs_reachable\":0,") == std::string::npos)
      continue;  // too late: swept
    cancelled_in_mark = true;
    EXPECT_EQ(
        without_elapsed(out),
        summary(false, static_cast<int>(s.named.size() + s.garbage.size()), 0, 0, 0, 0, 0, true));
    EXPECT_EQ(store_tree_without_gc(rootp()), before);
    EXPECT_FALSE(fs::exists(rootp() / "_gc" / "cancel"));
    EXPECT_TRUE(fs::exists(rootp() / "_gc" / "last_run"));
    EXPECT_EQ(read_all(rootp() / "_gc" / "last_run").substr(20), " 0 0\n");
  }
  EXPECT_TRUE(cancelled_in_mark) << "the watcher never caught the mark in five attempts";
}

// ---- A store made through the API ----------------------------------------------------------

TEST_F(GcTest, StoreBuiltByPushesAndDeletionsKeepsEveryNamedBlob) {
  char id[37];
  if (reg_blob_start_upload(id) != 0 || reg_blob_cancel_upload(id) != 0 ||
      reg_repo_delete("absent") == 0 ||
      std::string(reg_storage_last_error()) == "not implemented" ||
      reg_manifest_delete("absent", "x") == 0 ||
      std::string(reg_storage_last_error()) == "not implemented" ||
      (reg_manifest_put(nullptr, nullptr, nullptr, 0, nullptr, nullptr),
       std::string(reg_storage_last_error()) == "not implemented"))
    GTEST_SKIP() << "uploads, manifest or repository deletion not available yet";
  std::map<std::string, std::string> data;  // digest -> bytes
  auto push_image = [&](const std::string& repo, const std::string& tag, int seed) {
    const std::string c = "config " + std::to_string(seed), l1 = "layer a " + std::to_string(seed),
                      l2 = "layer shared";
    for (const auto& b : {c, l1, l2}) data[put_blob(b)] = b;
    const std::string body = image_manifest(digest_of(c), {digest_of(l1), digest_of(l2)});
    char digest[72];
    EXPECT_EQ(
        reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(), nullptr, digest), 0)
        << reg_storage_last_error();
    return std::string(digest);
  };
  push_image("team/app", "v1", 1);
  const std::string v2 = push_image("team/app", "v2", 2);
  push_image("team/app", "v3", 3);
  push_image("other", "latest", 4);
  push_image("team/app", "v1", 5);  // v1 moves; its first manifest stays, untagged
  ASSERT_EQ(reg_manifest_delete("team/app", "v3"), 0)
      << reg_storage_last_error();  // only tag: manifest goes
  ASSERT_EQ(reg_manifest_delete("team/app", v2.c_str()), 0) << reg_storage_last_error();
  ASSERT_EQ(reg_repo_delete("other"), 0) << reg_storage_last_error();
  const char* text = reg_gc_json(0);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  std::set<std::string> named;
  for (const auto& e : fs::recursive_directory_iterator(rootp() / "repositories")) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.size() == 64 &&
        e.path().parent_path().filename() == "_manifests")
      for (const auto& [d, bytes] : data)
        if (read_all(e.path()).find(d) != std::string::npos) named.insert(d);
  }
  EXPECT_EQ(named.size(), 5u);  // configs and layers of pushes 1 and 5, and the shared layer
  for (const auto& [d, bytes] : data) {
    if (named.count(d))
      EXPECT_EQ(read_all(blob_file(d)), bytes) << bytes;
    else
      EXPECT_FALSE(fs::exists(blob_file(d))) << bytes;
  }
}

}  // namespace
