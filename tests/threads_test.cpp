// Many threads on one store: every exported function runs concurrently; each thread sees its
// own errors and text results, upload ids never repeat, parallel pushes arrive whole, a
// protected tag is claimed once, and a repeated init never shows a running call an
// uninitialised library. Under ThreadSanitizer the same runs prove the absence of races.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "manifest_fixture.h"
#include "reg_storage.h"

namespace {

using namespace regtest;

constexpr int kThreads = 8;

// Runs `fn(t)` on kThreads threads at once.
template <class F>
void run_threads(F fn) {
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) ts.emplace_back(fn, t);
  for (auto& th : ts) th.join();
}

class ThreadsTest : public ManifestTest {
 protected:
  void push_and_read(int t, int round);
};

// Upload, push, read back, list, refer, delete: one thread's part of the mixed workload. Every
// failure message checked is one this thread just caused.
void ThreadsTest::push_and_read(int t, int round) {
  const std::string repo = "t" + std::to_string(t);
  const std::string tag = "r" + std::to_string(round);
  const std::string body = image_manifest(repo + tag, 1);
  char digest[72];
  ASSERT_EQ(reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(), nullptr, digest),
            0)
      << reg_storage_last_error();

  char ct[128], got_digest[72];
  const char* got = reg_manifest_get(repo.c_str(), tag.c_str(), ct, got_digest);
  ASSERT_NE(got, nullptr) << reg_storage_last_error();
  std::this_thread::yield();  // other threads write their own results meanwhile
  EXPECT_EQ(std::string(got), body);
  EXPECT_STREQ(got_digest, digest);

  const std::string bad = "bad..name" + std::to_string(t);
  EXPECT_EQ(reg_manifest_delete(bad.c_str(), "x"), -1);
  std::this_thread::yield();
  EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");

  const char* tags = reg_tags_list_json(repo.c_str());
  ASSERT_NE(tags, nullptr) << reg_storage_last_error();
  EXPECT_NE(std::string(tags).find("\"" + tag + "\""), std::string::npos);
  const char* refs = reg_referrers_json(digest);
  EXPECT_NE(refs, nullptr) << reg_storage_last_error();
  EXPECT_NE(reg_catalog_json(0, nullptr), nullptr);
  int more = 0;
  char next[256];
  EXPECT_NE(reg_catalog_json_page(2, nullptr, &more, next, sizeof next), nullptr);
  EXPECT_NE(reg_tags_list_json_page(repo.c_str(), 1, nullptr, &more, next, sizeof next), nullptr);
  EXPECT_NE(reg_storage_get_stats_json(), nullptr);
  EXPECT_NE(reg_gc_progress_json(), nullptr);
  if (round % 2) {
    EXPECT_EQ(reg_manifest_delete(repo.c_str(), tag.c_str()), 0) << reg_storage_last_error();
  }
}

// A blob uploaded in chunks, checked through every lookup, then cancelled uploads and a
// deleted blob of this thread's own.
void upload_and_look_up(int t, int round) {
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
  const std::string chunk(4096 + t, static_cast<char>('a' + t));
  std::string all;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(reg_blob_append_chunk(id, chunk.data(), chunk.size()), 0);
    all += chunk;
  }
  all += std::to_string(round);
  ASSERT_EQ(reg_blob_append_chunk(id, all.data() + chunk.size() * 4, all.size() - chunk.size() * 4),
            0);
  long long size = 0;
  ASSERT_EQ(reg_blob_upload_size(id, &size), 0);
  EXPECT_EQ(size, static_cast<long long>(all.size()));
  const std::string d = digest_of(all);
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id, d.c_str(), out), 0) << reg_storage_last_error();
  EXPECT_EQ(reg_blob_exists(d.c_str()), 1);
  EXPECT_EQ(reg_blob_get_size(d.c_str()), static_cast<long long>(all.size()));
  char path[4096];
  ASSERT_EQ(reg_blob_get_filepath(d.c_str(), path, sizeof path), 0);
  EXPECT_EQ(read_all(path), all);

  ASSERT_EQ(reg_blob_start_upload(id), 0);
  EXPECT_EQ(reg_blob_cancel_upload(id), 0);
  const std::string wrong = digest_of("not " + all);
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  EXPECT_EQ(reg_blob_finish_upload(id, wrong.c_str(), out), -1);
  std::this_thread::yield();
  EXPECT_EQ(std::string(reg_storage_last_error()).rfind("digest mismatch: expected " + wrong, 0),
            0u);
  if (round % 3 == 0) {
    EXPECT_EQ(reg_blob_delete(d.c_str()), 0) << reg_storage_last_error();
  }
}

TEST_F(ThreadsTest, EveryFunctionRunsConcurrentlyAndEachThreadSeesItsOwnOutcome) {
  std::atomic<bool> done{false};
  // Maintenance and protection run beside the workers, on the same store.
  std::thread maintenance([&] {
    while (!done) {
      reg_tag_protection_set("keep/*:v*");
      EXPECT_EQ(reg_tag_is_protected("keep/a", "v1"), 1);
      reg_tag_protection_set("");
      const char* gc = reg_gc_json(1);
      if (!gc) {
        EXPECT_STREQ(reg_storage_last_error(), "uploads in progress");
      }
      reg_gc_cancel();
      const char* ret = reg_retention_json(1, 1, 0, 0, nullptr);
      EXPECT_NE(ret, nullptr) << reg_storage_last_error();
    }
  });
  run_threads([&](int t) {
    for (int round = 0; round < 6; ++round) {
      if (t % 2)
        push_and_read(t, round);
      else
        upload_and_look_up(t, round);
    }
  });
  done = true;
  maintenance.join();
  EXPECT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
  EXPECT_EQ(reg_repo_delete("t1"), 0) << reg_storage_last_error();
}

TEST_F(ThreadsTest, UploadIdsNeverRepeatAcrossThreads) {
  std::vector<std::vector<std::string>> ids(kThreads);
  run_threads([&](int t) {
    char id[37];
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
      ids[t].push_back(id);
    }
  });
  std::set<std::string> all;
  for (const auto& v : ids) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * 100));
}

TEST_F(ThreadsTest, ProtectedTagIsClaimedByOnePushOnly) {
  reg_tag_protection_set("fixed:v1");
  std::vector<std::string> bodies;
  for (int t = 0; t < kThreads; ++t)
    bodies.push_back(image_manifest("claim" + std::to_string(t), 1));
  std::atomic<int> won{0};
  run_threads([&](int t) {
    char digest[72];
    const std::string& b = bodies[t];
    if (reg_manifest_put("fixed", "v1", b.data(), b.size(), nullptr, digest) == 0)
      ++won;
    else
      EXPECT_STREQ(reg_storage_last_error(), "TAG_IMMUTABLE: fixed:v1");
  });
  EXPECT_EQ(won.load(), 1);
}

TEST_F(ThreadsTest, RepeatedInitAndCleanupNeverCutARunningCall) {
  const std::string d = make_blob("present");
  std::atomic<bool> done{false};
  std::thread reinit([&] {
    for (int i = 0; i < 200; ++i) EXPECT_EQ(reg_storage_init(root().c_str()), 0);
    done = true;
  });
  run_threads([&](int) {
    while (!done) EXPECT_EQ(reg_blob_exists(d.c_str()), 1) << reg_storage_last_error();
  });
  reinit.join();

  // Cleanup and init in a loop: each call either runs whole or is refused as uninitialised.
  done = false;
  std::thread toggle([&] {
    for (int i = 0; i < 200; ++i) {
      reg_storage_cleanup();
      EXPECT_EQ(reg_storage_init(root().c_str()), 0);
    }
    done = true;
  });
  run_threads([&](int) {
    while (!done) {
      const int r = reg_blob_exists(d.c_str());
      if (r != 1) {
        EXPECT_EQ(r, -1);
        EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
      }
    }
  });
  toggle.join();
}

}  // namespace
