// rm: deletes a tag, a manifest by digest, or a whole repository.
#include <reg_storage.h>

#include "commands.h"

#include <cstdio>

namespace tool {

int run_rm(const GlobalOptions& g, const std::string& target) {
  if (!open_store(g)) return 1;
  ImageRef ref = parse_image_ref(target);
  if (ref.reference.empty()) {
    if (reg_repo_delete(ref.repo.c_str()) != 0) return fail_with_library("rm");
    std::printf("deleted repository %s\n", ref.repo.c_str());
    return 0;
  }
  if (reg_manifest_delete(ref.repo.c_str(), ref.reference.c_str()) != 0)
    return fail_with_library("rm");
  std::printf("deleted %s%s%s\n", ref.repo.c_str(), ref.is_digest() ? "@" : ":",
              ref.reference.c_str());
  return 0;
}

}  // namespace tool
