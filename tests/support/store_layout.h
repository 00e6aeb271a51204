// Manifest stores laid out file by file, as the manifest store keeps them: for fixtures too
// large to push one by one and for corner cases that no push can produce.
#pragma once

#include <yyjson.h>

#include <initializer_list>
#include <string>

#include "support/test_support.h"

namespace regtest {

inline fs::path manifests_path(const fs::path& root, const std::string& repo) {
  return root / "repositories" / repo / "_manifests";
}

inline std::string hex_of(const std::string& digest) { return digest.substr(7); }

inline void place_tag(const fs::path& root, const std::string& repo, const std::string& tag,
                      const std::string& link) {
  write_all(manifests_path(root, repo) / "tags" / tag / "current" / "link", link);
}

// Body, content type (none when `ct` is null), revision link and one link per tag. Returns the
// digest of the body.
inline std::string place_manifest(const fs::path& root, const std::string& repo,
                                  const std::string& body, const char* ct,
                                  std::initializer_list<std::string> tags = {}) {
  const std::string digest = digest_of(body);
  const fs::path m = manifests_path(root, repo);
  write_all(m / hex_of(digest), body);
  if (ct) write_all(m / (hex_of(digest) + ".ct"), ct);
  write_all(m / "revisions" / "sha256" / hex_of(digest) / "link", digest);
  for (const auto& t : tags) place_tag(root, repo, t, digest);
  return digest;
}

// A file at the blob path of `digest`; its content need not hash to the name.
inline void place_blob_file(const fs::path& root, const std::string& digest,
                            const std::string& content) {
  const std::string hex = hex_of(digest);
  write_all(root / "blobs" / "sha256" / hex.substr(0, 2) / hex, content);
}

// A blob file for the config and every layer that `body` names, so that a push passes the
// blob checks.
inline void place_referenced_blobs(const fs::path& root, const std::string& body) {
  yyjson_doc* doc = yyjson_read(body.data(), body.size(), 0);
  ASSERT_NE(doc, nullptr);
  yyjson_val* r = yyjson_doc_get_root(doc);
  auto place = [&](yyjson_val* desc) {
    yyjson_val* d = yyjson_obj_get(desc, "digest");
    if (yyjson_is_str(d)) place_blob_file(root, yyjson_get_str(d), "blob");
  };
  if (yyjson_val* c = yyjson_obj_get(r, "config")) place(c);
  std::size_t i, n;
  yyjson_val* el;
  yyjson_arr_foreach(yyjson_obj_get(r, "layers"), i, n, el) place(el);
  yyjson_doc_free(doc);
}

inline std::string testdata_manifest(const std::string& name) {
  return read_all(fs::path(testdata_dir()) / "manifests" / name);
}

}  // namespace regtest
