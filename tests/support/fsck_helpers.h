// Pushes through the public API and store checks, shared by the checker, crash and fault tests.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fsck/fsck.h"
#include "reg_storage.h"
#include "support/store_files.h"

namespace regtest {

// A temporary directory in memory (/dev/shm) when the system has one, else in the usual temp
// directory: the sweeps and the crash test create and remove thousands of directories, which
// on a disk takes many times longer.
class MemoryTempDir {
 public:
  MemoryTempDir() {
    std::string tmpl = "/dev/shm/regtest-XXXXXX";
    if (fs::is_directory("/dev/shm") && mkdtemp(tmpl.data())) {
      path_ = tmpl;
    } else {
      disk_ = std::make_unique<TempDir>();
      path_ = disk_->path();
    }
  }
  ~MemoryTempDir() {
    std::error_code ec;
    if (!disk_) fs::remove_all(path_, ec);
  }
  MemoryTempDir(const MemoryTempDir&) = delete;
  MemoryTempDir& operator=(const MemoryTempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::unique_ptr<TempDir> disk_;
};

struct Image {
  std::string repo, ref, digest, body;
  std::vector<std::string> blobs;  // config first, then the layers
};

inline std::string image_body(const std::vector<std::string>& blobs) {
  const std::vector<std::string> layers(blobs.begin() + 1, blobs.end());
  std::string body = image_manifest(blobs[0], layers);
  return "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\"," + body.substr(1);
}

// Uploads a config and `layers` layers made from `salt`, then puts the manifest under `ref`.
inline Image push_image(const std::string& repo, const std::string& ref, const std::string& salt,
                        int layers = 2) {
  Image im{repo, ref, "", "", {}};
  im.blobs.push_back(put_blob("{\"config\":\"" + salt + "\"}"));
  for (int i = 0; i < layers; ++i)
    im.blobs.push_back(put_blob("layer " + std::to_string(i) + " of " + salt));
  im.body = image_body(im.blobs);
  char d[72] = "";
  EXPECT_EQ(reg_manifest_put(repo.c_str(), ref.c_str(), im.body.data(), im.body.size(), nullptr, d),
            0)
      << reg_storage_last_error();
  im.digest = d;
  return im;
}

inline reg::FsckReport run_fsck() {
  reg::FsckReport r;
  EXPECT_TRUE(reg::fsck_store(r)) << reg_storage_last_error();
  return r;
}

// One line per finding, "kind path", for comparisons and failure messages.
inline std::vector<std::string> finding_lines(const reg::FsckReport& r, bool corrupt_only = false) {
  std::vector<std::string> out;
  for (const auto& f : r.findings)
    if (!corrupt_only || reg::fsck_kind_severity(f.kind) == reg::FsckSeverity::corrupt)
      out.push_back(std::string(reg::fsck_kind_name(f.kind)) + " " + f.path);
  return out;
}

inline std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

}  // namespace regtest
