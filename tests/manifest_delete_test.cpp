// Manifest deletion by tag and by digest: what each removes and keeps, protection, scans
// that see past 512 tags, refused calls, and fault sweeps over both kinds.
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "core/fileutil.h"
#include "manifest_fixture.h"
#include "platform/fault.h"

namespace regtest {
namespace {

class ManifestDeleteTest : public ManifestTest {
 protected:
  bool pullable(const std::string& repo, const std::string& ref) {
    char ct[127], dg[72];
    return reg_manifest_get(repo.c_str(), ref.c_str(), ct, dg) != nullptr;
  }
  bool exists(const fs::path& p) { return fs::exists(p); }
  fs::path ct_file(const std::string& repo, const std::string& d) {
    return fs::path(body_file(repo, d).string() + ".ct");
  }
};

TEST_F(ManifestDeleteTest, TagDeletionKeepsManifestNamedByAnotherTag) {
  const std::string d = push("app", "a", image_manifest("m"));
  push("app", "b", image_manifest("m"));
  ASSERT_EQ(reg_manifest_delete("app", "a"), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(tag_link("app", "a")));
  EXPECT_TRUE(exists(tag_link("app", "a").parent_path()));  // its empty directories stay
  EXPECT_TRUE(pullable("app", "b"));
  EXPECT_TRUE(pullable("app", d));
}

// An index of the repository lists the manifest: its last tag goes, the manifest stays (body,
// .ct and revision link), so the index stays whole. Once the index is gone, so is the child.
TEST_F(ManifestDeleteTest, TagDeletionKeepsAManifestThatAnIndexOfItsRepositoryLists) {
  const std::string child = push("app", "amd64", image_manifest("child"));
  const std::string index =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
      "\"manifests\":[{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
      "\"digest\":\"" +
      child + "\",\"size\":1}]}";
  const std::string idx = push("app", "multi", index);
  ASSERT_EQ(reg_manifest_delete("app", "amd64"), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(tag_link("app", "amd64")));
  for (const auto& p : {body_file("app", child), ct_file("app", child), rev_link("app", child)})
    EXPECT_TRUE(exists(p)) << p;
  EXPECT_TRUE(pullable("app", child));
  ASSERT_EQ(reg_manifest_delete("app", idx.c_str()), 0) << reg_storage_last_error();
  push("app", "again", image_manifest("child"));
  ASSERT_EQ(reg_manifest_delete("app", "again"), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(body_file("app", child)));
}

TEST_F(ManifestDeleteTest, LastTagTakesTheManifestFilesButLeavesDirectories) {
  const std::string d = push("app", "only", image_manifest("m"));
  ASSERT_EQ(reg_manifest_delete("app", "only"), 0) << reg_storage_last_error();
  for (const auto& p :
       {tag_link("app", "only"), body_file("app", d), ct_file("app", d), rev_link("app", d)})
    EXPECT_FALSE(exists(p)) << p;
  EXPECT_TRUE(fs::is_directory(tag_link("app", "only").parent_path()));
  EXPECT_TRUE(fs::is_directory(rev_link("app", d).parent_path()));
  char ct[127], dg[72];
  EXPECT_EQ(reg_manifest_get("app", "only", ct, dg), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "tag not found: app:only");
}

TEST_F(ManifestDeleteTest, DigestDeletionTakesEveryNamingTagAndEmptyDirectories) {
  const std::string d = push("app", "a", image_manifest("m"));
  push("app", "b", image_manifest("m"));
  const std::string other = push("app", "keep", image_manifest("other"));
  ASSERT_EQ(reg_manifest_delete("app", d.c_str()), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(manifests_dir("app") / "tags" / "a"));
  EXPECT_FALSE(exists(manifests_dir("app") / "tags" / "b"));
  EXPECT_FALSE(exists(body_file("app", d)));
  EXPECT_FALSE(exists(ct_file("app", d)));
  EXPECT_FALSE(exists(rev_link("app", d).parent_path()));
  EXPECT_TRUE(pullable("app", "keep"));
  ASSERT_EQ(reg_manifest_delete("app", other.c_str()), 0);
  EXPECT_FALSE(exists(manifests_dir("app") / "tags"));  // emptied: removed too
}

TEST_F(ManifestDeleteTest, DigestDeletionOfUntaggedManifest) {
  const std::string d = push("app", digest_of("x"), image_manifest("m"));
  ASSERT_FALSE(exists(manifests_dir("app") / "tags"));
  ASSERT_EQ(reg_manifest_delete("app", d.c_str()), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(body_file("app", d)));
  EXPECT_FALSE(exists(rev_link("app", d).parent_path()));
}

TEST_F(ManifestDeleteTest, LinkWithNewlineIsCorruptByTagButMatchesByDigest) {
  const std::string d = push("app", "nl", image_manifest("m"));
  write_all(tag_link("app", "nl"), d + "\n");
  EXPECT_EQ(reg_manifest_delete("app", "nl"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: app:nl");
  ASSERT_EQ(reg_manifest_delete("app", d.c_str()), 0);
  EXPECT_FALSE(exists(manifests_dir("app") / "tags" / "nl"));
}

TEST_F(ManifestDeleteTest, TagNamingMissingBodyIsDeleted) {
  write_all(tag_link("app", "gone"), digest_of("gone"));
  EXPECT_EQ(reg_manifest_delete("app", "gone"), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(tag_link("app", "gone")));
}

TEST_F(ManifestDeleteTest, ProtectionRefusesBothKindsAndChangesNothing) {
  const std::string d = push("app", "release-1", image_manifest("m"));
  push("app", "dev", image_manifest("m"));
  reg_tag_protection_set("release-*");
  const auto before = snapshot_tree(rootp());
  EXPECT_EQ(reg_manifest_delete("app", "release-1"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "TAG_IMMUTABLE: app:release-1");
  EXPECT_EQ(reg_manifest_delete("app", d.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "TAG_IMMUTABLE: app:release-1");  // the blocking tag
  EXPECT_EQ(snapshot_tree(rootp()), before);
  // Rules that match nothing here behave as no rules.
  reg_tag_protection_set("other:*");
  EXPECT_EQ(reg_manifest_delete("app", "release-1"), 0);
  EXPECT_TRUE(pullable("app", "dev"));
}

TEST_F(ManifestDeleteTest, RefusedCallsGiveTheirMessageAndChangeNothing) {
  push("app", "v1", image_manifest("m"));
  const std::string missing = digest_of("missing");
  struct Case {
    const char* repo;
    std::string ref, message;
  } cases[] = {
      {"", "v1", "invalid repository name"},
      {"a/../b", "v1", "invalid repository name"},
      {"app", "a/b", "invalid tag: a/b"},
      {"app", "a\\b", "invalid tag: a\\b"},
      {"app", ".", "invalid tag: ."},
      {"app", "..", "invalid tag: .."},
      {"app", "", "invalid tag: "},
      {"app", "sha256:ABC", "invalid digest reference"},
      {"app", missing, "manifest not found: app@" + missing},
      {"app", "nope", "tag not found: app:nope"},
      {"app", std::string(4095, 't'), "path too long"},
  };
  const auto before = snapshot_tree(rootp());
  for (const auto& tc : cases) {
    EXPECT_EQ(reg_manifest_delete(tc.repo, tc.ref.c_str()), -1) << tc.ref.substr(0, 20);
    EXPECT_EQ(reg_storage_last_error(), tc.message);
  }
  EXPECT_EQ(reg_manifest_delete(nullptr, "v1"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_delete("app", nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_delete("app", "v1"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  ASSERT_EQ(reg_storage_init(root().c_str()), 0);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

// ---- more than 512 tags -------------------------------------------------------------------

// 700 tags naming a filler manifest; the tag met first and the tag met last in the
// directory's own enumeration order are then pointed at `target`. A scan cut at 512 entries
// never sees the last one.
class ManyTagsTest : public ManifestDeleteTest {
 protected:
  void SetUp() override {
    ManifestDeleteTest::SetUp();
    filler_ = push("app", "f-seed", image_manifest("filler"));
    target_ = push("app", digest_of("untagged"), image_manifest("target"));
    for (int i = 0; i < 700; ++i) write_all(tag_link("app", "f" + std::to_string(i)), filler_);
    const fs::path tags = manifests_dir("app") / "tags";
    reg::dir_list all;
    ASSERT_EQ(reg::list_dir_all(tags.c_str(), &all), 0);
    std::vector<std::string> names;
    for (const auto& e : all.entries)
      if (e.name != "f-seed") names.push_back(e.name);
    ASSERT_EQ(names.size(), 700u);
    first_ = names.front();
    last_ = names.back();
    write_all(tag_link("app", first_), target_);
    write_all(tag_link("app", last_), target_);
  }
  std::string filler_, target_, first_, last_;
};

TEST_F(ManyTagsTest, TagDeletionFindsAnotherTagPast512) {
  ASSERT_EQ(reg_manifest_delete("app", first_.c_str()), 0) << reg_storage_last_error();
  EXPECT_TRUE(pullable("app", last_));
}

TEST_F(ManyTagsTest, DigestDeletionSeesProtectedTagPast512) {
  reg_tag_protection_set(("app:" + last_).c_str());
  const auto before = snapshot_tree(rootp());
  EXPECT_EQ(reg_manifest_delete("app", target_.c_str()), -1);
  EXPECT_EQ(reg_storage_last_error(), "TAG_IMMUTABLE: app:" + last_);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(ManyTagsTest, DigestDeletionRemovesNamingTagPast512) {
  ASSERT_EQ(reg_manifest_delete("app", target_.c_str()), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(manifests_dir("app") / "tags" / first_));
  EXPECT_FALSE(exists(manifests_dir("app") / "tags" / last_));
  EXPECT_TRUE(pullable("app", "f-seed"));
}

// ---- faults -------------------------------------------------------------------------------

// Whatever fails, no store file is left as a temporary, and each tag either is gone or
// names a manifest that can be pulled whole.
void expect_consistent(const fs::path& root, const std::string& repo,
                       const std::vector<std::string>& tags) {
  for (const auto& [rel, content] : snapshot_tree(root))
    EXPECT_EQ(rel.find(".tmp-"), std::string::npos);
  for (const auto& tag : tags) {
    char ct[127], dg[72];
    if (!reg_manifest_get(repo.c_str(), tag.c_str(), ct, dg)) {
      EXPECT_EQ(reg_storage_last_error(), "tag not found: " + repo + ":" + tag)
          << "a tag lost its manifest";
    }
  }
}

TEST_F(ManifestDeleteTest, FaultSweepOverTagDeletion) {
  const std::string body = image_manifest("m");
  std::int64_t fired_total = 0;
  for (int n = 1;; ++n) {
    const std::string repo = "t" + std::to_string(n);
    push(repo, "a", body);
    push(repo, "b", body);
    reg::fault::arm(reg::fault::Op::any, n, EIO);
    const int rc = reg_manifest_delete(repo.c_str(), "a");
    const std::int64_t fired = reg::fault::fired();
    reg::fault::disarm();
    fired_total += fired;
    const std::string msg = reg_storage_last_error();
    if (rc != 0) {
      // A live tag that could not be read is a failure, never "not found".
      EXPECT_TRUE(msg == "delete tag failed" || msg == "cannot read tag: " + repo + ":a" ||
                  msg == "sync deletion failed")
          << n << ": " << msg;
    }
    expect_consistent(rootp(), repo, {"a", "b"});
    EXPECT_TRUE(pullable(repo, "b")) << n << ": the other tag lost its manifest";
    if (fired == 0) {
      EXPECT_EQ(rc, 0);
      break;
    }
    ASSERT_LT(n, 200);
  }
  EXPECT_GT(fired_total, 3);
}

TEST_F(ManifestDeleteTest, FaultSweepOverDigestDeletion) {
  const std::string body = image_manifest("m");
  const std::string d = digest_of(body);
  std::int64_t fired_total = 0;
  reg_tag_protection_set("keep-*");
  for (int n = 1;; ++n) {
    const std::string repo = "d" + std::to_string(n);
    push(repo, "a", body);
    push(repo, "b", body);
    push(repo, "keep-1", image_manifest("other"));
    reg::fault::arm(reg::fault::Op::any, n, EIO);
    const int rc = reg_manifest_delete(repo.c_str(), d.c_str());
    const std::int64_t fired = reg::fault::fired();
    reg::fault::disarm();
    fired_total += fired;
    const std::string msg = reg_storage_last_error();
    if (rc != 0) {
      EXPECT_TRUE(msg == "delete manifest tags failed: " + repo + "@" + d ||
                  msg == "delete manifest failed: " + repo + "@" + d ||
                  msg == "cannot read manifest: " + repo + "@" + d || msg == "sync deletion failed")
          << n << ": " << msg;
      // A deletion that removed everything but could not sync it reports so: it is done, but
      // may come back after a power cut. Any other failure keeps the manifest.
      if (msg != "sync deletion failed") {
        EXPECT_TRUE(pullable(repo, d)) << n << ": a failed deletion keeps the manifest";
      }
    }
    expect_consistent(rootp(), repo, {"a", "b", "keep-1"});
    EXPECT_TRUE(pullable(repo, "keep-1")) << n;
    if (fired == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_FALSE(pullable(repo, d));
      break;
    }
    ASSERT_LT(n, 200);
  }
  EXPECT_GT(fired_total, 3);
}

// A deletion by digest that fails on something it reads (a tag link, the tags directory)
// fails before its first removal: every tag is still there.
TEST_F(ManifestDeleteTest, DigestDeletionThatCannotReadATagRemovesNothing) {
  const std::string body = image_manifest("m");
  const std::string d = digest_of(body);
  for (const auto op : {reg::fault::Op::read, reg::fault::Op::open}) {
    for (int n = 1; n <= 3; ++n) {  // the three tag links are read before anything is removed
      const std::string repo = "r" + std::to_string(static_cast<int>(op)) + "-" + std::to_string(n);
      push(repo, "a", body);
      push(repo, "b", body);
      push(repo, "c", image_manifest("other"));
      reg::fault::arm(op, n, EIO);
      const int rc = reg_manifest_delete(repo.c_str(), d.c_str());
      reg::fault::disarm();
      ASSERT_EQ(rc, -1) << n;
      EXPECT_EQ(reg_storage_last_error(), "delete manifest tags failed: " + repo + "@" + d);
      for (const char* tag : {"a", "b", "c"}) EXPECT_TRUE(pullable(repo, tag)) << n << " " << tag;
    }
  }
}

}  // namespace
}  // namespace regtest
