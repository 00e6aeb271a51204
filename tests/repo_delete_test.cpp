// Repository deletion: refusals, protected tags kept in place, nested repositories, empty
// parents, and protected tags that stay whole through failures and kills at any point.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "manifests/blob_records.h"
#include "manifest_fixture.h"
#include "platform/fault.h"
#include "support/store_layout.h"

namespace regtest {
namespace {

using reg::fault::Op;

constexpr const char* kCt = "application/vnd.oci.image.manifest.v1+json";
constexpr const char* kDefaultCt = "application/vnd.docker.distribution.manifest.v2+json";

std::string body_n(int i) { return "{\"schemaVersion\":2,\"n\":" + std::to_string(i) + "}"; }

// Every path below `dir` except those under `skip` (relative, "" for none).
std::map<std::string, std::string> tree_without(const fs::path& dir, const std::string& skip) {
  auto t = snapshot_tree(dir);
  for (auto it = t.begin(); it != t.end();)
    it = !skip.empty() && it->first.rfind(skip, 0) == 0 ? t.erase(it) : std::next(it);
  return t;
}

class RepoDeleteTest : public ManifestTest {
 protected:
  // Moves the store into memory when the system has a tmpfs: on the disk under the default
  // temporary directory, the thousands of directories of the large fixtures take minutes.
  void use_memory_store() {
    std::string tmpl = "/dev/shm/regtest-XXXXXX";
    if (!fs::is_directory("/dev/shm") || !mkdtemp(tmpl.data())) return;
    memory_dir_ = tmpl;
    root_ = (memory_dir_ / "store").string();
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
  }
  void TearDown() override {
    ManifestTest::TearDown();
    if (!memory_dir_.empty()) fs::remove_all(memory_dir_);
  }

  fs::path repo_dir(const std::string& repo) const { return rootp() / "repositories" / repo; }

  // `tags` tags over `manifests` manifests; every `every`-th tag is "keep-<i>" (protected by
  // the rule keep-*), the others "t-<i>". Returns each protected tag with its body.
  std::map<std::string, std::string> build_repo(const std::string& repo, int tags, int manifests,
                                                int every) {
    std::vector<std::string> digests;
    for (int m = 0; m < manifests; ++m)
      digests.push_back(place_manifest(rootp(), repo, body_n(m), kCt));
    std::map<std::string, std::string> kept;
    for (int i = 0; i < tags; ++i) {
      const bool keep = i % every == 0;
      const std::string tag = (keep ? "keep-" : "t-") + std::to_string(i);
      place_tag(rootp(), repo, tag, digests[i % manifests]);
      if (keep) kept[tag] = body_n(i % manifests);
    }
    write_all(repo_dir(repo) / "stray.txt", "not part of any manifest");
    return kept;
  }

  // The first way in which a kept tag is not whole ("" when all are): its link, revision link,
  // body and content type as a push leaves them (`ct` null: the content type is not checked).
  std::string broken_tag(const std::string& repo, const std::map<std::string, std::string>& kept,
                         const char* ct = kCt) {
    for (const auto& [tag, body] : kept) {
      const std::string d = digest_of(body);
      if (read_all(tag_link(repo, tag)) != d) return tag + ": link";
      if (read_all(body_file(repo, d)) != body) return tag + ": body";
      if (read_all(rev_link(repo, d)) != d) return tag + ": revision link";
      if (ct && read_all(body_file(repo, d).string() + ".ct") != ct) return tag + ": content type";
    }
    return "";
  }

  // What a repository holding exactly `kept` consists of.
  std::map<std::string, std::string> kept_tree(const std::map<std::string, std::string>& kept,
                                               const std::string& ct = kCt) const {
    std::map<std::string, std::string> t;
    for (const auto& [tag, body] : kept) {
      const std::string d = digest_of(body), h = hex_of(d);
      for (const char* dir :
           {"_manifests", "_manifests/revisions", "_manifests/revisions/sha256", "_manifests/tags"})
        t[dir] = "<dir>";
      t["_manifests/" + h] = body;
      t["_manifests/" + h + ".ct"] = ct;
      t["_manifests/revisions/sha256/" + h] = "<dir>";
      t["_manifests/revisions/sha256/" + h + "/link"] = d;
      t["_manifests/tags/" + tag] = t["_manifests/tags/" + tag + "/current"] = "<dir>";
      t["_manifests/tags/" + tag + "/current/link"] = d;
      // The records of the blobs it names stay with it (empty files).
      const auto blobs = reg::blobs_named_by(body);
      if (!blobs.empty()) t["_manifests/blobs"] = "<dir>";
      for (const auto& b : blobs) t["_manifests/blobs/" + hex_of(b)] = "";
    }
    return t;
  }

  fs::path memory_dir_;
};

TEST_F(RepoDeleteTest, RefusesBadNamesAndChangesNothing) {
  place_manifest(rootp(), "r", body_n(1), kCt, {"latest"});
  write_all(rootp() / "repositories" / "file", "x");
  const fs::path outside = tmp_.path() / "outside";
  place_manifest(outside, "inner", body_n(2), kCt, {"v1"});
  fs::create_directory_symlink(outside / "repositories", rootp() / "repositories" / "link");
  const auto before = snapshot_tree(tmp_.path());
  struct Case {
    const char* repo;
    const char* message;
  } cases[] = {
      {nullptr, "NULL argument"},
      {"", "NULL argument"},
      {".", "invalid repository name: ."},
      {"./", "invalid repository name: ./"},
      {"/", "invalid repository name: /"},
      {"..", "invalid repository name"},
      {"r/../r", "invalid repository name"},
      {"r/_manifests", "invalid repository name: r/_manifests"},
      {"_manifests", "invalid repository name: _manifests"},
      {"r/./x", "invalid repository name: r/./x"},
      {"a b", "invalid repository name"},
      {"missing", "repository not found: missing"},
      {"file", "repository not found: file"},
      {"link/inner", "repository not found: link/inner"},  // never through a symbolic link
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reg_repo_delete(c.repo), -1) << (c.repo ? c.repo : "null");
    EXPECT_STREQ(reg_storage_last_error(), c.message);
  }
  const std::string too_long(256, 'a');
  EXPECT_EQ(reg_repo_delete(too_long.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
  reg_storage_cleanup();
  EXPECT_EQ(reg_repo_delete("r"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  EXPECT_EQ(snapshot_tree(tmp_.path()), before);
}

TEST_F(RepoDeleteTest, RemovesWholeRepositoryWithoutRulesAndNothingElse) {
  build_repo("r", 30, 5, 3);
  build_repo("s", 5, 2, 1);
  const std::string blob = make_blob("layer");
  const auto before = tree_without(rootp(), "repositories/r");
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

// Only the protected tag stays, with its manifest's files, and it still pulls.
TEST_F(RepoDeleteTest, KeepsProtectedTagsAndNothingElse) {
  if (testdata_dir().empty()) GTEST_SKIP() << "shared test data not found";
  const std::string latest = testdata_manifest("oci-manifest-1layer.json");
  const std::string dev = testdata_manifest("oci-manifest-2layers.json");
  for (const auto* b : {&latest, &dev}) place_referenced_blobs(rootp(), *b);
  const std::string d = push("r", "latest", latest);
  push("r", "dev", dev);
  push("r", "also-latest", latest);
  push("r", digest_of(body_n(0)), image_manifest("untagged"));
  write_all(repo_dir("r") / "_manifests" / "tags" / "latest" / "index" / "x", "extra");
  write_all(repo_dir("r") / "_manifests" / "_layers" / "y", "extra");
  reg_tag_protection_set("latest");
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  EXPECT_EQ(snapshot_tree(repo_dir("r")), kept_tree({{"latest", latest}}));
  char ct[128], digest[72];
  const char* got = reg_manifest_get("r", "latest", ct, digest);
  ASSERT_NE(got, nullptr) << reg_storage_last_error();
  EXPECT_EQ(std::string(got), latest);
  EXPECT_STREQ(ct, kCt);
  EXPECT_EQ(std::string(digest), d);
}

// Each protected tag under one condition of its files: kept (and completed as a push would
// leave it) or dropped with the rest.
TEST_F(RepoDeleteTest, KeepsOrDropsEachProtectedTagByItsFiles) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& m, const std::string& hex)> spoil;
    bool kept;
    const char* ct;
  } cases[] = {
      {"intact", [](auto&, auto&) {}, true, kCt},
      {"no content type", [](auto& m, auto& h) { fs::remove(m / (h + ".ct")); }, true, kDefaultCt},
      {"empty content type", [](auto& m, auto& h) { write_all(m / (h + ".ct"), ""); }, true,
       kDefaultCt},
      {"long content type",
       [](auto& m, auto& h) { write_all(m / (h + ".ct"), std::string(200, 'c')); }, true, nullptr},
      {"no revision link", [](auto& m, auto&) { fs::remove_all(m / "revisions"); }, true, kCt},
      {"link with line feed",
       [](auto& m, auto& h) {
         write_all(m / "tags" / "keep" / "current" / "link", "sha256:" + h + "\n");
       },
       true, kCt},
      {"malformed link",
       [](auto& m, auto&) { write_all(m / "tags" / "keep" / "current" / "link", "sha256:x"); },
       false, nullptr},
      {"no link", [](auto& m, auto&) { fs::remove(m / "tags" / "keep" / "current" / "link"); },
       false, nullptr},
      {"no body", [](auto& m, auto& h) { fs::remove(m / h); }, false, nullptr},
      {"empty body", [](auto& m, auto& h) { write_all(m / h, ""); }, false, nullptr},
  };
  reg_tag_protection_set("keep");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string d = place_manifest(rootp(), "r", body_n(1), kCt, {"keep", "drop"});
    place_manifest(rootp(), "r", body_n(2), kCt, {"other"});
    c.spoil(manifests_dir("r"), hex_of(d));
    ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
    if (!c.kept) {
      EXPECT_FALSE(fs::exists(repo_dir("r")));
      continue;
    }
    const std::string ct = c.ct ? c.ct : std::string(200, 'c');
    EXPECT_EQ(snapshot_tree(repo_dir("r")), kept_tree({{"keep", body_n(1)}}, ct));
    fs::remove_all(repo_dir("r"));
  }
}

TEST_F(RepoDeleteTest, TwoProtectedTagsOfOneManifestBothStay) {
  place_manifest(rootp(), "r", body_n(1), kCt, {"v1", "v1-again", "dev"});
  reg_tag_protection_set("v1*");
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  EXPECT_EQ(snapshot_tree(repo_dir("r")), kept_tree({{"v1", body_n(1)}, {"v1-again", body_n(1)}}));
}

// Protection is matched on the repository's name, however the caller spelled it.
TEST_F(RepoDeleteTest, NameSpellingsReachTheSameRepositoryAndItsRules) {
  reg_tag_protection_set("team/app:latest");
  for (const char* spelling : {"team/app/", "team//app", "/team/app"}) {
    SCOPED_TRACE(spelling);
    place_manifest(rootp(), "team/app", body_n(1), kCt, {"latest", "dev"});
    ASSERT_EQ(reg_repo_delete(spelling), 0) << reg_storage_last_error();
    EXPECT_EQ(snapshot_tree(repo_dir("team/app")), kept_tree({{"latest", body_n(1)}}));
    fs::remove_all(rootp() / "repositories" / "team");
  }
}

TEST_F(RepoDeleteTest, RulesWithoutTagsDirectoryRemoveWholeRepository) {
  write_all(repo_dir("r") / "_manifests" / hex_of(digest_of("x")), "x");
  reg_tag_protection_set("*");
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  EXPECT_FALSE(fs::exists(repo_dir("r")));
}

// Deleting `a` removes a's own store and what belongs to no repository below it; the
// repositories nested in it stay whole.
TEST_F(RepoDeleteTest, NestedRepositoriesStayWhole) {
  build_repo("a", 10, 3, 2);
  build_repo("a/b", 10, 3, 2);
  build_repo("a/g/c", 10, 3, 2);
  write_all(repo_dir("a") / "junk" / "deep" / "file", "x");
  write_all(repo_dir("a/g") / "loose", "x");
  auto expected = tree_without(repo_dir("a"), "_manifests");
  for (const char* gone : {"stray.txt", "junk", "junk/deep", "junk/deep/file", "g/loose"})
    expected.erase(gone);
  ASSERT_EQ(reg_repo_delete("a"), 0) << reg_storage_last_error();
  EXPECT_EQ(snapshot_tree(repo_dir("a")), expected);
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"a/b\",\"a/g/c\"]}");
}

// Parents left empty go too, up to but never including the repositories directory; a parent
// that holds anything stops the climb.
TEST_F(RepoDeleteTest, RemovesParentsLeftEmpty) {
  place_manifest(rootp(), "team/app/web", body_n(1), kCt, {"v1"});
  place_manifest(rootp(), "team/db", body_n(1), kCt, {"v1"});
  ASSERT_EQ(reg_repo_delete("team/app/web"), 0) << reg_storage_last_error();
  EXPECT_FALSE(fs::exists(repo_dir("team/app")));
  EXPECT_TRUE(fs::exists(repo_dir("team/db/_manifests")));
  ASSERT_EQ(reg_repo_delete("team/db"), 0) << reg_storage_last_error();
  EXPECT_FALSE(fs::exists(repo_dir("team")));
  EXPECT_TRUE(fs::is_directory(rootp() / "repositories"));
}

TEST_F(RepoDeleteTest, KeepsEveryProtectedTagBeyond512Entries) {
  use_memory_store();
  const auto kept = build_repo("r", 1500, 50, 3);  // 500 protected among 1,500 tags
  reg_tag_protection_set("keep-*");
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  EXPECT_EQ(snapshot_tree(repo_dir("r")), kept_tree(kept));
}

// A failure at any removal step reports "delete repository failed: r" and leaves every
// protected tag whole; once no fault fires, the deletion completes. Without rules the same
// failures are reported, and the last run removes the repository.
TEST_F(RepoDeleteTest, FailureAtAnyStepLeavesProtectedTagsWhole) {
  use_memory_store();
  const std::string no_ct = body_file("r", digest_of(body_n(0))).string() + ".ct";
  for (const char* rules : {"keep-*", ""}) {
    reg_tag_protection_set(rules);
    for (Op op : {Op::list, Op::remove, Op::rmdir, Op::mkdir, Op::write, Op::rename}) {
      std::int64_t fired = 0;
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(rules) + ", kind " + std::to_string(static_cast<int>(op)) +
                     ", call " + std::to_string(n));
        fs::remove_all(rootp() / "repositories");
        auto kept = build_repo("r", 24, 6, 4);  // keep-0 and keep-12 name manifest 0
        if (!*rules) kept.clear();
        fs::remove(no_ct);  // written by the deletion when kept
        reg::fault::arm(op, n, EIO);
        const int rc = reg_repo_delete("r");
        const bool hit = reg::fault::fired() > 0;
        reg::fault::disarm();
        fired += hit;
        if (rc == -1) {
          EXPECT_STREQ(reg_storage_last_error(), "delete repository failed: r");
        }
        ASSERT_EQ(broken_tag("r", kept, nullptr), "");
        if (hit) continue;
        ASSERT_EQ(rc, 0) << reg_storage_last_error();
        auto expected = kept_tree(kept);
        if (!kept.empty())
          expected["_manifests/" + hex_of(digest_of(body_n(0))) + ".ct"] = kDefaultCt;
        EXPECT_EQ(snapshot_tree(repo_dir("r")), expected);
        break;
      }
      // Without kept tags nothing is written; with them their directories are in place.
      const bool writes = op == Op::mkdir || op == Op::write || op == Op::rename;
      if (*rules ? op != Op::mkdir : !writes) {
        EXPECT_GT(fired, 0) << "no fault of kind " << static_cast<int>(op) << " fired";
      }
    }
  }
}

// The deletion of a repository with thousands of tags, cut at points spread over its run:
// first by failing every file operation from the n-th on (a process that stops there), then
// by SIGKILL of a child process doing the deletion. After every cut each protected tag is
// whole, and a later deletion finishes the work.
TEST_F(RepoDeleteTest, CutAtAnyPointLeavesProtectedTagsWhole) {
  use_memory_store();
  reg_tag_protection_set("keep-*");
  const auto rebuild = [&] {
    fs::remove_all(rootp() / "repositories");
    return build_repo("r", 2000, 200, 10);  // 200 protected tags
  };
  auto kept = rebuild();
  reg::fault::arm(Op::any, 0, 0);  // counts only
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  const std::int64_t total = reg::fault::calls(Op::any);
  for (int k = 1; k <= 6; ++k) {
    kept = rebuild();
    const int n = static_cast<int>(total * k / 7);
    reg::fault::arm(Op::any, n, EIO, true);
    reg_repo_delete("r");
    reg::fault::disarm();
    ASSERT_EQ(broken_tag("r", kept), "") << "cut at call " << n << " of " << total;
  }

  const auto run_child = [] {
    const pid_t pid = fork();
    if (pid == 0) std::_Exit(reg_repo_delete("r") == 0 ? 0 : 1);
    return pid;
  };
  kept = rebuild();
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_EQ(waitpid(run_child(), &status, 0) > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0,
            true);
  const auto whole = std::chrono::steady_clock::now() - start;
  for (int k = 1; k <= 6; ++k) {
    kept = rebuild();
    const pid_t pid = run_child();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(whole * k / 7);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ASSERT_EQ(broken_tag("r", kept), "") << "killed at " << k << "/7 of a deletion";
  }
  ASSERT_EQ(reg_repo_delete("r"), 0) << reg_storage_last_error();
  EXPECT_EQ(snapshot_tree(repo_dir("r")), kept_tree(kept));
}

}  // namespace
}  // namespace regtest
