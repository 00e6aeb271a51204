// Durability: under `full` every commit syncs what it wrote, in a few syncs, and a sync that
// fails after a commit is reported while the store stays consistent, so a retry succeeds;
// under `none` nothing is synced.
#include <cerrno>
#include <cstring>

#include "core/durability.h"
#include "platform/call_counts.h"
#include "platform/fault.h"
#include "support/fsck_helpers.h"

namespace {

using namespace regtest;
namespace p = reg::platform;

class DurabilityTest : public StoreTest {
 protected:
  void TearDown() override {
    reg::fault::disarm();
    reg::fault::reset_counts();
    reg::set_durability(reg::Durability::full);
    StoreTest::TearDown();
  }
};

TEST_F(DurabilityTest, CommitsSyncInAFewCallsUnderFullAndNoneUnderNone) {
  p::CallCounts before = p::call_counts();
  const std::string blob = put_blob("durable layer");
  p::CallCounts d = p::call_counts() - before;
  EXPECT_EQ(d.file_syncs, 1u);  // the data, before its name
  EXPECT_EQ(d.dir_syncs, 2u);   // a new fan-out directory, and the store's directory of them

  before = p::call_counts();
  const Image im = push_image("app", "v1", "one");
  const std::string body = im.body;
  d = p::call_counts() - before;
  EXPECT_GE(d.file_syncs, 3u + 4u);  // three blobs, then body, content type, two links
  const p::CallCounts push = d;

  // The same push into the existing repository creates no directory but the tag's.
  before = p::call_counts();
  char digest[72];
  ASSERT_EQ(reg_manifest_put("app", "v2", body.data(), body.size(), nullptr, digest), 0);
  d = p::call_counts() - before;
  EXPECT_EQ(d.file_syncs, 4u);
  EXPECT_LE(d.dir_syncs, 6u);
  EXPECT_LT(d.syncs(), push.syncs());

  reg::set_durability(reg::Durability::none);
  before = p::call_counts();
  push_image("app", "v3", "three");
  ASSERT_EQ(reg_manifest_delete("app", "v3"), 0);
  EXPECT_EQ((p::call_counts() - before).syncs(), 0u);
}

// A removal is durable through the directory that lost the entry: once the repository's own
// directory is gone, its parent carries everything below it; a blob deletion syncs its
// fan-out directory (and the store's directory of them when that went too).
TEST_F(DurabilityTest, DeletionsSyncTheDirectoriesThatLostEntries) {
  push_image("gone", "v1", "doomed");
  p::CallCounts before = p::call_counts();
  ASSERT_EQ(reg_repo_delete("gone"), 0) << reg_storage_last_error();
  p::CallCounts d = p::call_counts() - before;
  EXPECT_EQ(d.file_syncs, 0u);
  EXPECT_EQ(d.dir_syncs, 1u);

  const std::string blob = put_blob("a lone blob");
  before = p::call_counts();
  ASSERT_EQ(reg_blob_delete(blob.c_str()), 0) << reg_storage_last_error();
  d = p::call_counts() - before;
  EXPECT_EQ(d.dir_syncs, 2u);  // alone in its fan-out directory

  // A collection syncs each fan-out directory it deleted from once, and the store's
  // directory of them when some went: here the deleted repository's three blobs and one more.
  put_blob("garbage one");
  before = p::call_counts();
  const char* summary = reg_gc_json(0);
  ASSERT_NE(summary, nullptr) << reg_storage_last_error();
  d = p::call_counts() - before;
  ASSERT_NE(std::strstr(summary, "\"blobs_deleted\":4,"), nullptr) << summary;
  EXPECT_GE(d.dir_syncs, 4u);
  EXPECT_LE(d.dir_syncs, 5u);
}

// A directory sync that fails once the blob is renamed in reports the failure; the blob is
// stored whole, and uploading it again succeeds and syncs it.
TEST_F(DurabilityTest, FailedSyncAfterCommitReportsAndARetrySucceeds) {
  const std::string data = "layer whose directory sync fails";
  const std::string digest = digest_of(data);
  char id[37], out[72];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
  reg::fault::arm(reg::fault::Op::sync_dir, 1, EIO);
  EXPECT_NE(reg_blob_finish_upload(id, digest.c_str(), out), 0);
  EXPECT_EQ(std::string(reg_storage_last_error()).rfind("sync blob failed: ", 0), 0u);
  reg::fault::disarm();
  EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
  const p::CallCounts before = p::call_counts();
  EXPECT_EQ(put_blob(data), digest);
  EXPECT_GE((p::call_counts() - before).syncs(), 2u);
  const reg::FsckReport r = run_fsck();
  EXPECT_TRUE(r.sound()) << joined(finding_lines(r));
}

TEST_F(DurabilityTest, SettingNamesParse) {
  reg::Durability d{};
  ASSERT_TRUE(reg::parse_durability("none", &d));
  EXPECT_EQ(d, reg::Durability::none);
  ASSERT_TRUE(reg::parse_durability("full", &d));
  EXPECT_STREQ(reg::durability_name(d), "full");
  EXPECT_FALSE(reg::parse_durability("Full", &d));
  EXPECT_FALSE(reg::parse_durability("", &d));
}

}  // namespace
