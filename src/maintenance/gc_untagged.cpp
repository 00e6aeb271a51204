#include "maintenance/gc_untagged.h"

#include <algorithm>

#include <unordered_map>

#include "core/fileutil.h"
#include "core/paths.h"
#include "listings/discovery.h"
#include "maintenance/gc_internal.h"
#include "manifests/manifest_store.h"
#include "platform/platform.h"

namespace reg {
namespace {

struct Body {
  std::string repo, hex;
  std::vector<std::string> children;  // hex of "manifests" entries
  std::string subject;                // hex, or empty
  bool index = false;
  bool kept = false;
};

std::string digest_hex_of(yyjson_val* obj) {
  const char* d = yyjson_get_str(yyjson_obj_get(obj, "digest"));
  return d && digest_valid(d) ? std::string(d + kDigestPrefix.size()) : std::string();
}

// Reads what a body refers to. False when it cannot be read or is no JSON object.
bool read_body(const Path& path, Body& b) {
  std::string text;
  if (!read_file_alloc(path.c_str(), text)) return false;
  DocPtr doc(yyjson_read(text.data(), text.size(), 0));
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return false;
  yyjson_val* list = yyjson_obj_get(root, "manifests");
  b.index = yyjson_is_arr(list);
  yyjson_arr_iter it = yyjson_arr_iter_with(list);
  while (yyjson_val* e = yyjson_arr_iter_next(&it))
    if (std::string h = digest_hex_of(e); !h.empty()) b.children.push_back(std::move(h));
  if (yyjson_val* s = yyjson_obj_get(root, "subject"); yyjson_is_obj(s)) b.subject = digest_hex_of(s);
  return true;
}

// Loads the bodies of one repository; the roots (tagged, young, unreadable) come out kept.
bool load_repo(const std::string& repo, std::int64_t cutoff_unix, std::vector<Body>& bodies) {
  Path dir;
  dir_list list;
  std::unordered_set<std::string> tagged;
  if (!manifests_dir(repo, dir) || list_dir_all(dir.c_str(), &list) != 0 ||
      !gc_tagged_in(repo, tagged))
    return false;
  for (const auto& e : list.entries) {
    if (e.is_dir || !hex64_valid(e.name.c_str())) continue;
    Body b;
    b.repo = repo;
    b.hex = e.name;
    Path p;
    platform::FileAttr a;
    std::int64_t t = 0;
    if (!child_path(dir, e.name, p)) return false;
    const bool readable = read_body(p, b);
    const bool old = platform::get_attr(p.c_str(), &a) == 0 && file_unix_time(a, &t) &&
                     t <= cutoff_unix;
    b.kept = !readable || !old || tagged.contains(e.name);
    bodies.push_back(std::move(b));
  }
  return true;
}

// Keeps, from the roots on, every child a kept index lists and every referrer of a kept
// subject, by digest across the whole store.
void keep_what_kept_ones_need(std::vector<Body>& bodies) {
  std::unordered_map<std::string, std::vector<std::size_t>> by_hex, by_subject;
  std::vector<std::size_t> work;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    by_hex[bodies[i].hex].push_back(i);
    if (!bodies[i].subject.empty()) by_subject[bodies[i].subject].push_back(i);
    if (bodies[i].kept) work.push_back(i);
  }
  auto keep = [&](const std::vector<std::size_t>* nodes) {
    if (!nodes) return;
    for (std::size_t j : *nodes)
      if (!bodies[j].kept) {
        bodies[j].kept = true;
        work.push_back(j);
      }
  };
  auto find = [](auto& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  };
  while (!work.empty()) {
    const std::size_t i = work.back();
    work.pop_back();
    for (const auto& c : bodies[i].children) keep(find(by_hex, c));
    keep(find(by_subject, bodies[i].hex));
  }
}

}  // namespace

bool gc_tagged_in(const std::string& repo, std::unordered_set<std::string>& out) {
  Path dir;
  dir_list tags;
  if (!manifest_tags_dir(repo, dir)) return false;
  if (list_dir_all(dir.c_str(), &tags) != 0) return !is_dir(dir.c_str());  // no tags at all
  for (const auto& t : tags.entries) {
    if (!t.is_dir) continue;
    char link[128];
    std::size_t len = 0;
    Path lp;
    if (!manifest_tag_path(repo, t.name, lp)) return false;
    if (!read_tag_link(repo, t.name, link, sizeof link, &len)) {
      if (is_file(lp.c_str())) return false;
      continue;  // a tag directory without a link names nothing
    }
    if (len >= kDigestLen && digest_valid(std::string(link, kDigestLen).c_str()))
      out.insert(std::string(link + kDigestPrefix.size(), kHexLen));
  }
  return true;
}

bool gc_plan_untagged(std::int64_t now_unix, std::int64_t min_age_s, UntaggedPlan& out) {
  out = UntaggedPlan();
  std::vector<std::string> repos;
  std::vector<Body> bodies;
  if (!discover_all_repos(repos)) return false;
  for (const auto& repo : repos)
    if (!load_repo(repo, now_unix - min_age_s, bodies)) return false;
  keep_what_kept_ones_need(bodies);
  for (auto& b : bodies) {
    if (b.kept) continue;
    out.keys.insert(mark_key(b.repo, b.hex));
    out.items.push_back({std::move(b.repo), std::move(b.hex), b.index});
  }
  std::stable_partition(out.items.begin(), out.items.end(),
                        [](const UntaggedManifest& m) { return m.index; });
  return true;
}

}  // namespace reg
