#include "manifests/repo_lock.h"

#include <array>
#include <cstdint>

namespace reg {
namespace {

constexpr std::size_t kRepoLocks = 64;

// Separators are skipped, so every spelling of one repository's path picks the same lock.
std::size_t lock_index(std::string_view repo) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (const char c : repo) {
    if (c == '/' || c == '\\') continue;
    h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return static_cast<std::size_t>(h % kRepoLocks);
}

std::recursive_mutex& lock_for(std::string_view repo) {
  static std::array<std::recursive_mutex, kRepoLocks> locks;
  return locks[lock_index(repo)];
}

}  // namespace

RepoLock::RepoLock(std::string_view repo) : hold_(lock_for(repo)) {}

}  // namespace reg
