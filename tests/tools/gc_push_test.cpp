// Pushes in a loop while collections run in other processes: every push the server
// acknowledged stays whole, and the collections did run and delete garbage meanwhile.
#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

constexpr int kPushes = 60;

struct Pushed {
  std::string tag, manifest;
  std::vector<std::string> blobs;  // contents; their digests are named by the manifest
};

std::string post_blob(httplib::Client& c, const std::string& data, int& status) {
  std::string d = tool::sha256_digest(data);
  auto r =
      c.Post(("/v2/loop/app/blobs/uploads/?digest=" + d).c_str(), data, "application/octet-stream");
  status = r ? r->status : 0;
  return d;
}

// One push: a garbage blob no manifest names, then a config, a layer and the manifest.
// Returns the manifest's status (0 when a blob upload already failed).
int push_one(httplib::Client& c, int i, Pushed& p) {
  int status;
  post_blob(c, "garbage " + std::to_string(i), status);
  p.tag = "t" + std::to_string(i);
  p.blobs = {"{\"n\":" + std::to_string(i) + "}", "layer " + std::to_string(i)};
  std::string cd = post_blob(c, p.blobs[0], status);
  if (status != 201) return 0;
  std::string ld = post_blob(c, p.blobs[1], status);
  if (status != 201) return 0;
  p.manifest = R"({"schemaVersion":2,"config":{"digest":")" + cd +
               R"(","size":1},"layers":[{"digest":")" + ld + R"(","size":1}]})";
  auto r = c.Put(("/v2/loop/app/manifests/" + p.tag).c_str(), p.manifest,
                 "application/vnd.oci.image.manifest.v1+json");
  if (r && r->status == 400) {
    // The blobs were collected between their upload and the manifest: the push is refused
    // (and a client retries it), never acknowledged with blobs missing.
    EXPECT_NE(r->body.find("MANIFEST_BLOB_UNKNOWN"), std::string::npos) << r->body;
  }
  return r ? r->status : 0;
}

long long deleted_in(const std::string& summary) {
  size_t at = summary.find("\"blobs_deleted\":");
  return at == std::string::npos ? 0 : std::atoll(summary.c_str() + at + 16);
}

TEST(GcPushTest, CollectionsNeverRemoveBlobsOfAcknowledgedPushes) {
  std::string dir = tooltest::make_temp_dir();
  std::string root = dir + "/store";
  tooltest::ServerProcess server(root, {}, {"--gc-wait-ms", "10000"});
  std::atomic<bool> pushing{true};
  std::vector<Pushed> acked;
  int refused = 0;
  std::thread pusher([&] {
    httplib::Client c = server.client();
    for (int i = 0; i < kPushes; ++i) {
      Pushed p;
      int status = push_one(c, i, p);
      if (status == 201)
        acked.push_back(p);
      else
        ++refused;
    }
    pushing = false;
  });
  int collections = 0;
  long long deleted = 0;
  while (pushing) {
    std::string out;
    // Back to back and without a grace period: only the collector's holds protect the pushes.
    if (tooltest::run_tool({"--root", root, "--json", "gc", "--grace-period", "0"}, &out) == 0) {
      ++collections;
      deleted += deleted_in(out);
    }
  }
  pusher.join();
  std::string out;
  ASSERT_EQ(tooltest::run_tool({"--root", root, "--json", "gc"}, &out), 0);
  std::printf("%d pushes acknowledged, %d refused, %d collections ran alongside\n",
              static_cast<int>(acked.size()), refused, collections);
  EXPECT_GT(collections, 0);
  EXPECT_GT(deleted + deleted_in(out), 0);
  EXPECT_EQ(static_cast<int>(acked.size()) + refused, kPushes);
  ASSERT_FALSE(acked.empty());
  httplib::Client c = server.client();
  for (const Pushed& p : acked) {
    auto m = c.Get(("/v2/loop/app/manifests/" + p.tag).c_str());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->body, p.manifest) << p.tag;
    for (const std::string& b : p.blobs) {
      auto r = c.Get(("/v2/loop/app/blobs/" + tool::sha256_digest(b)).c_str());
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, 200) << p.tag;
      EXPECT_EQ(r->body, b) << p.tag;
    }
  }
  EXPECT_EQ(server.stop(), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
