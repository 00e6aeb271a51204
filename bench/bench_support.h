// Shared by the benchmarks: deterministic content and digests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/sha256.h"

namespace benchsupport {

// `len` bytes from a fixed xorshift sequence: the same content in every run.
inline std::vector<unsigned char> pseudo_random_bytes(std::size_t len) {
  std::vector<unsigned char> buf(len);
  std::uint32_t x = 2463534242u;
  for (auto& b : buf) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  return buf;
}

// The 64 hex digits of the SHA-256 of `data`.
inline std::string hex_of(const std::string& data) {
  char hex[65];
  reg::sha256_hex(data, hex);
  return hex;
}

inline std::string digest_of(const std::string& data) { return reg::sha256_digest(data); }

}  // namespace benchsupport
