#include "manifests/index_children.h"

#include <yyjson.h>

#include <memory>
#include <string>

#include "core/fileutil.h"
#include "core/json_members.h"
#include "core/paths.h"
#include "platform/platform.h"

namespace reg {
namespace {

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;

bool lists(const std::string& text, std::string_view digest) {
  DocPtr doc(yyjson_read(text.data(), text.size(), 0));
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return false;
  bool found = false;
  // A body with a key twice is read the way any client may read it.
  each_member(root, "manifests", [&](yyjson_val* arr) {
    yyjson_arr_iter it = yyjson_arr_iter_with(arr);
    while (yyjson_val* e = yyjson_arr_iter_next(&it)) {
      each_member(e, "digest", [&](yyjson_val* d) {
        if (yyjson_is_str(d) && digest == yyjson_get_str(d)) found = true;
        return true;
      });
    }
    return true;
  });
  return found;
}

}  // namespace

IndexChild index_lists_child(const char* repo, std::string_view hex) {
  Path dir;
  dir_list list;
  if (!manifests_dir(repo, dir) || list_dir_all(dir.c_str(), &list) != 0)
    return IndexChild::unknown;
  const std::string digest = std::string(kDigestPrefix) + std::string(hex);
  for (const auto& e : list.entries) {
    if (e.is_dir || e.name == hex || !hex64_valid(e.name.c_str())) continue;
    Path body;
    std::string text;
    if (!child_path(dir, e.name, body)) return IndexChild::unknown;
    if (!read_file_alloc(body.c_str(), text)) {
      platform::FileAttr a;
      if (platform::is_absent(platform::get_attr(body.c_str(), &a))) continue;
      return IndexChild::unknown;
    }
    // Most bodies do not mention the digest at all; only those are parsed.
    if (text.find(hex) != std::string::npos && lists(text, digest)) return IndexChild::listed;
  }
  return IndexChild::not_listed;
}

}  // namespace reg
