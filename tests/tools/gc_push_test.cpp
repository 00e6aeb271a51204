// Pushes in a loop while collections run through the server: every push the server
// acknowledged stays whole, and on a large store with the default grace period no push is
// refused at all while the collections delete its garbage.
#include <gtest/gtest.h>

#include "gc_push_load.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using tooltest::PushLoadOptions;
using tooltest::PushLoadResult;

void expect_whole(const tooltest::ServerProcess& server, const std::string& repo,
                  const PushLoadResult& r) {
  ASSERT_FALSE(r.acked.empty());
  httplib::Client c = server.client();
  std::string why;
  EXPECT_TRUE(tooltest::pushes_whole(c, repo, r.acked, why)) << why;
}

// Back to back and without a grace period: only the collector's holds protect the pushes. A
// push whose blobs were collected before its manifest came is refused, never acknowledged.
TEST(GcPushTest, CollectionsNeverRemoveBlobsOfAcknowledgedPushes) {
  const std::string dir = tooltest::make_temp_dir(), root = dir + "/store";
  tooltest::ServerProcess server(root, {}, {"--gc-wait-ms", "10000"});
  PushLoadOptions o;
  o.min_pushes = 60;
  o.collections = 10;
  o.gc_args = {"--grace-period", "0"};
  const PushLoadResult r = tooltest::push_while_collecting(server, root, o);
  for (const std::string& refusal : r.refusals)
    EXPECT_TRUE(refusal.rfind("400 ", 0) == 0 &&
                refusal.find("MANIFEST_BLOB_UNKNOWN") != std::string::npos)
        << refusal;
  std::printf("%zu pushes acknowledged, %zu refused, %d collections ran alongside\n",
              r.acked.size(), r.refusals.size(), r.collections);
  EXPECT_EQ(r.collections, o.collections);
  EXPECT_GT(r.blobs_deleted, 0);
  expect_whole(server, o.repo, r);
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

// The store's size comes from $TARNWICK_GC_PUSH_BLOBS (default 100,000 blobs named by 1,000
// tagged manifests), written file by file.
TEST(GcPushTest, LargeStoreCollectionsRefuseNoPush) {
  const char* env = std::getenv("TARNWICK_GC_PUSH_BLOBS");
  const int blobs = env ? std::atoi(env) : 100000;
  const int garbage = 1000;
  const std::string dir = tooltest::make_large_store_dir(), root = dir + "/store";
  tooltest::write_large_store(root, blobs, garbage);
  tooltest::ServerProcess server(root, {}, {});
  PushLoadOptions o;
  const PushLoadResult r = tooltest::push_while_collecting(server, root, o);
  std::printf(
      "%d blobs: %zu pushes, %d collections (longest %lld ms), longest hold %lld ms, "
      "every commit waited at most %g s, longest push %.1f ms\n",
      blobs, r.acked.size() + r.refusals.size(), r.collections, r.longest_collection_ms,
      r.longest_hold_ms, r.longest_wait_bound_s, static_cast<double>(r.longest_push_us) / 1e3);
  for (const std::string& refusal : r.refusals) ADD_FAILURE() << "refused: " << refusal;
  for (const std::string& e : r.collection_errors) ADD_FAILURE() << "collection failed: " << e;
  EXPECT_EQ(r.collections, o.collections);
  EXPECT_EQ(r.blobs_deleted, garbage);  // the pushes' own garbage is inside the grace period
  expect_whole(server, o.repo, r);
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

}  // namespace
