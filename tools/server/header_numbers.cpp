#include "header_numbers.h"

#include <climits>

namespace tool {

bool parse_decimal(std::string_view s, long long& out) {
  if (s.empty()) return false;
  long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    int d = c - '0';
    if (v > (LLONG_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

}  // namespace tool
