// Storage statistics against stores whose counts are worked out by hand.
#include <string>

#include "manifest_fixture.h"
#include "support/store_layout.h"

namespace regtest {
namespace {

class StatsTest : public ManifestTest {
 protected:
  std::string stats() {
    const char* s = reg_storage_get_stats_json();
    EXPECT_NE(s, nullptr) << reg_storage_last_error();
    return s ? s : "";
  }
  static std::string expected(int repos, int tags, int blobs, long long blob_bytes, int uploads,
                              long long upload_bytes) {
    return "{\"version\":\"1.12.0\",\"repositories\":" + std::to_string(repos) +
           ",\"tags\":" + std::to_string(tags) + ",\"blobs\":" + std::to_string(blobs) +
           ",\"blob_bytes\":" + std::to_string(blob_bytes) +
           ",\"active_uploads\":" + std::to_string(uploads) +
           ",\"upload_bytes\":" + std::to_string(upload_bytes) + "}";
  }
};

TEST_F(StatsTest, EmptyStoreCountsNothing) {
  EXPECT_EQ(stats(),
            "{\"version\":\"1.12.0\",\"repositories\":0,\"tags\":0,\"blobs\":0,\"blob_bytes\":0,"
            "\"active_uploads\":0,\"upload_bytes\":0}");
}

TEST_F(StatsTest, RefusedBeforeInitialisation) {
  reg_storage_cleanup();
  EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

// Three repositories (one nested in another), four tags, the blobs the pushed manifests name,
// two uploaded blobs and one upload in progress.
TEST_F(StatsTest, CountsPushedStore) {
  if (testdata_dir().empty()) GTEST_SKIP() << "shared test data not found";
  const std::string one = testdata_manifest("oci-manifest-1layer.json");  // config + 1 layer
  const std::string docker =
      testdata_manifest("docker-v2s2-1layer-compact.json");                // config + 1 layer
  const std::string two = testdata_manifest("oci-manifest-2layers.json");  // config + 2 layers
  for (const auto* b : {&one, &docker, &two})
    place_referenced_blobs(rootp(), *b);  // 7 files of 4 bytes
  push("alpha", "latest", one);
  push("alpha", "v1", one);
  push("alpha", digest_of(docker), docker);  // untagged
  push("team", "stable", docker);
  push("team/app", "arm64", two);
  make_blob("first blob");     // 10 bytes
  make_blob("second blob!!");  // 13 bytes
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
  ASSERT_EQ(reg_blob_append_chunk(id, "12345", 5), 0) << reg_storage_last_error();
  EXPECT_EQ(stats(), expected(3, 4, 9, 7 * 4 + 10 + 13, 1, 5));
}

// What counts and what does not, each placed by hand.
TEST_F(StatsTest, CountsOnlyWhatEachCounterDefines) {
  const fs::path tags = manifests_path(rootp(), "r") / "tags";
  write_all(tags / "ok" / "current" / "link",
            std::string("sha256:") + std::string(64, 'a'));       // counted
  write_all(tags / "empty" / "current" / "link", "");             // counted
  fs::create_directories(tags / "nolink" / "current");            // not
  fs::create_directories(tags / "linkdir" / "current" / "link");  // not
  write_all(tags / "stray", "x");                                 // not
  const fs::path sha = rootp() / "blobs" / "sha256";
  write_all(sha / "stray", "0123456789");       // directly in sha256: not a blob
  write_all(sha / "zz" / "anything", "12345");  // any name in a fan-out directory: a blob
  write_all(sha / "ab" / "x", "123");
  write_all(sha / "ab" / "nested" / "deeper", "1234567");  // nested deeper: not a blob
  write_all(rootp() / "uploads" / "notes.txt", "abc");     // any upload file counts
  write_all(rootp() / "uploads" / "sub" / "file", "abcdef");
  EXPECT_EQ(stats(), expected(1, 2, 2, 8, 1, 3));
}

TEST_F(StatsTest, NestedRepositoriesCountSeparately) {
  place_manifest(rootp(), "team", "{\"a\":1}", nullptr, {"t1"});
  place_manifest(rootp(), "team/app", "{\"a\":2}", nullptr, {"t1", "t2"});
  fs::create_directories(rootp() / "repositories" / "group" / "deep" /
                         "_manifests");  // group is not one
  EXPECT_EQ(stats(), expected(3, 3, 0, 0, 0, 0));
}

TEST_F(StatsTest, BlobOverFourGiBAddsItsFullSize) {
  const fs::path big = rootp() / "blobs" / "sha256" / "ff" / "big";
  write_all(big, "");
  const std::uintmax_t size = (5ull << 30) + 7;
  fs::resize_file(big, size);  // sparse: no disk space used
  EXPECT_EQ(stats(), expected(0, 0, 1, static_cast<long long>(size), 0, 0));
}

// Every entry of a directory counts, beyond what one capped listing holds.
TEST_F(StatsTest, CountsEveryEntryOfADirectory) {
  const fs::path fanout = rootp() / "blobs" / "sha256" / "00";
  for (int i = 0; i < 600; ++i) write_all(fanout / std::to_string(i), "1");
  EXPECT_EQ(stats(), expected(0, 0, 600, 600, 0, 0));
}

}  // namespace
}  // namespace regtest
