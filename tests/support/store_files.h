// Builds store content by writing its files directly (blob files, manifest bodies, links),
// for tests that need a store shape the API cannot make quickly, or times it cannot set.
#pragma once

#include <sys/stat.h>
#include <fcntl.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace regtest {

inline std::string hex_of(const std::string& digest) { return digest.substr(7); }

// Writes `data` as blob file blobs/sha256/hh/hex; returns its digest.
inline std::string write_blob_file(const fs::path& root, const std::string& data) {
  const std::string d = digest_of(data);
  const std::string hex = hex_of(d);
  write_all(root / "blobs" / "sha256" / hex.substr(0, 2) / hex, data);
  return d;
}

// Writes a manifest as a push would (body, .ct, revision link, and the tag link when `tag` is
// not empty); returns its digest. `body_only` writes the body alone, for bulk stores.
inline std::string write_manifest_files(const fs::path& root, const std::string& repo,
                                        const std::string& body, const std::string& tag = "",
                                        bool body_only = false) {
  const std::string d = digest_of(body);
  const fs::path m = root / "repositories" / repo / "_manifests";
  write_all(m / hex_of(d), body);
  if (body_only) return d;
  write_all(m / (hex_of(d) + ".ct"), "application/vnd.oci.image.manifest.v1+json");
  write_all(m / "revisions" / "sha256" / hex_of(d) / "link", d);
  if (!tag.empty()) write_all(m / "tags" / tag / "current" / "link", d);
  return d;
}

inline std::string image_manifest(const std::string& config,
                                  const std::vector<std::string>& layers) {
  std::string s =
      "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config + "\",\"size\":1},\"layers\":[";
  for (std::size_t i = 0; i < layers.size(); ++i)
    s += (i ? "," : "") + std::string("{\"digest\":\"") + layers[i] + "\",\"size\":1}";
  return s + "]}";
}

inline std::string index_manifest(const std::vector<std::string>& children) {
  std::string s = "{\"schemaVersion\":2,\"manifests\":[";
  for (std::size_t i = 0; i < children.size(); ++i)
    s += (i ? "," : "") + std::string("{\"digest\":\"") + children[i] + "\",\"size\":1}";
  return s + "]}";
}

// Sets the last-write time of `p` (not following a link) to `unix_seconds`.
inline void set_mtime(const fs::path& p, std::int64_t unix_seconds) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(unix_seconds);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << p;
}

inline void set_age(const fs::path& p, std::int64_t seconds) {
  set_mtime(p, std::time(nullptr) - seconds);
}

// Makes sure that at least 300 ms remain in the wall clock's current second (waiting for the
// next one otherwise), so that ages set now are still exact when the code under test reads
// the clock a moment later.
inline void wait_for_fresh_second() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_nsec < 700'000'000) return;
  const std::time_t t = ts.tv_sec;
  while (std::time(nullptr) == t) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// The store's tree without the GC state directory (which every run writes).
inline std::map<std::string, std::string> store_tree_without_gc(const fs::path& root) {
  auto t = snapshot_tree(root);
  for (auto it = t.begin(); it != t.end();)
    it = it->first.rfind("_gc", 0) == 0 ? t.erase(it) : std::next(it);
  return t;
}

}  // namespace regtest
