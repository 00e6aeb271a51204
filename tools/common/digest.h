// SHA-256 digests for the tool's own checks (layout import/export, manifest references),
// over the library's hash.
#pragma once

#include <string>
#include <string_view>

#include "core/sha256.h"

namespace tool {

// Incremental "sha256:<hex>" digest.
class Sha256 {
 public:
  Sha256() { reg::sha256_init(&ctx_); }
  void update(const void* data, size_t len) { reg::sha256_update(&ctx_, data, len); }
  std::string finish();  // "sha256:" and 64 lowercase hex digits

 private:
  reg::sha256_ctx ctx_;
};

std::string sha256_digest(std::string_view data);

// Digest of a whole file, read in pieces; false when it cannot be read.
bool sha256_file_digest(const std::string& path, std::string& digest_out, long long& size_out);

// "sha256:" followed by 64 lowercase hex digits, and nothing else.
bool is_sha256_digest(std::string_view s);

}  // namespace tool
