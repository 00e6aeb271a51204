#include "digest.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "core/paths.h"

namespace tool {

std::string Sha256::finish() {
  unsigned char bin[32];
  reg::sha256_final(&ctx_, bin);
  char hex[reg::kHexLen + 1];
  reg::bin_to_hex(bin, hex);
  return std::string(reg::kDigestPrefix) + hex;
}

std::string sha256_digest(std::string_view data) { return reg::sha256_digest(data); }

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
  return s.size() == reg::kDigestLen && reg::digest_valid(std::string(s).c_str());
}

}  // namespace tool
