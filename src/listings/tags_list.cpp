// The tag list of one repository: tags whose link can be read, sorted, one page at a time.
#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "listings/paging.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr int kMaxTags = 1024;

// The first 512 entries of the tags directory, as the listing's stated limit; a tag counts
// when its link can be read, whatever it holds. A missing directory has no tags.
std::vector<std::string> readable_tags(const char* repo, const Path& tags_dir) {
  std::vector<std::string> tags;
  dir_list list;
  if (list_dir(tags_dir.c_str(), &list) != 0) return tags;
  for (const auto& e : list.entries) {
    if (!e.is_dir || tags.size() >= static_cast<std::size_t>(kMaxTags)) continue;
    Path link;
    char buf[kLinkReadCap];
    if (manifest_tag_path(repo, e.name, link) &&
        read_file(link.c_str(), buf, sizeof buf, nullptr) == 0)
      tags.push_back(e.name);
  }
  return tags;
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
  std::vector<std::string> tags = readable_tags(repo_name, tags_dir);
  sort_str(tags);
  ResultWriter out;
  out.append("{\"name\":");
  out.append_json_string(repo_name);
  out.append(",\"tags\":[");
  return write_page(out, tags, n, last, has_more, next_last, next_last_size);
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
