// The tag list of one repository: tags whose link can be read, sorted, one page at a time.
#include <algorithm>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "listings/paging.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr std::size_t kTagLinkReadCap = 128;

// A tag counts when its link can be read, whatever it holds.
bool tag_readable(const char* repo, const std::string& tag) {
  Path link;
  char buf[kTagLinkReadCap];
  return manifest_tag_path(repo, tag, link) &&
         read_file(link.c_str(), buf, sizeof buf, nullptr) == 0;
}

// The page's tags and, when there is one, the next readable tag after them (so that the page
// writer can tell that more follow). Every tag directory is a candidate; only those from the
// start of the page on have their link read, so a page of n among many tags reads about n
// links. The page starts just after `last`, or at the first name greater than it, so tags
// pushed between pages are met in order and none is listed twice.
std::vector<std::string> page_tags(const char* repo, const Path& tags_dir, int n,
                                   const char* last) {
  std::vector<std::string> names;
  dir_list list;
  if (list_dir_all(tags_dir.c_str(), &list) != 0) return names;  // no tags directory: no tags
  names.reserve(list.entries.size());
  for (auto& e : list.entries)
    if (e.is_dir) names.push_back(std::move(e.name));
  list.entries.clear();
  sort_str(names);
  auto it = names.begin();
  if (last && *last) it = std::upper_bound(names.begin(), names.end(), std::string_view(last));
  const std::size_t want = n > 0 ? static_cast<std::size_t>(n) + 1 : names.size();
  std::vector<std::string> out;
  for (; it != names.end() && out.size() < want; ++it)
    if (tag_readable(repo, *it)) out.push_back(std::move(*it));
  return out;
}

const char* tags_list_json_page(const char* repo_name, int n, const char* last, int* has_more,
                                char* next_last, std::size_t next_last_size) {
  reset_page_outputs(has_more, next_last, next_last_size);
  if (!repo_name) {
    set_error("repo_name is NULL");
    return nullptr;
  }
  if (!require_ready()) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return nullptr;
  }
  Path tags_dir;
  if (!manifest_tags_dir(repo_name, tags_dir)) {
    set_error("path too long");
    return nullptr;
  }
  const std::vector<std::string> tags = page_tags(repo_name, tags_dir, n, last);
  ResultWriter out;
  out.append("{\"name\":");
  out.append_json_string(repo_name);
  out.append(",\"tags\":[");
  return write_page(out, tags, n, nullptr, has_more, next_last, next_last_size);
}

}  // namespace
}  // namespace reg

extern "C" {

const char* reg_tags_list_json_page(const char* repo_name, int n, const char* last, int* has_more,
                                    char* next_last, size_t next_last_size) {
  return reg::guarded(static_cast<const char*>(nullptr), [&] {
    return reg::tags_list_json_page(repo_name, n, last, has_more, next_last, next_last_size);
  });
}

const char* reg_tags_list_json(const char* repo_name) {
  return reg_tags_list_json_page(repo_name, 0, nullptr, nullptr, nullptr, 0);
}

}  // extern "C"
