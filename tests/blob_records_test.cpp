// The blob record: written by the manifest upload for the config and layers it names, kept by
// a repository deletion for protected manifests, rebuilt by the repair.
#include <string>

#include "fsck/fsck.h"
#include "maintenance/fsck_repair.h"
#include "manifest_fixture.h"
#include "manifests/blob_records.h"

namespace regtest {
namespace {

class BlobRecordsTest : public ManifestTest {
 protected:
  void TearDown() override {
    reg_tag_protection_set("");
    ManifestTest::TearDown();
  }
  std::string config_of(const std::string& body) {
    const auto blobs = reg::blobs_named_by(body);
    return blobs.empty() ? "" : blobs[0];
  }
};

TEST_F(BlobRecordsTest, UploadRecordsWhatItNamesAndRepairRestoresIt) {
  const std::string body = image_manifest("one", 2);
  const auto blobs = reg::blobs_named_by(body);
  ASSERT_EQ(blobs.size(), 3u);
  push("app", "v1", body);
  for (const auto& b : blobs) {
    EXPECT_TRUE(reg::blob_recorded("app", b)) << b;
    EXPECT_FALSE(reg::blob_recorded("other", b)) << b;
  }
  // An index names manifests, not blobs.
  const std::string index = "{\"manifests\":[{\"digest\":\"" + digest_of(body) + "\"}]}";
  EXPECT_TRUE(reg::blobs_named_by(index).empty());
  fs::remove_all(manifests_dir("app") / "blobs");
  reg::FsckReport report;
  ASSERT_TRUE(reg::fsck_store(report));
  EXPECT_TRUE(report.findings.empty());
  reg::FsckRepairReport r;
  ASSERT_TRUE(reg::fsck_repair(r));
  EXPECT_EQ(r.blob_records_written, 3);
  for (const auto& b : blobs) EXPECT_TRUE(reg::blob_recorded("app", b)) << b;
  write_all(manifests_dir("app") / "blobs" / "stray", "");
  ASSERT_TRUE(reg::fsck_store(report));
  ASSERT_EQ(report.findings.size(), 1u);
  EXPECT_EQ(report.findings[0].kind, reg::FsckKind::unknown_entry);
}

TEST_F(BlobRecordsTest, RepositoryDeletionKeepsTheRecordsOfProtectedManifests) {
  const std::string kept = image_manifest("kept", 1), gone = image_manifest("gone", 1);
  push("app", "keep-1", kept);
  push("app", "dev", gone);
  reg_tag_protection_set("keep-*");
  ASSERT_EQ(reg_repo_delete("app"), 0);
  EXPECT_TRUE(reg::blob_recorded("app", config_of(kept)));
  EXPECT_FALSE(reg::blob_recorded("app", config_of(gone)));
}

}  // namespace
}  // namespace regtest
