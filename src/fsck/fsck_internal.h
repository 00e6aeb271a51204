// Shared state of one checker run: the top-level walk (fsck.cpp) and the manifest stores
// (fsck_manifests.cpp).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/fileutil.h"
#include "core/paths.h"
#include "fsck/fsck.h"

namespace reg {

// A directory or file of the store: its path, and its path relative to the root for the report.
struct FsckPath {
  Path abs;
  std::string rel;
};

// An index child, checked once every repository's bodies are known.
struct FsckChildRef {
  std::string where;   // the index body, relative
  std::string digest;  // the child it names
};

struct FsckWalk {
  FsckReport& report;
  std::int64_t now = 0;
  std::set<std::string> bodies;  // digest hex of every manifest body of every repository
  std::vector<FsckChildRef> children;

  void add(FsckKind kind, const std::string& path, std::string detail);
};

// `dir`/`name`; records path_too_long and returns false when it does not fit.
bool fsck_child(FsckWalk& w, const FsckPath& dir, std::string_view name, FsckPath& out);
// Every entry of `dir`, sorted by name. False when it cannot be listed: unreadable_directory
// is recorded, unless the directory went away since it was seen.
bool fsck_list(FsckWalk& w, const FsckPath& dir, std::vector<dir_entry>& out);
// True when nothing is at `path` any more (removed since it was listed).
bool fsck_gone(const Path& path);
// A temporary file of write_file: ".<name>.tmp-<token>-<counter>".
bool fsck_is_temp_name(std::string_view name);
// Records leftover_temp for a temporary file, else unknown_entry.
void fsck_stray(FsckWalk& w, const FsckPath& p, const dir_entry& e);

// Every repository below `repositories`, at any depth, with its manifest store.
void fsck_check_repositories(FsckWalk& w, const FsckPath& top);

}  // namespace reg
