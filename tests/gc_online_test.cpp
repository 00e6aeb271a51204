// The collection that runs beside pushes: what a push acknowledged between the mark and the
// deletions keeps its blobs, the grace period and the commit stamp keep fresh blobs, uploads
// never refuse the run, and untagged manifests go only when nothing kept needs them.
#include <functional>

#include "maintenance/gc_online.h"
#include "reg_storage.h"
#include "support/store_files.h"

namespace {

using namespace regtest;

// A gate that lets a test act as a push that lands just before the collector's first hold.
class TestGate : public reg::PushGate {
 public:
  std::function<void()> before_first_hold;
  int holds = 0;
  bool hold(std::string&) override {
    if (holds++ == 0 && before_first_hold) before_first_hold();
    return true;
  }
  void release() override {}
};

class GcOnlineTest : public StoreTest {
 protected:
  fs::path blob_file(const std::string& digest) const {
    const std::string hex = hex_of(digest);
    return rootp() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
  }
  std::string old_blob(const std::string& data) {
    const std::string d = write_blob_file(rootp(), data);
    set_age(blob_file(d), 7200);
    return d;
  }
  reg::OnlineGcReport collect(reg::OnlineGcOptions o, TestGate& gate) {
    reg::OnlineGcReport r;
    std::string error;
    EXPECT_TRUE(reg::gc_run_online(o, gate, r, error)) << error;
    return r;
  }
};

TEST_F(GcOnlineTest, PushesDuringTheRunAndTheGracePeriodKeepTheirBlobs) {
  const std::string garbage = old_blob("old garbage");
  const std::string reused = old_blob("old, unnamed, then named by a push during the run");
  const std::string young = write_blob_file(rootp(), "committed ten minutes ago");
  set_age(blob_file(young), 600);
  // An upload in progress does not refuse the run and stays.
  char id[40];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  TestGate gate;
  std::string committed;
  gate.before_first_hold = [&] {
    // A push that found `reused` stored and named it; and a blob committed during the run
    // from an upload last written long ago.
    const std::string config = put_blob("config of the late push");
    char digest[72];
    const std::string body = image_manifest(config, {reused});
    ASSERT_EQ(reg_manifest_put("late", "v1", body.data(), body.size(),
                               "application/vnd.oci.image.manifest.v1+json", digest),
              0);
    char up[40];
    ASSERT_EQ(reg_blob_start_upload(up), 0);
    ASSERT_EQ(reg_blob_append_chunk(up, "late commit", 11), 0);
    set_age(rootp() / "uploads" / (std::string(up) + ".part"), 7200);
    committed = digest_of("late commit");
    ASSERT_EQ(reg_blob_finish_upload(up, committed.c_str(), digest), 0);
  };
  reg::OnlineGcOptions o;
  o.grace_s = 1800;
  const reg::OnlineGcReport r = collect(o, gate);
  EXPECT_FALSE(fs::exists(blob_file(garbage)));
  EXPECT_TRUE(fs::exists(blob_file(reused)));
  EXPECT_TRUE(fs::exists(blob_file(young)));
  EXPECT_TRUE(fs::exists(blob_file(committed)));
  EXPECT_TRUE(fs::exists(rootp() / "uploads" / (std::string(id) + ".part")));
  EXPECT_EQ(r.blobs_deleted, 1);
  EXPECT_NE(r.summary.find("\"blobs_in_grace\":"), std::string::npos) << r.summary;

  // Without a grace period the young blob goes; the store's clock file is left behind.
  o.grace_s = 0;
  TestGate again;
  collect(o, again);
  EXPECT_FALSE(fs::exists(blob_file(young)));
  EXPECT_TRUE(fs::exists(blob_file(reused)));
  EXPECT_TRUE(fs::exists(rootp() / "_gc" / "clock"));
}

TEST_F(GcOnlineTest, UntaggedManifestsGoOnlyWhenNothingKeptNeedsThem) {
  const auto manifest_of = [&](const std::string& name) {
    return image_manifest(old_blob(name + " config"), {old_blob(name + " layer")});
  };
  const fs::path m = rootp() / "repositories";
  const std::string tagged = write_manifest_files(rootp(), "app", manifest_of("tagged"), "v1");
  const std::string lone = write_manifest_files(rootp(), "app", manifest_of("lone"));
  const std::string child = write_manifest_files(rootp(), "app", manifest_of("child"));
  write_manifest_files(rootp(), "other", index_manifest({child}), "multi");  // another repo
  const std::string referrer = write_manifest_files(
      rootp(), "app",
      "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + old_blob("sig config") +
          "\",\"size\":1},\"layers\":[],\"subject\":{\"digest\":\"" + tagged + "\",\"size\":1}}");
  const std::string young = write_manifest_files(rootp(), "app", manifest_of("young"));
  for (const auto& d : {tagged, lone, child, referrer})
    set_age(m / "app" / "_manifests" / hex_of(d), 7200);
  EXPECT_EQ(reg::gc_count_untagged(), 2);  // lone and young (age 0 counts every one)
  TestGate gate;
  reg::OnlineGcOptions o;
  o.grace_s = 0;
  o.delete_untagged_after_s = 3600;
  const reg::OnlineGcReport r = collect(o, gate);
  EXPECT_EQ(r.manifests_deleted, 1);
  EXPECT_FALSE(fs::exists(m / "app" / "_manifests" / hex_of(lone)));
  for (const auto& d : {tagged, child, referrer, young})
    EXPECT_TRUE(fs::exists(m / "app" / "_manifests" / hex_of(d))) << d;
  EXPECT_FALSE(fs::exists(blob_file(digest_of("lone layer"))));
  EXPECT_TRUE(fs::exists(blob_file(digest_of("child layer"))));
  EXPECT_TRUE(fs::exists(blob_file(digest_of("sig config"))));
  EXPECT_TRUE(fs::exists(blob_file(digest_of("young layer"))));
}

}  // namespace
