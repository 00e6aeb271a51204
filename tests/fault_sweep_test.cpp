// Whole operations under platform faults: for a push, a tag deletion, a digest deletion, a
// repository deletion with protected tags, a collection and a retention run, the N-th
// platform call fails with EIO, for N = 1, 2, 3, ... until a run completes with no fault
// fired. At every N: the call succeeds (with its documented outcome) or fails with one of its
// fixed messages; nothing appears outside the root; the checker finds no corrupt state; and
// everything the operation must not touch still reads back byte for byte.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>

#include "platform/fault.h"
#include "support/fsck_helpers.h"

namespace {

using namespace regtest;
using reg::fault::Op;

constexpr int kMaxCalls = 5000;  // far more platform calls than any of these operations makes

struct Outcome {
  bool ok;
  std::string message;
  bool faulted = false;  // whether the injected fault fired during the run
};

Outcome result(bool ok) { return Outcome{ok, ok ? "" : reg_storage_last_error()}; }

// A manifest (and its blobs' bytes) that must come through the operation unchanged.
struct Survivor {
  Image im;
  std::map<std::string, std::string> blobs;  // digest -> bytes
};

Survivor survivor(const fs::path& root, const Image& im) {
  Survivor s{im, {}};
  for (const auto& b : im.blobs)
    s.blobs[b] = read_all(root / "blobs/sha256" / hex_of(b).substr(0, 2) / hex_of(b));
  return s;
}

void expect_intact(const fs::path& root, const Survivor& s) {
  char ct[128], d[72];
  const char* body = reg_manifest_get(s.im.repo.c_str(), s.im.ref.c_str(), ct, d);
  ASSERT_NE(body, nullptr) << s.im.repo << ":" << s.im.ref << ": " << reg_storage_last_error();
  EXPECT_EQ(std::string(body), s.im.body);
  EXPECT_EQ(std::string(d), s.im.digest);
  for (const auto& [digest, bytes] : s.blobs)
    EXPECT_EQ(read_all(root / "blobs/sha256" / hex_of(digest).substr(0, 2) / hex_of(digest)), bytes)
        << digest;
}

std::string tag_state(const std::string& repo, const std::string& tag) {
  char ct[128], d[72];
  return reg_manifest_get(repo.c_str(), tag.c_str(), ct, d) ? std::string(d)
                                                            : reg_storage_last_error();
}

// One operation under test. `setup` builds the store (no faults) and returns what must
// survive; `run` is the operation; `messages` are the fixed messages it may fail with;
// `check` states the documented outcome of a run that succeeded (or, with ok false, what a
// failed run must still guarantee).
struct Scenario {
  const char* name;
  std::function<std::vector<Survivor>(const fs::path& root)> setup;
  std::function<Outcome()> run;
  std::vector<std::string> messages;  // regular expressions, whole message
  std::function<void(const fs::path& root, const Outcome& o)> check;
};

// ---- The scenarios ------------------------------------------------------------------------

// A store that every scenario shares: "keep" holds two images nothing below touches.
std::vector<Survivor> base_store(const fs::path& root) {
  return {survivor(root, push_image("keep", "v1", "keep-1")),
          survivor(root, push_image("keep", "v2", "keep-2", 3))};
}

std::vector<Survivor> with(std::vector<Survivor> a, const std::vector<Survivor>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Outcome push_under_faults() {
  std::vector<std::string> blobs;
  for (const std::string data :
       {"{\"config\":\"new\"}", "new layer one", "new layer two, a little longer"}) {
    char id[37], out[72];
    const std::string d = digest_of(data);
    if (reg_blob_start_upload(id) != 0 || reg_blob_append_chunk(id, data.data(), 5) != 0 ||
        reg_blob_append_chunk(id, data.data() + 5, data.size() - 5) != 0 ||
        reg_blob_finish_upload(id, d.c_str(), out) != 0)
      return result(false);
    blobs.push_back(d);
  }
  const std::string body = image_body(blobs);
  char d[72];
  return result(reg_manifest_put("app", "new", body.data(), body.size(), nullptr, d) == 0);
}

const std::vector<std::string> kPushMessages = {"cannot create upload file: .*",
                                                "write error appending chunk",
                                                "upload not found: .*",
                                                "hashing upload failed",
                                                "mkdirs blob dir failed",
                                                "rename to CAS failed: .*",
                                                "sync blob failed: .*",
                                                "sync manifest failed",
                                                "cannot read blob: sha256:[0-9a-f]{64}",
                                                "mkdirs manifests dir failed",
                                                "write blob record failed",
                                                "write manifest body failed",
                                                "write manifest ct failed",
                                                "mkdirs revision dir failed",
                                                "write revision link failed",
                                                "mkdirs tag dir failed",
                                                "write tag link failed"};

// app: M1 tagged t1 and t2, M2 tagged t3 only.
std::vector<Survivor> tagged_app(const fs::path& root) {
  const Image m1 = push_image("app", "t1", "m1");
  char d[72];
  EXPECT_EQ(reg_manifest_put("app", "t2", m1.body.data(), m1.body.size(), nullptr, d), 0);
  push_image("app", "t3", "m2");
  return with(base_store(root), {});
}

std::string m1_digest() {
  return digest_of(image_body(
      {digest_of("{\"config\":\"m1\"}"), digest_of("layer 0 of m1"), digest_of("layer 1 of m1")}));
}

std::string digest_of_tag(const std::string& repo, const std::string& tag) {
  const std::string s = tag_state(repo, tag);
  return s.rfind("sha256:", 0) == 0 ? s : "";
}

// app (with a nested app/sub and a protected tag) and a neighbour "other".
std::vector<Survivor> repo_store(const fs::path& root) {
  reg_tag_protection_set("release-*");
  std::vector<Survivor> s = base_store(root);
  s.push_back(survivor(root, push_image("app", "release-1", "rel")));
  s.push_back(survivor(root, push_image("app/sub", "v1", "sub")));
  s.push_back(survivor(root, push_image("other", "v1", "other")));
  push_image("app", "dev", "dev");
  push_image("app", "sha256:" + std::string(64, '1'), "untagged");
  return s;
}

// app: tags v1 (oldest) .. v5 (newest), "latest" (old) and protected "release-1" (old);
// keep 2 deletes v1..v3.
std::vector<Survivor> retention_store(const fs::path& root) {
  reg_tag_protection_set("release-*");
  std::vector<Survivor> s = base_store(root);
  for (int i = 1; i <= 5; ++i) {
    const Image im = push_image("app", "v" + std::to_string(i), "ret" + std::to_string(i));
    if (i >= 4) s.push_back(survivor(root, im));
  }
  s.push_back(survivor(root, push_image("app", "latest", "latest")));
  s.push_back(survivor(root, push_image("app", "release-1", "rel")));
  const fs::path tags = root / "repositories/app/_manifests/tags";
  for (const auto* t : {"v1", "v2", "v3", "v4", "v5", "latest", "release-1"}) {
    const std::string tag = t;
    const int age = tag == "latest" || tag == "release-1" ? 9000 : 6000 - 1000 * (tag[1] - '0');
    set_age(tags / tag / "current" / "link", age);
  }
  for (const auto* t : {"v1", "v2"})
    set_age(root / "repositories/keep/_manifests/tags" / t / "current/link", 100);
  return s;
}

// app: two images pushed and one blob and one upload that nothing needs any more.
std::vector<Survivor> gc_store(const fs::path& root) {
  std::vector<Survivor> s = base_store(root);
  s.push_back(survivor(root, push_image("app", "v1", "gc")));
  put_blob("garbage one");
  put_blob("garbage two");
  char id[37];
  EXPECT_EQ(reg_blob_start_upload(id), 0);
  set_age(root / "uploads" / (std::string(id) + ".part"), 1000);
  return s;
}

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> kScenarios = {
      {"push", base_store, push_under_faults, kPushMessages,
       [](const fs::path&, const Outcome& o) {
         if (o.ok) {
           EXPECT_EQ(
               tag_state("app", "new"),
               digest_of(image_body({digest_of("{\"config\":\"new\"}"), digest_of("new layer one"),
                                     digest_of("new layer two, a little longer")})));
         }
       }},
      {"tag deletion, last tag of its manifest",
       tagged_app,
       [] { return result(reg_manifest_delete("app", "t3") == 0); },
       {"cannot read tag: app:t3", "delete tag failed", "sync deletion failed"},
       [](const fs::path&, const Outcome& o) {
         if (o.ok) {
           EXPECT_EQ(tag_state("app", "t3"), "tag not found: app:t3");
         }
         EXPECT_NE(digest_of_tag("app", "t1"), "");
         EXPECT_EQ(digest_of_tag("app", "t1"), digest_of_tag("app", "t2"));
       }},
      {"tag deletion, manifest named by another tag",
       tagged_app,
       [] { return result(reg_manifest_delete("app", "t1") == 0); },
       {"cannot read tag: app:t1", "delete tag failed", "sync deletion failed"},
       [](const fs::path&, const Outcome& o) {
         if (o.ok) {
           EXPECT_EQ(tag_state("app", "t1"), "tag not found: app:t1");
         }
         EXPECT_NE(digest_of_tag("app", "t2"), "");  // the manifest stays with its other tag
         EXPECT_NE(digest_of_tag("app", "t3"), "");
       }},
      {"digest deletion",
       tagged_app,
       [] { return result(reg_manifest_delete("app", m1_digest().c_str()) == 0); },
       {"cannot read manifest: app@sha256:[0-9a-f]{64}",
        "delete manifest tags failed: app@sha256:[0-9a-f]{64}",
        "delete manifest failed: app@sha256:[0-9a-f]{64}", "sync deletion failed"},
       [](const fs::path&, const Outcome& o) {
         if (o.ok) {
           EXPECT_EQ(tag_state("app", "t1"), "tag not found: app:t1");
           EXPECT_EQ(tag_state("app", "t2"), "tag not found: app:t2");
           EXPECT_EQ(tag_state("app", m1_digest()).rfind("manifest", 0), 0u) << "still stored";
         }
         EXPECT_NE(digest_of_tag("app", "t3"), "");
       }},
      {"repository deletion with a protected tag",
       repo_store,
       [] { return result(reg_repo_delete("app") == 0); },
       {"delete repository failed: app", "repository not found: app", "sync deletion failed"},
       [](const fs::path&, const Outcome& o) {
         if (o.ok) {
           EXPECT_EQ(tag_state("app", "dev"), "tag not found: app:dev");
         }
       }},
      {"collection",
       gc_store,
       [] { return result(reg_gc_json(0) != nullptr); },
       {"gc mark incomplete: .*", "sync collection failed"},
       [](const fs::path&, const Outcome& o) {
         // The deletions are done when only their sync failed.
         const bool deleted = !o.faulted || o.message == "sync collection failed";
         // A run that could not mark everything deletes nothing at all.
         if (deleted || !o.ok) {
           EXPECT_EQ(reg_blob_exists(digest_of("garbage one").c_str()), deleted ? 0 : 1);
           EXPECT_EQ(reg_blob_exists(digest_of("garbage two").c_str()), deleted ? 0 : 1);
         }
       }},
      {"retention",
       retention_store,
       [] { return result(reg_retention_json(0, 2, 0, 0, nullptr) != nullptr); },
       {},
       [](const fs::path&, const Outcome& o) {
         for (const auto* t : {"v4", "v5", "latest", "release-1"})
           EXPECT_NE(digest_of_tag("app", t), "") << t;
         if (!o.faulted) {
           for (const std::string t : {"v1", "v2", "v3"})
             EXPECT_EQ(tag_state("app", t), "tag not found: app:" + t);
         }
       }},
  };
  return kScenarios;
}

// ---- The sweep ----------------------------------------------------------------------------

bool message_allowed(const Scenario& s, const std::string& m) {
  for (const auto& pattern : s.messages)
    if (std::regex_match(m, std::regex(pattern))) return true;
  return false;
}

class FaultSweepTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void TearDown() override {
    reg::fault::disarm();
    reg_tag_protection_set(nullptr);
    reg_storage_cleanup();
  }
};

TEST_P(FaultSweepTest, EveryFailedCallLeavesASoundStoreAndLosesNothing) {
  const Scenario& sc = scenarios()[GetParam()];
  int fired_runs = 0;
  bool completed = false;
  for (int n = 1; n <= kMaxCalls && !completed; ++n) {
    SCOPED_TRACE(std::string(sc.name) + ", fault at call " + std::to_string(n));
    MemoryTempDir dir;
    const fs::path root = dir.path() / "store";
    reg_tag_protection_set(nullptr);
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    const std::vector<Survivor> survivors = sc.setup(root);
    ASSERT_FALSE(::testing::Test::HasFailure());

    reg::fault::arm(Op::any, n, EIO);
    Outcome o = sc.run();
    const bool fired = reg::fault::fired() > 0;
    o.faulted = fired;
    reg::fault::disarm();

    if (!o.ok) {
      EXPECT_TRUE(message_allowed(sc, o.message)) << "message: " << o.message;
    }
    const auto tree = snapshot_tree(dir.path());
    for (const auto& [path, content] : tree)
      EXPECT_EQ(path.rfind("store", 0), 0u) << "outside the root: " << path;
    const reg::FsckReport r = run_fsck();
    EXPECT_TRUE(r.sound()) << joined(finding_lines(r, true));
    for (const auto& s : survivors) expect_intact(root, s);
    sc.check(root, o);
    if (!fired) {
      EXPECT_TRUE(o.ok) << o.message;
      completed = true;
    }
    fired_runs += fired;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(fired_runs, 0);
  std::printf("%s: %d runs with a fault\n", sc.name, fired_runs);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweepTest, ::testing::Range<std::size_t>(0, 7),
                         [](const ::testing::TestParamInfo<std::size_t>& i) {
                           std::string n = scenarios()[i.param].name;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
