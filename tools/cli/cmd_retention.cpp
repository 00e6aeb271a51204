// retention: the library's tag-retention report as a table.
#include <reg_storage.h>

#include "commands.h"
#include "json_util.h"

#include <cstdio>

namespace tool {

int run_retention(const GlobalOptions& g, const RetentionOptions& o) {
  if (!open_store(g)) return 1;
  int truncated = 0;
  const char* json =
      reg_retention_json(o.dry_run ? 1 : 0, o.keep, o.days, o.include_latest ? 1 : 0, &truncated);
  if (json == nullptr) return fail_with_library("retention");
  if (g.json) return std::printf("%s\n", json) < 0;
  DocPtr doc = parse_json(json);
  if (!doc) return fail("unexpected retention report from the library");
  yyjson_val* r = yyjson_doc_get_root(doc.get());
  yyjson_val* list = yyjson_obj_get(r, "deleted");
  std::printf("%-30s %-20s %-19s %s\n", "REPOSITORY", "TAG", "DIGEST", "AGE (DAYS)");
  size_t i, n;
  yyjson_val* e;
  yyjson_arr_foreach(list, i, n, e) {
    std::printf("%-30s %-20s %-19.19s %lld\n", json_str(e, "repository").c_str(),
                json_str(e, "tag").c_str(), json_str(e, "digest").c_str(), json_int(e, "age_days"));
  }
  if (truncated) std::printf("(list cut: more tags were selected than shown)\n");
  std::printf(
      "%s%lld repositories, %lld tags: %lld %s, %lld kept (%lld 'latest' and %lld "
      "protected spared)\n",
      json_bool(r, "dry_run") ? "dry run: " : "", json_int(r, "repos_scanned"),
      json_int(r, "tags_total"), json_int(r, "tags_deleted"),
      json_bool(r, "dry_run") ? "to delete" : "deleted", json_int(r, "tags_kept"),
      json_int(r, "latest_protected"), json_int(r, "protected"));
  return 0;
}

}  // namespace tool
