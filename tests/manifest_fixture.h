// Helpers shared by the manifest, deletion and listing tests: blobs and manifests made on
// the fly, and direct placement of store files the API cannot produce.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "reg_storage.h"
#include "support/test_support.h"

namespace regtest {

class ManifestTest : public StoreTest {
 protected:
  // Stores `data` as a blob: through an upload when uploads work, else by writing the file
  // under its own digest (the content always hashes to the name).
  std::string make_blob(const std::string& data) {
    char id[37];
    if (reg_blob_start_upload(id) == 0) return put_blob_from(id, data);
    const std::string d = digest_of(data);
    write_all(blob_file(d), data);
    return d;
  }

  // A blob the tests cannot produce content for (a digest taken from a real manifest): the
  // file is placed at its path, which is all that presence checks look at.
  void place_blob(const std::string& digest) { write_all(blob_file(digest), "placeholder"); }

  fs::path blob_file(const std::string& digest) const {
    const std::string hex = digest.substr(7);
    return rootp() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
  }
  fs::path manifests_dir(const std::string& repo) const {
    return rootp() / "repositories" / repo / "_manifests";
  }
  fs::path tag_link(const std::string& repo, const std::string& tag) const {
    return manifests_dir(repo) / "tags" / tag / "current" / "link";
  }
  fs::path rev_link(const std::string& repo, const std::string& digest) const {
    return manifests_dir(repo) / "revisions" / "sha256" / digest.substr(7) / "link";
  }
  fs::path body_file(const std::string& repo, const std::string& digest) const {
    return manifests_dir(repo) / digest.substr(7);
  }

  // An image manifest whose config and layers are stored blobs; `salt` makes it unique.
  std::string image_manifest(const std::string& salt, int layers = 2) {
    const std::string config = make_blob("{\"salt\":\"" + salt + "\"}");
    std::string body =
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
        "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
        config + "\",\"size\":1},\"layers\":[";
    for (int i = 0; i < layers; ++i) {
      if (i) body += ",";
      body += "{\"digest\":\"" + make_blob(salt + "-layer-" + std::to_string(i)) + "\",\"size\":1}";
    }
    return body + "]}";
  }

  // Pushes and returns the digest; fails the test on error.
  std::string push(const std::string& repo, const std::string& ref, const std::string& body,
                   const char* content_type = nullptr) {
    char digest[72] = {0};
    EXPECT_EQ(
        reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), content_type, digest),
        0)
        << repo << ":" << ref << " " << reg_storage_last_error();
    return digest;
  }

 private:
  std::string put_blob_from(const char* id, const std::string& data) {
    EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0) << reg_storage_last_error();
    char out[72];
    const std::string d = digest_of(data);
    EXPECT_EQ(reg_blob_finish_upload(id, d.c_str(), out), 0) << reg_storage_last_error();
    return d;
  }
};

// Every *.json file of the shared manifests, sorted by file name ("" data dir: none).
inline std::vector<fs::path> testdata_manifests() {
  std::vector<fs::path> out;
  const std::string dir = testdata_dir();
  if (dir.empty()) return out;
  for (const auto& e : fs::directory_iterator(fs::path(dir) / "manifests"))
    if (e.path().extension() == ".json") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace regtest
