// catalog, tags, stats, referrers: the library's listings, as text or as its JSON (stats adds
// the store's durability setting).
#include <reg_storage.h>

#include "commands.h"
#include "json_util.h"
#include "store_durability.h"

#include <cstdio>
#include <string_view>

namespace tool {
namespace {

// Prints each string of a JSON array member, one per line.
int print_string_list(const char* json, const char* key) {
  DocPtr doc = parse_json(json);
  yyjson_val* arr = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), key) : nullptr;
  if (!yyjson_is_arr(arr)) return fail("unexpected listing from the library");
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(arr, i, n, v) {
    if (yyjson_is_str(v)) std::printf("%s\n", yyjson_get_str(v));
  }
  return 0;
}

// The library's statistics with the store's durability setting as one more member.
int print_with_durability(std::string_view json, const std::string& durability) {
  const std::size_t close = json.rfind('}');
  if (close == std::string_view::npos) return fail("unexpected statistics from the library");
  return std::printf("%.*s,\"durability\":\"%s\"}\n", static_cast<int>(close), json.data(),
                     durability.c_str()) < 0;
}

}  // namespace

int run_catalog(const GlobalOptions& g, int page_size) {
  if (!open_store(g)) return 1;
  const char* json = reg_catalog_json(page_size, nullptr);
  if (json == nullptr) return fail_with_library("catalog");
  if (g.json) return std::printf("%s\n", json) < 0;
  return print_string_list(json, "repositories");
}

int run_tags(const GlobalOptions& g, const std::string& repo) {
  if (!open_store(g)) return 1;
  const char* json = reg_tags_list_json(repo.c_str());
  if (json == nullptr) return fail_with_library("tags");
  if (g.json) return std::printf("%s\n", json) < 0;
  return print_string_list(json, "tags");
}

int run_stats(const GlobalOptions& g) {
  if (!open_store(g)) return 1;
  const char* json = reg_storage_get_stats_json();
  if (json == nullptr) return fail_with_library("stats");
  const std::string& durability = current_store_durability().name;
  if (g.json) return print_with_durability(json, durability);
  DocPtr doc = parse_json(json);
  if (!doc) return fail("unexpected statistics from the library");
  yyjson_val* o = yyjson_doc_get_root(doc.get());
  std::printf("repositories    %lld\n", json_int(o, "repositories"));
  std::printf("tags            %lld\n", json_int(o, "tags"));
  std::printf("blobs           %lld (%s)\n", json_int(o, "blobs"),
              human_size(json_int(o, "blob_bytes")).c_str());
  std::printf("active uploads  %lld (%s)\n", json_int(o, "active_uploads"),
              human_size(json_int(o, "upload_bytes")).c_str());
  std::printf("store version   %s\n", json_str(o, "version").c_str());
  std::printf("durability      %s\n", durability.c_str());
  return 0;
}

int run_referrers(const GlobalOptions& g, const std::string& digest) {
  if (!open_store(g)) return 1;
  const char* json = reg_referrers_json(digest.c_str());
  if (json == nullptr) return fail_with_library("referrers");
  if (g.json) return std::printf("%s\n", json) < 0;
  DocPtr doc = parse_json(json);
  yyjson_val* arr = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "manifests") : nullptr;
  if (!yyjson_is_arr(arr)) return fail("unexpected referrers from the library");
  size_t i, n;
  yyjson_val* d;
  std::printf("%-71s  %10s  %-20s %s\n", "DIGEST", "SIZE", "TAG", "MEDIA TYPE");
  yyjson_arr_foreach(arr, i, n, d) {
    yyjson_val* ann = yyjson_obj_get(d, "annotations");
    std::string tag = json_str(ann, "org.opencontainers.image.ref.name");
    std::printf("%-71s  %10s  %-20s %s\n", json_str(d, "digest").c_str(),
                human_size(json_int(d, "size")).c_str(), tag.empty() ? "-" : tag.c_str(),
                json_str(d, "mediaType").c_str());
  }
  return 0;
}

}  // namespace tool
