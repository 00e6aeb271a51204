// Metadata calls per operation: on a shared file system each is a network round trip, so a
// push makes only the directories it lacks and a collection lists each directory once and
// removes only the fan-out directories it emptied.
#include <filesystem>

#include "core/fileutil.h"
#include "core/paths.h"
#include "platform/call_counts.h"
#include "support/fsck_helpers.h"

namespace {

using namespace regtest;
namespace fs = std::filesystem;
namespace p = reg::platform;

using RoundTripsTest = StoreTest;

TEST_F(RoundTripsTest, PushesMakeOnlyTheDirectoriesTheyLack) {
  const Image im = push_image("app", "v1", "one");
  // Same bytes, new tag: the revision directory exists; the tag takes one failed attempt and
  // its two directories.
  p::CallCounts before = p::call_counts();
  char digest[72];
  ASSERT_EQ(reg_manifest_put("app", "v2", im.body.data(), im.body.size(), nullptr, digest), 0);
  EXPECT_EQ((p::call_counts() - before).mkdirs, 3u);

  // A new manifest in the repository: its revision directory only.
  std::vector<std::string> blobs = im.blobs;
  blobs[0] = put_blob("{\"config\":\"two\"}");
  const std::string body = image_body(blobs);
  before = p::call_counts();
  ASSERT_EQ(reg_manifest_put("app", digest_of(body).c_str(), body.data(), body.size(), nullptr,
                             digest),
            0);
  EXPECT_EQ((p::call_counts() - before).mkdirs, 1u);

  // Deep paths: every missing level is made once and reported, highest first; an existing
  // directory costs one call; a file on the way fails.
  const fs::path deep = rootp() / "x" / "y" / "z";
  std::vector<std::string> made;
  before = p::call_counts();
  ASSERT_EQ(reg::mkdirs(deep.c_str(), &made), 0);
  EXPECT_EQ((p::call_counts() - before).mkdirs, 5u);  // z, y, x, then y and z again
  EXPECT_EQ(made, (std::vector<std::string>{(rootp() / "x").string(),
                                            (rootp() / "x" / "y").string(), deep.string()}));
  made.clear();
  ASSERT_EQ(reg::mkdirs((deep.string() + "/").c_str(), &made), 0);
  EXPECT_TRUE(made.empty());
  write_all(rootp() / "x" / "file", "not a directory");
  EXPECT_EQ(reg::mkdirs((rootp() / "x" / "file" / "sub").c_str()), -1);
}

TEST_F(RoundTripsTest, CollectionListsOnceAndRemovesOnlyEmptiedFanouts) {
  const Image im = push_image("app", "v1", "kept", 40);  // some 35 fan-out directories
  const std::string lone = put_blob("unreferenced");  // alone in its fan-out directory, or not
  const fs::path lone_dir = rootp() / "blobs" / "sha256" / lone.substr(7, 2);
  std::size_t sharing = 0;
  for (const auto& b : im.blobs) sharing += b.substr(7, 2) == lone.substr(7, 2);
  fs::create_directories(rootp() / "blobs" / "sha256" / "00");  // an empty one a crash left
  std::size_t fanouts = 0;
  for (const auto& e : fs::directory_iterator(rootp() / "blobs" / "sha256")) fanouts += e.is_directory();

  const p::CallCounts before = p::call_counts();
  const char* summary = reg_gc_json(0);
  ASSERT_NE(summary, nullptr) << reg_storage_last_error();
  const p::CallCounts d = p::call_counts() - before;
  EXPECT_NE(std::string(summary).find("\"blobs_deleted\":1,"), std::string::npos) << summary;
  // The blob store and each fan-out directory once; uploads, the hash states, the repository
  // walk and its manifests, and the subject index make the dozen others.
  EXPECT_GE(d.listings, 1 + fanouts);
  EXPECT_LE(d.listings, 1 + fanouts + 12) << fanouts << " fan-out directories";
  EXPECT_EQ(d.rmdirs, sharing == 0 ? 2u : 1u);  // the emptied one (unless shared) and "00"
  EXPECT_EQ(fs::exists(lone_dir), sharing > 0);
  EXPECT_FALSE(fs::exists(rootp() / "blobs" / "sha256" / "00"));
  for (const auto& b : im.blobs) EXPECT_EQ(reg_blob_exists(b.c_str()), 1) << b;
}

}  // namespace
