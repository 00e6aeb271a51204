// The subject index: written by the manifest upload, removed by deletion, kept by a repository
// deletion for its protected manifests, checked by the checker, rebuilt by the repair and
// pruned by the collector.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fsck/fsck.h"
#include "maintenance/fsck_repair.h"
#include "manifest_fixture.h"
#include "manifests/subject_index.h"

namespace regtest {
namespace {

class SubjectIndexTest : public ManifestTest {
 protected:
  void SetUp() override {
    ManifestTest::SetUp();
    subject_ = push("app", "v1", image_manifest("subject"));
    empty_ = make_blob("{}");
  }
  void TearDown() override {
    reg_tag_protection_set("");
    ManifestTest::TearDown();
  }

  std::string artifact(const std::string& type, const std::string& subject) {
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
           "\"config\":{\"mediaType\":\"" +
           type + "\",\"digest\":\"" + empty_ +
           "\",\"size\":2},\"layers\":[],\"subject\":{\"mediaType\":\"x\",\"digest\":\"" + subject +
           "\",\"size\":1},\"annotations\":{\"a\":\"b\\\"c\",\"n\":1}}";
  }
  std::vector<std::string> listed(const std::string& repo, const std::string& subject) {
    std::vector<std::string> out;
    EXPECT_TRUE(reg::subject_index_list(repo, subject.substr(7), out));
    return out;
  }
  fs::path entry_file(const std::string& repo, const std::string& subject,
                      const std::string& digest) const {
    return manifests_dir(repo) / "subjects" / subject.substr(7) / digest.substr(7);
  }
  std::vector<std::string> findings() {
    reg::FsckReport report;
    EXPECT_TRUE(reg::fsck_store(report));
    std::vector<std::string> out;
    for (const auto& f : report.findings)
      if (f.path.find("subject") != std::string::npos ||
          f.kind == reg::FsckKind::missing_subject_entry)
        out.push_back(std::string(reg::fsck_kind_name(f.kind)));
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string subject_, empty_;
};

TEST_F(SubjectIndexTest, UploadWritesTheDescriptorAndDeletionRemovesIt) {
  const std::string body = artifact("application/x-sig", subject_);
  const std::string sig = push("app", "sig", body);
  const std::string expected =
      "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + sig +
      "\",\"size\":" + std::to_string(body.size()) +
      ",\"artifactType\":\"application/x-sig\",\"annotations\":{\"a\":\"b\\\"c\"}}";
  EXPECT_EQ(listed("app", subject_), std::vector<std::string>{expected});
  EXPECT_TRUE(listed("other", subject_).empty());
  // A manifest without subject is indexed nowhere; the library's own referrers ignore subject.
  EXPECT_FALSE(fs::exists(manifests_dir("app") / "subjects" / sig.substr(7)));
  EXPECT_EQ(std::string(reg_referrers_json(subject_.c_str())).find(sig), std::string::npos);
  // Pushed by digest, the entry goes with the manifest; the subject's directory with the last.
  const std::string sbom =
      push("app", "sha256:" + std::string(64, '0'), artifact("application/x-sbom", subject_));
  EXPECT_EQ(listed("app", subject_).size(), 2u);
  ASSERT_EQ(reg_manifest_delete("app", "sig"), 0);
  ASSERT_EQ(listed("app", subject_).size(), 1u);
  EXPECT_NE(listed("app", subject_)[0].find(sbom), std::string::npos);
  ASSERT_EQ(reg_manifest_delete("app", sbom.c_str()), 0);
  EXPECT_TRUE(listed("app", subject_).empty());
  EXPECT_FALSE(fs::exists(manifests_dir("app") / "subjects" / subject_.substr(7)));
  EXPECT_TRUE(findings().empty());
}

TEST_F(SubjectIndexTest, InvalidSubjectsAreNotIndexed) {
  for (const std::string& bad :
       {std::string("sha256:ABC"), std::string("sha512:") + std::string(64, 'a')}) {
    push("app", "bad", artifact("t", bad));
  }
  push("app", "str",
       "{\"config\":{\"digest\":\"" + empty_ + "\"},\"subject\":\"" + subject_ + "\"}");
  EXPECT_FALSE(fs::exists(manifests_dir("app") / "subjects"));
}

TEST_F(SubjectIndexTest, RepositoryDeletionKeepsTheEntriesOfProtectedManifests) {
  const std::string kept = push("app", "keep-sig", artifact("application/x-sig", subject_));
  const std::string gone = push("app", "sig", artifact("application/x-sbom", subject_));
  reg_tag_protection_set("keep-*");
  ASSERT_EQ(reg_repo_delete("app"), 0);
  const auto left = listed("app", subject_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(left[0].find(kept), std::string::npos);
  EXPECT_FALSE(fs::exists(entry_file("app", subject_, gone)));
  reg_tag_protection_set("");
  ASSERT_EQ(reg_repo_delete("app"), 0);
  EXPECT_TRUE(listed("app", subject_).empty());
}

TEST_F(SubjectIndexTest, CheckerReportsAndRepairRebuilds) {
  const std::string sig = push("app", "sig", artifact("application/x-sig", subject_));
  const std::string sbom = push("app", "sbom", artifact("application/x-sbom", subject_));
  // Lost: the sig's entry. Misfiled: sbom's entry under another subject. Dangling: an entry
  // whose manifest is gone.
  fs::remove(entry_file("app", subject_, sig));
  fs::rename(entry_file("app", subject_, sbom),
             entry_file("app", subject_, sbom).parent_path() / "x");
  const std::string other = digest_of("other");
  fs::create_directories(entry_file("app", other, sbom).parent_path());
  write_all(entry_file("app", other, sbom), "{}");
  write_all(entry_file("app", subject_, digest_of("gone")), "{}");
  fs::remove(entry_file("app", subject_, sbom).parent_path() / "x");
  EXPECT_EQ(findings(),
            (std::vector<std::string>{"dangling_subject_entry", "misfiled_subject_entry",
                                      "missing_subject_entry", "missing_subject_entry"}));
  EXPECT_TRUE(listed("app", subject_).empty());
  reg::FsckRepairReport r;
  ASSERT_TRUE(reg::fsck_repair(r));
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.subject_entries_written, 2);
  EXPECT_EQ(r.subject_entries_removed, 2);
  EXPECT_TRUE(findings().empty());
  EXPECT_EQ(listed("app", subject_).size(), 2u);
  EXPECT_FALSE(fs::exists(manifests_dir("app") / "subjects" / other.substr(7)));
  ASSERT_TRUE(reg::fsck_repair(r));
  EXPECT_EQ(r.subject_entries_written + r.subject_entries_removed, 0);  // nothing left to do
}

TEST_F(SubjectIndexTest, CollectionPrunesOldEntriesWithoutManifestAndKeepsTheRest) {
  const std::string sig = push("app", "sig", artifact("application/x-sig", subject_));
  const fs::path old_entry = entry_file("app", subject_, digest_of("old"));
  const fs::path fresh_entry = entry_file("app", subject_, digest_of("fresh"));
  write_all(old_entry, "{}");
  write_all(fresh_entry, "{}");
  fs::last_write_time(old_entry, fs::last_write_time(old_entry) - std::chrono::hours(1));
  ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
  EXPECT_FALSE(fs::exists(old_entry));
  EXPECT_TRUE(fs::exists(fresh_entry));  // may belong to a push still writing its body
  EXPECT_TRUE(fs::exists(entry_file("app", subject_, sig)));
  // The referrer's own blobs are marked like any manifest's.
  EXPECT_EQ(reg_blob_exists(empty_.c_str()), 1);
}

}  // namespace
}  // namespace regtest
