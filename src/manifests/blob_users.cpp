#include "manifests/blob_users.h"

#include <yyjson.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/fileutil.h"
#include "core/json_members.h"
#include "core/paths.h"
#include "listings/discovery.h"
#include "manifests/blob_records.h"

namespace reg {
namespace {

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};

bool descriptor_names(yyjson_val* desc, std::string_view digest) {
  return !each_member(desc, "digest", [&](yyjson_val* d) {
    return !(yyjson_is_str(d) && digest == std::string_view(yyjson_get_str(d), yyjson_get_len(d)));
  });
}

bool list_names(yyjson_val* arr, std::string_view digest) {
  yyjson_arr_iter it = yyjson_arr_iter_with(arr);
  while (yyjson_val* e = yyjson_arr_iter_next(&it))
    if (descriptor_names(e, digest)) return true;
  return false;
}

// A body names the blob when one of its descriptors does. The hex can only be in it as text
// or through JSON escapes; a body with neither is passed over unparsed. A body that does not
// parse but holds the hex counts as naming it: whatever a client reads there is kept.
bool body_names(const std::string& body, std::string_view digest) {
  const std::string_view hex = digest.substr(kDigestPrefix.size());
  if (body.find(hex) == std::string::npos && body.find('\\') == std::string::npos) return false;
  std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.data(), body.size(), 0));
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return body.find(hex) != std::string::npos;
  return !each_member(root, "config",
                      [&](yyjson_val* c) { return !descriptor_names(c, digest); }) ||
         !each_member(root, "layers", [&](yyjson_val* l) { return !list_names(l, digest); }) ||
         !each_member(root, "manifests", [&](yyjson_val* m) { return !list_names(m, digest); });
}

BlobUser repo_user(const std::string& repo, std::string_view digest) {
  Path dir;
  dir_list list;
  if (!manifests_dir(repo, dir)) return {BlobUse::unknown, repo};
  if (int e = list_dir_all_status(dir.c_str(), &list))
    return platform::is_absent(e) ? BlobUser{} : BlobUser{BlobUse::unknown, repo};
  for (const auto& e : list.entries) {
    if (e.is_dir || !hex64_valid(e.name.c_str())) continue;
    const std::string where = repo + "@sha256:" + e.name;
    Path body;
    std::string text;
    if (!child_path(dir, e.name, body)) return {BlobUse::unknown, where};
    if (!read_file_alloc(body.c_str(), text)) {
      if (file_presence(body.c_str()) == Presence::absent) continue;  // deleted since listed
      return {BlobUse::unknown, where};
    }
    if (body_names(text, digest)) return {BlobUse::used, where};
  }
  return {};
}

}  // namespace

BlobUser find_blob_user(std::string_view digest) {
  std::vector<std::string> repos;
  if (!discover_all_repos(repos)) return {BlobUse::unknown, ""};
  std::stable_partition(repos.begin(), repos.end(),
                        [&](const std::string& r) { return blob_recorded(r, digest); });
  for (const auto& repo : repos) {
    BlobUser u = repo_user(repo, digest);
    if (u.use != BlobUse::unused) return u;
  }
  return {};
}

}  // namespace reg
