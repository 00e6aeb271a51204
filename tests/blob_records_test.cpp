// The blob record: written by the manifest upload for the config and layers it names, kept by
// a repository deletion for protected manifests, checked by fsck and rebuilt by the repair,
// pruned by the collector of the blobs it deletes.
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
  ASSERT_EQ(report.findings.size(), 3u);
  for (const auto& f : report.findings) EXPECT_EQ(f.kind, reg::FsckKind::missing_blob_record);
  EXPECT_TRUE(report.sound());
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

TEST_F(BlobRecordsTest, CollectorPrunesTheRecordsOfTheBlobsItDeletes) {
  const std::string kept = image_manifest("kept", 1), gone = image_manifest("gone", 1);
  push("app", "v1", kept);
  push("other", "v1", gone);
  const std::string gone_digest = push("app", "v2", gone);
  ASSERT_EQ(reg_manifest_delete("app", gone_digest.c_str()), 0);
  ASSERT_EQ(reg_manifest_delete("other", "v1"), 0) << reg_storage_last_error();
  ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
  for (const auto& b : reg::blobs_named_by(gone)) {
    EXPECT_FALSE(reg::blob_recorded("app", b)) << b;
    EXPECT_FALSE(reg::blob_recorded("other", b)) << b;
  }
  for (const auto& b : reg::blobs_named_by(kept)) EXPECT_TRUE(reg::blob_recorded("app", b)) << b;
}

}  // namespace
}  // namespace regtest
