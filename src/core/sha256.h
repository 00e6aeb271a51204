// SHA-256 (FIPS 180-4): an incremental hash over memory and a streaming hash of a file.
// Two block functions give identical results: a portable one and one that uses the x86 SHA
// extensions; the faster one available is chosen once, at first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace reg {

struct sha256_ctx {
  std::uint32_t state[8];
  std::uint64_t bitlen;
  unsigned char buf[64];
  std::uint64_t buflen;
};

void sha256_init(sha256_ctx* ctx);
void sha256_update(sha256_ctx* ctx, const void* data, std::size_t len);
void sha256_final(sha256_ctx* ctx, unsigned char out[32]);

// The digest text of `data`: its 64 lowercase hex digits and a NUL into `hex` (65 bytes), or
// with the "sha256:" prefix as a string.
void sha256_hex(std::string_view data, char* hex);
std::string sha256_digest(std::string_view data);

// Hashes the whole file at `path` in 64 KiB pieces. 0 on success; -1 when the file cannot be
// opened or a read fails, with `out` left unchanged.
int sha256_file(const char* path, unsigned char out[32]);

// Which block function runs. `automatic` picks the SHA extensions when the processor has them.
enum class Sha256Impl { automatic, portable, sha_ext };
// For tests and benchmarks: forces one block function (sha_ext only when available).
// Returns false, changing nothing, when the requested one is not available here.
bool sha256_select(Sha256Impl impl);
Sha256Impl sha256_active();

}  // namespace reg
