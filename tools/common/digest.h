// SHA-256 digests for the tool's own checks (layout import/export, manifest references).
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <string_view>

namespace tool {

// Incremental "sha256:<hex>" digest.
class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t len);
  std::string finish();  // "sha256:" and 64 lowercase hex digits

 private:
  struct CtxFree {
    void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx_;
};

std::string sha256_digest(std::string_view data);

// Digest of a whole file, read in pieces; false when it cannot be read.
bool sha256_file_digest(const std::string& path, std::string& digest_out, long long& size_out);

// "sha256:" followed by 64 lowercase hex digits, and nothing else.
bool is_sha256_digest(std::string_view s);

}  // namespace tool
