// rm: deletes a tag, a manifest by digest, or a whole repository.
#include <reg_storage.h>
#include <unistd.h>

#include "commands.h"

#include <cstdio>

namespace tool {
namespace {

constexpr int kExitUsage = 2;

// Only a bare name deletes a repository: "app:" or "app@" is what `rm "$REPO:$TAG"` becomes
// with TAG unset, and must never wipe the repository.
bool empty_reference(const ImageRef& ref, const std::string& target) {
  if (ref.separator == '\0' || !ref.reference.empty()) return false;
  fail(std::string("rm: empty ") + (ref.separator == '@' ? "digest" : "tag") + " in '" + target +
       "': name a repository alone to delete it");
  return true;
}

}  // namespace

int run_rm(const GlobalOptions& g, const std::string& target, bool yes) {
  const ImageRef ref = parse_image_ref(target);
  if (empty_reference(ref, target)) return kExitUsage;
  if (ref.reference.empty() && !yes && isatty(STDIN_FILENO)) {
    fail("rm: " + target + " names a whole repository: pass --yes to delete it");
    return kExitUsage;
  }
  if (!open_store(g)) return 1;
  if (ref.reference.empty()) {
    if (reg_repo_delete(ref.repo.c_str()) != 0) return fail_with_library("rm");
    std::printf("deleted repository %s\n", ref.repo.c_str());
    return 0;
  }
  if (reg_manifest_delete(ref.repo.c_str(), ref.reference.c_str()) != 0)
    return fail_with_library("rm");
  std::printf("deleted %s%c%s\n", ref.repo.c_str(), ref.separator, ref.reference.c_str());
  return 0;
}

}  // namespace tool
