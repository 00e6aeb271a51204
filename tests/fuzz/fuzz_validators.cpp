// Name and digest validators and the path builders: no input may crash them, and whatever
// they accept must stay inside the store when joined.
#include <cstring>
#include <string>

#include "core/context.h"
#include "core/paths.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::strcpy(reg::s_root, "/store");
  const std::string s(reinterpret_cast<const char*>(data), size);
  const char* c = s.c_str();
  reg::digest_valid(c);
  reg::hex64_valid(c);
  reg::uuid_valid(c);
  const bool repo_ok = reg::repo_name_valid(c);
  const bool tag_ok = reg::tag_name_valid(c);
  reg::digest_hex_eq(c, c);
  reg::repo_component_count(s);
  reg::Path p;
  if (repo_ok && s.find('\0') == std::string::npos) {
    if (!reg::manifests_dir(c, p)) std::abort();  // a valid name always fits
    if (p.find("/..") != std::string::npos) std::abort();
  }
  if (tag_ok && s.find('\0') == std::string::npos && reg::manifest_tag_path("r", c, p)) {
    if (p.size() > reg::kMaxPathLen) std::abort();
    if (p.find("/../") != std::string::npos) std::abort();
  }
  if (reg::digest_valid(c) && !reg::blob_path_for_digest(c, p)) std::abort();
  return 0;
}
