// Power cuts: every write path of the library runs once on a store under the power-cut model
// (support/power_cut.h), which keeps what a cut at each platform call would leave on the disk.
// For every call index the store is rebuilt from that image and read back: each operation
// that had returned success must be there whole (a removal must stay removed), the operation
// in progress may read as before or after, and the checker must find nothing corrupt. With
// syncing turned off the same cuts lose acknowledged operations.
#include <cstdio>
#include <set>

#include "core/durability.h"
#include "maintenance/gc_online.h"
#include "platform/call_counts.h"
#include "support/crash_check.h"
#include "support/power_cut.h"

namespace {

using namespace regtest;

const std::vector<std::string> kRepos = {"app", "gone", "keep"};

std::uint64_t calls_so_far() { return reg::platform::call_counts().total(); }

struct Recorded {
  std::vector<std::string> op, ack;
  std::uint64_t first = 0, last = 0;  // its platform calls
};

struct Figures {
  std::uint64_t cuts = 0, images = 0, lost = 0, unsound_cuts = 0;
  std::size_t ops = 0, syncs = 0;
  std::string first_problem;
};

class NoPushes : public reg::PushGate {
 public:
  bool hold(std::string&) override { return true; }
  void release() override {}
};

// Runs the operations, announcing each ("B ..." tokens as crash_model.h reads them) and
// acknowledging it once it returned success.
class Scenario {
 public:
  explicit Scenario(const fs::path& root) : root_(root) {}

  void run() {
    begin("INIT");
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    ack();
    const std::string v1 = push("app", "v1", "one");
    push("app", "v2", "two");
    const std::string untagged = push("app", "", "three");
    push_referrer("app", "sig", v1);
    push("app", "v1", "one moved");  // the tag moves
    remove("DELTAG app v2", "app", "v2");
    remove("DELDIG app " + untagged, "app", untagged);
    push("gone", "v1", "doomed");
    begin("REPODEL gone");
    ASSERT_EQ(reg_repo_delete("gone"), 0) << reg_storage_last_error();
    ack();
    const std::string loose = upload("a loose blob");
    begin("BLOBDEL " + loose);
    ASSERT_EQ(reg_blob_delete(loose.c_str()), 0) << reg_storage_last_error();
    ack();
    collect_offline();
    for (const char* tag : {"t1", "t2", "t3"}) push("keep", tag, std::string("kept ") + tag);
    retention();
    collect_online();
  }

  std::vector<Recorded> ops;

 private:
  void begin(const std::string& line) {
    ops.push_back({split("B " + line), {}, calls_so_far() + 1, 0});
  }
  void ack(const std::string& extra = "") {
    ops.back().ack = split(extra.empty() ? "A" : "A " + extra);
    ops.back().last = calls_so_far();
  }

  std::string upload(const std::string& data) {
    const std::string d = digest_of(data);
    begin("BLOB " + d);
    char id[37], out[72];
    EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
    EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0) << reg_storage_last_error();
    EXPECT_EQ(reg_blob_finish_upload(id, d.c_str(), out), 0) << reg_storage_last_error();
    ack();
    return d;
  }

  std::string put(const std::string& repo, const std::string& tag, const std::string& body,
                  const std::vector<std::string>& blobs) {
    const std::string digest = digest_of(body);
    const std::string ref = tag.empty() ? digest : tag;
    std::string line = "PUSH " + repo + " " + ref + " " + digest;
    for (const auto& b : blobs) line += " " + b;
    begin(line);
    char d[72];
    EXPECT_EQ(reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, d), 0)
        << reg_storage_last_error();
    ack();
    return digest;
  }

  std::string push(const std::string& repo, const std::string& tag, const std::string& salt) {
    // The second layer is shared by every image: "blob stored already" is a path too.
    const std::vector<std::string> blobs = {upload("{\"config\":\"" + salt + "\"}"),
                                            upload("layer of " + salt), upload("shared layer")};
    return put(repo, tag, image_body(blobs), blobs);
  }

  // A signature-like manifest whose subject is `subject`: the push files a subject entry.
  void push_referrer(const std::string& repo, const std::string& tag, const std::string& subject) {
    const std::vector<std::string> blobs = {upload("{\"signature\":1}")};
    std::string body = image_body(blobs);
    body.pop_back();
    body += ",\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" +
            subject + "\",\"size\":1}}";
    put(repo, tag, body, blobs);
  }

  void remove(const std::string& line, const std::string& repo, const std::string& ref) {
    begin(line);
    ASSERT_EQ(reg_manifest_delete(repo.c_str(), ref.c_str()), 0) << reg_storage_last_error();
    ack();
  }

  std::set<std::string> stored_blobs() const {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root_ / "blobs" / "sha256"))
      if (e.is_regular_file()) out.insert("sha256:" + e.path().filename().string());
    return out;
  }

  // The acknowledgement lists the blobs a collection removed: they must stay removed.
  std::string removed_since(const std::set<std::string>& before) const {
    const std::set<std::string> after = stored_blobs();
    std::string out;
    for (const auto& b : before)
      if (!after.count(b)) out += (out.empty() ? "" : " ") + b;
    return out;
  }

  void collect_offline() {
    const std::set<std::string> before = stored_blobs();
    begin("GC");
    ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
    ack(removed_since(before));
  }

  void collect_online() {
    const std::set<std::string> before = stored_blobs();
    begin("GC");
    reg::OnlineGcOptions o;
    o.grace_s = 0;
    NoPushes gate;
    reg::OnlineGcReport r;
    std::string error;
    ASSERT_TRUE(reg::gc_run_online(o, gate, r, error)) << error;
    ack(removed_since(before));
  }

  void retention() {
    const char* dry = reg_retention_json(1, 1, 0, 0, nullptr);
    ASSERT_NE(dry, nullptr) << reg_storage_last_error();
    const std::string selected = retention_deleted_pairs(dry);
    begin("RET 1 0 " + selected);
    const char* real = reg_retention_json(0, 1, 0, 0, nullptr);
    ASSERT_NE(real, nullptr) << reg_storage_last_error();
    ack(retention_deleted_pairs(real));
  }

  fs::path root_;
};

class PowerCutTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reg::set_durability(reg::Durability::full);
    reg_storage_cleanup();
  }

  // A store initialised by an acknowledged INIT holds its directories without help.
  static Problems check_init(const fs::path& store) {
    Problems p;
    for (const char* dir : {"blobs/sha256", "repositories", "uploads"})
      if (!fs::is_directory(store / dir)) p.push_back(std::string("store directory lost: ") + dir);
    return p;
  }

  // The store a cut just before call `cut` leaves, read back against the model.
  static Problems check_cut(const PowerCutModel& model, const std::vector<Recorded>& ops,
                            std::uint64_t cut, const fs::path& store) {
    PowerCutModel::rebuild(model.image_before(cut), store);
    Model m;
    Doubt d;
    bool init_acked = false;
    for (const auto& r : ops) {
      if (r.last < cut) {
        apply_acked(m, r.op, r.ack);
        init_acked |= r.op[1] == "INIT";
      } else if (r.first <= cut && r.op[1] != "INIT") {
        widen(m, r.op, d);
      }
    }
    Problems p = init_acked ? check_init(store) : Problems{};
    if (reg_storage_init(store.c_str()) != 0) {
      p.push_back(std::string("init after the cut: ") + reg_storage_last_error());
      return p;
    }
    const Problems seen = settle(m, d, kRepos);
    p.insert(p.end(), seen.begin(), seen.end());
    reg::FsckReport r;
    if (!reg::fsck_store(r) || !r.sound())
      p.push_back("checker: " + joined(finding_lines(r, true)));
    else if (r.counts.manifests != static_cast<std::int64_t>(m.manifests.size()))
      p.push_back("a removed manifest came back");
    return p;
  }

  // Runs the scenario under `d` and checks the store of a cut at every call.
  static Figures cut_everywhere(reg::Durability durability) {
    MemoryTempDir tmp;
    const fs::path root = tmp.path() / "store";
    fs::create_directory(root);
    reg::set_durability(durability);
    PowerCutModel model(root);
    Scenario s(root);
    const std::uint64_t from = calls_so_far() + 1;
    s.run();
    const std::uint64_t to = calls_so_far() + 1;  // a cut after the last call
    model.stop();
    reg::set_durability(reg::Durability::full);

    // The outcome of a cut changes only where the image changes or an operation begins or
    // ends: one check per stretch of calls stands for each cut in it.
    std::set<std::uint64_t> points = {from, to};
    for (const auto& cp : model.history()) points.insert(cp.call + 1);
    for (const auto& r : s.ops) points.insert({r.first, r.last + 1});
    Figures f;
    f.ops = s.ops.size();
    f.syncs = model.history().size() - 1;
    for (auto it = points.lower_bound(from); it != points.end() && *it <= to; ++it) {
      const std::uint64_t stretch = (std::next(it) == points.end() ? to + 1 : *std::next(it)) - *it;
      const fs::path store = tmp.path() / ("cut-" + std::to_string(*it));
      const Problems p = check_cut(model, s.ops, *it, store);
      reg_storage_cleanup();
      fs::remove_all(store);
      ++f.images;
      f.cuts += stretch;
      f.lost += p.size() * stretch;
      f.unsound_cuts += p.empty() ? 0 : stretch;
      if (!p.empty() && f.first_problem.empty())
        f.first_problem = "cut before call " + std::to_string(*it - from + 1) + ": " + joined(p);
    }
    std::printf(
        "power cuts (%s): %zu operations, %zu image changes, %llu cuts checked as %llu stores; "
        "%llu acknowledged effects lost over the cuts, %llu cuts with a loss\n",
        reg::durability_name(durability), f.ops, f.syncs,
        static_cast<unsigned long long>(f.cuts), static_cast<unsigned long long>(f.images),
        static_cast<unsigned long long>(f.lost), static_cast<unsigned long long>(f.unsound_cuts));
    return f;
  }
};

TEST_F(PowerCutTest, EveryAcknowledgedOperationSurvivesACutAtEveryCall) {
  const Figures f = cut_everywhere(reg::Durability::full);
  ASSERT_FALSE(HasFailure());
  EXPECT_GT(f.cuts, 1000u);
  EXPECT_EQ(f.lost, 0u) << f.first_problem;
}

TEST_F(PowerCutTest, WithoutSyncsACutLosesAcknowledgedOperations) {
  const Figures f = cut_everywhere(reg::Durability::none);
  ASSERT_FALSE(HasFailure());
  EXPECT_GT(f.lost, 0u);
}

}  // namespace
