#include "digest.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace tool {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("sha256 unavailable");
}

void Sha256::update(const void* data, size_t len) { EVP_DigestUpdate(ctx_.get(), data, len); }

std::string Sha256::finish() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_.get(), md, &n);
  static const char* kHex = "0123456789abcdef";
  std::string out = "sha256:";
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

std::string sha256_digest(std::string_view data) {
  Sha256 h;
  h.update(data.data(), data.size());
  return h.finish();
}

bool sha256_file_digest(const std::string& path, std::string& digest_out, long long& size_out) {
  struct FileClose {
    void operator()(FILE* f) const noexcept { fclose(f); }
  };
  std::unique_ptr<FILE, FileClose> f(fopen(path.c_str(), "rb"));
  if (!f) return false;
  Sha256 h;
  std::vector<char> buf(1 << 20);
  long long total = 0;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), f.get())) > 0) {
    h.update(buf.data(), n);
    total += static_cast<long long>(n);
  }
  if (ferror(f.get())) return false;
  digest_out = h.finish();
  size_out = total;
  return true;
}

bool is_sha256_digest(std::string_view s) {
  if (s.size() != 71 || s.substr(0, 7) != "sha256:") return false;
  for (char c : s.substr(7))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace tool
