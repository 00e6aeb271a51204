// Shared helpers for the fuzz targets: a store root created once per process and a splitter
// that cuts one input into fields at 0xFF bytes (a byte no valid name contains).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

inline std::vector<std::string> split_fields(const std::uint8_t* data, std::size_t size,
                                             std::size_t n) {
  std::vector<std::string> out(n);
  std::size_t field = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && field + 1 < n) {
      ++field;
      continue;
    }
    out[field].push_back(static_cast<char>(data[i]));
  }
  return out;
}

// A fresh directory under TMPDIR for this process's store.
std::string make_root();

}  // namespace fuzz
