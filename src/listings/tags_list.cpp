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

enum class TagState { listed, absent, unreadable };

// A tag counts when its link can be read, whatever it holds; a tag directory without a link
// (a push cut short) is no tag. A link that is there but cannot be read is neither.
TagState tag_state(const char* repo, const std::string& tag) {
  Path link;
  char buf[kTagLinkReadCap];
  if (!manifest_tag_path(repo, tag, link)) return TagState::absent;  // no call can address it
  const int e = read_file_status(link.c_str(), buf, sizeof buf, nullptr);
  if (e == 0) return TagState::listed;
  return platform::is_absent(e) ? TagState::absent : TagState::unreadable;
}

// The page's tags and, when there is one, the next readable tag after them (so that the page
// writer can tell that more follow). Every tag directory is a candidate; only those from the
// start of the page on have their link read, so a page of n among many tags reads about n
// links. The page starts just after `last`, or at the first name greater than it, so tags
// pushed between pages are met in order and none is listed twice.
// False, with the message recorded, when the tags directory or a link cannot be read: a list
// that leaves out what it could not read would pass an error off as absence.
bool page_tags(const char* repo, const Path& tags_dir, int n, const char* last,
               std::vector<std::string>& out) {
  std::vector<std::string> names;
  dir_list list;
  if (int e = list_dir_all_status(tags_dir.c_str(), &list)) {
    if (platform::is_absent(e)) return true;  // no tags directory: no tags
    set_error("cannot list tags: %s", repo);
    return false;
  }
  names.reserve(list.entries.size());
  for (auto& e : list.entries)
    if (e.is_dir) names.push_back(std::move(e.name));
  list.entries.clear();
  sort_str(names);
  auto it = names.begin();
  if (last && *last) it = std::upper_bound(names.begin(), names.end(), std::string_view(last));
  const std::size_t want = n > 0 ? static_cast<std::size_t>(n) + 1 : names.size();
  for (; it != names.end() && out.size() < want; ++it) {
    switch (tag_state(repo, *it)) {
      case TagState::listed:
        out.push_back(std::move(*it));
        break;
      case TagState::absent:
        break;
      case TagState::unreadable:
        set_error("cannot read tag: %s:%s", repo, it->c_str());
        return false;
    }
  }
  return true;
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
  std::vector<std::string> tags;
  if (!page_tags(repo_name, tags_dir, n, last, tags)) return nullptr;
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
