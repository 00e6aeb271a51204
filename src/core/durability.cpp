#include "core/durability.h"

#include <algorithm>
#include <atomic>

#include "core/fileutil.h"
#include "platform/platform.h"

namespace reg {
namespace {

std::atomic<Durability> g_durability{Durability::full};

}  // namespace

Durability durability() { return g_durability.load(std::memory_order_relaxed); }

void set_durability(Durability d) { g_durability.store(d, std::memory_order_relaxed); }

const char* durability_name(Durability d) { return d == Durability::full ? "full" : "none"; }

bool parse_durability(std::string_view text, Durability* out) {
  if (text == "full") {
    *out = Durability::full;
  } else if (text == "none") {
    *out = Durability::none;
  } else {
    return false;
  }
  return true;
}

int durable_sync_file(const char* path) {
  return durability() == Durability::full ? platform::sync_file(path) : 0;
}

void DirSyncs::note(std::string_view dir) {
  if (std::find(dirs_.begin(), dirs_.end(), dir) == dirs_.end()) dirs_.emplace_back(dir);
}

void DirSyncs::note_parent_of(std::string_view path) {
  const std::size_t slash = path.rfind(platform::kSep);
  if (slash != std::string_view::npos && slash > 0) note(path.substr(0, slash));
}

int DirSyncs::make_dirs(const char* dir) {
  // The common case finds it in place: one attribute query, no creation attempts.
  if (is_dir(dir)) return 0;
  std::vector<std::string> made;  // highest first
  if (mkdirs(dir, &made) != 0) return -1;
  for (auto it = made.rbegin(); it != made.rend(); ++it) note_parent_of(*it);
  return 0;
}

int DirSyncs::sync() {
  if (durability() != Durability::full) return 0;
  int first = 0;
  for (const auto& d : dirs_) {
    // A directory the operation removed has nothing left to sync: its parent, noted too,
    // carries the removal.
    const int e = platform::sync_dir(d.c_str());
    if (e != 0 && e != platform::kErrNotFound && first == 0) first = e;
  }
  dirs_.clear();
  return first;
}

}  // namespace reg
