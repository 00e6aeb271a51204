// Tag-protection rules with repository/tag pairs: arbitrary rule texts, names and patterns.
#include <string>

#include "fuzz_common.h"
#include "manifests/protection.h"
#include "reg_storage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto f = fuzz::split_fields(data, size, 3);
  reg_tag_protection_set(f[0].c_str());
  const int a = reg_tag_is_protected(f[1].c_str(), f[2].c_str());
  // The exported function sees C strings: compare on the same text, up to the first NUL.
  const int b = reg::protect_match(f[1].c_str(), f[2].c_str());
  if (a != 0 && a != 1) std::abort();
  // The exported check only adds its argument filters to the rule evaluation.
  if (a == 1 && b != 1) std::abort();
  reg::glob_match(f[0], f[1]);
  if (reg::glob_match("*", f[1]) != 1) std::abort();
  if (reg::glob_match(f[1], f[1]) != 1 && f[1].find('*') == std::string::npos) std::abort();
  reg_tag_protection_set(nullptr);
  return 0;
}
