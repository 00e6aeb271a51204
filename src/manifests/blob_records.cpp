#include "manifests/blob_records.h"

#include <yyjson.h>

#include <algorithm>
#include <memory>

#include "core/fileutil.h"
#include "core/json_members.h"
#include "core/paths.h"
#include "listings/discovery.h"
#include "platform/platform.h"

namespace reg {
namespace {

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};

// Every digest a descriptor names, under each of its "digest" keys.
bool add_digests_of(yyjson_val* desc, std::vector<std::string>& out) {
  return each_member(desc, "digest", [&](yyjson_val* d) {
    if (yyjson_is_str(d) && yyjson_get_len(d) == kDigestLen && digest_valid(yyjson_get_str(d)))
      out.emplace_back(yyjson_get_str(d), yyjson_get_len(d));
    return true;
  });
}

bool add_layers(yyjson_val* layers, std::vector<std::string>& out) {
  yyjson_arr_iter it = yyjson_arr_iter_with(layers);
  while (yyjson_val* el = yyjson_arr_iter_next(&it)) add_digests_of(el, out);
  return true;
}

bool records_dir(std::string_view repo, Path& out) {
  Path m;
  return manifests_dir(repo, m) && child_path(m, kBlobRecordsDirName, out);
}

bool record_path(std::string_view repo, std::string_view digest, Path& out) {
  Path dir;
  return digest.size() == kDigestLen && records_dir(repo, dir) &&
         child_path(dir, digest.substr(kDigestPrefix.size()), out);
}

}  // namespace

std::vector<std::string> blobs_named_by(std::string_view body) {
  std::vector<std::string> out;
  std::unique_ptr<yyjson_doc, DocFree> doc(
      yyjson_read_opts(const_cast<char*>(body.data()), body.size(), 0, nullptr, nullptr));
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root) || yyjson_obj_get(root, "manifests")) return out;
  each_member(root, "config", [&](yyjson_val* c) { return add_digests_of(c, out); });
  each_member(root, "layers", [&](yyjson_val* l) { return add_layers(l, out); });
  return out;
}

int blob_records_add(std::string_view repo, const std::vector<std::string>& digests) {
  Path dir;
  if (!records_dir(repo, dir)) return -1;
  for (const auto& d : digests) {
    Path p;
    if (!record_path(repo, d, p) || !write_file_fits(p)) return -1;
    if (is_file(p.c_str())) continue;
    // The directory is made only when a write finds none (the first record of a repository).
    if (write_file(p.c_str(), "", 0) == 0) continue;
    if (mkdirs(dir.c_str()) != 0 || write_file(p.c_str(), "", 0) != 0) return -1;
  }
  return 0;
}

bool blob_recorded(std::string_view repo, std::string_view digest) {
  Path p;
  return record_path(repo, digest, p) && is_file(p.c_str());
}

int blob_records_prune(const std::vector<std::string>& hexes) {
  std::vector<std::string> repos;
  if (hexes.empty()) return 0;
  discover_all_repos(repos);  // a repository missed keeps records that only hide nothing
  int removed = 0;
  for (const auto& repo : repos) {
    Path dir;
    dir_list list;
    if (!records_dir(repo, dir) || list_dir_all(dir.c_str(), &list) != 0) continue;
    for (const auto& e : list.entries) {
      Path p;
      if (std::binary_search(hexes.begin(), hexes.end(), e.name) && child_path(dir, e.name, p) &&
          platform::remove_file(p.c_str()) == 0)
        ++removed;
    }
  }
  return removed;
}

int blob_records_rebuild(std::string_view repo, bool& complete) {
  Path mdir;
  dir_list list;
  if (!manifests_dir(repo, mdir) || list_dir_all(mdir.c_str(), &list) != 0) {
    complete = false;
    return 0;
  }
  int added = 0;
  for (const auto& e : list.entries) {
    if (e.is_dir || !hex64_valid(e.name.c_str())) continue;
    Path body_path;
    std::string body;
    if (!child_path(mdir, e.name, body_path) || !read_file_alloc(body_path.c_str(), body)) {
      complete = false;
      continue;
    }
    std::vector<std::string> missing;
    for (auto& d : blobs_named_by(body))
      if (!blob_recorded(repo, d)) missing.push_back(std::move(d));
    if (missing.empty()) continue;
    if (blob_records_add(repo, missing) == 0)
      added += static_cast<int>(missing.size());
    else
      complete = false;
  }
  return added;
}

}  // namespace reg
