#include "listings/discovery.h"

#include "core/fileutil.h"
#include "platform/platform.h"

namespace reg {
namespace {

std::string child_name(std::string_view prefix, std::string_view name) {
  std::string n;
  if (!prefix.empty()) {
    n.append(prefix);
    n.push_back('/');
  }
  n.append(name);
  return n;
}

bool holds_manifests(const Path& dir) {
  Path m;
  return child_path(dir, "_manifests", m) && is_dir(m.c_str());
}

bool walk_all(const Path& dir, std::string_view prefix, std::vector<std::string>& out) {
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return false;
  bool complete = true;
  for (const auto& e : list.entries) {
    if (!e.is_dir || e.name == "_manifests") continue;
    Path child;
    if (!child_path(dir, e.name, child)) {
      complete = false;
      continue;
    }
    std::string name = child_name(prefix, e.name);
    // A `_manifests` that cannot be examined may hide a repository: the walk is then incomplete.
    Path m;
    platform::FileAttr a;
    const int err = child_path(child, "_manifests", m) ? platform::get_attr(m.c_str(), &a) : -1;
    if (err == 0 && a.is_dir)
      out.push_back(name);
    else if (err != 0 && err != platform::kErrNotFound)
      complete = false;
    if (!walk_all(child, name, out)) complete = false;
  }
  return complete;
}

}  // namespace

void collect_repos_recursive(const Path& dir, std::string_view prefix,
                             std::vector<std::string>& names, int depth) {
  if (depth > kMaxRepoDepth) return;
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return;
  for (const auto& e : list.entries) {
    if (!e.is_dir || e.name == "_manifests") continue;
    Path child;
    if (!child_path(dir, e.name, child)) continue;  // too long to address: passed over
    std::string name = child_name(prefix, e.name);
    if (name.size() > kMaxRepoLen) continue;
    if (holds_manifests(child)) names.push_back(name);
    if (depth != kMaxRepoDepth) collect_repos_recursive(child, name, names, depth + 1);
  }
}

std::vector<std::string> discover_repos() {
  std::vector<std::string> names;
  Path top;
  if (store_path({"repositories"}, top)) collect_repos_recursive(top, "", names, 0);
  return names;
}

bool discover_all_repos(std::vector<std::string>& out) {
  out.clear();
  Path top;
  if (!store_path({"repositories"}, top)) return false;
  platform::FileAttr a;
  const int err = platform::get_attr(top.c_str(), &a);
  if (err == platform::kErrNotFound) return true;  // no repositories directory: nothing is stored
  if (err != 0 || !a.is_dir) return false;
  return walk_all(top, "", out);
}

}  // namespace reg
