// Manifest upload with arbitrary body, content type, repository and reference: never a crash,
// never a file outside the store root, and a stored manifest always reads back whole.
#include <cstring>
#include <string>

#include "core/context.h"
#include "fuzz_common.h"
#include "reg_storage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string root = fuzz::make_root();
  static const bool ready = reg_storage_init(root.c_str()) == 0;
  if (!ready) std::abort();
  auto f = fuzz::split_fields(data, size, 4);
  const std::string& repo = f[0];
  const std::string& ref = f[1];
  const std::string& ct = f[2];
  const std::string& body = f[3];
  char digest[72];
  if (reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(),
                       ct.empty() ? nullptr : ct.c_str(), digest) == 0) {
    char got_ct[127], got_digest[72];
    const char* got = reg_manifest_get(repo.c_str(), digest, got_ct, got_digest);
    if (!got || std::strcmp(got_digest, digest) != 0) std::abort();
    if (std::memcmp(got, body.data(), body.size()) != 0) std::abort();
    reg_manifest_delete(repo.c_str(), digest);
  }
  return 0;
}
