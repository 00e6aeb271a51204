// Storage statistics: repositories, tags, blobs and uploads, counted afresh on every call by
// walking the tree. No counter is stored anywhere.
#include <cstdint>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/result.h"
#include "listings/discovery.h"
#include "reg_storage.h"

namespace reg {
namespace {

// A size that would read as negative in a signed 64-bit sum adds nothing.
std::int64_t size_or_zero(std::uint64_t size) {
  return (size >> 63) ? 0 : static_cast<std::int64_t>(size);
}

// Counts the plain files of `dir` (every entry) and adds their sizes to *bytes. A file
// whose attributes cannot be read is still counted.
int count_files(const Path& dir, std::int64_t* bytes) {
  dir_list list;
  if (list_dir_all(dir.c_str(), &list) != 0) return 0;
  int n = 0;
  for (const auto& e : list.entries) {
    if (e.is_dir) continue;
    ++n;
    Path p;
    platform::FileAttr a;
    if (child_path(dir, e.name, p) && platform::get_attr(p.c_str(), &a) == 0)
      *bytes += size_or_zero(a.size);
  }
  return n;
}

int count_repos() { return static_cast<int>(discover_repos().size()); }

// Tags whose current link can be read, an empty link included; plain files in a tags
// directory are not tags.
int count_tags() {
  int total = 0;
  for (const auto& repo : discover_repos()) {
    Path dir;
    dir_list list;
    if (!manifest_tags_dir(repo, dir) || list_dir_all(dir.c_str(), &list) != 0) continue;
    for (const auto& e : list.entries) {
      Path link;
      char buf[kLinkReadCap];
      if (e.is_dir && manifest_tag_path(repo, e.name, link) &&
          read_file(link.c_str(), buf, sizeof buf, nullptr) == 0)
        ++total;
    }
  }
  return total;
}

// Every file one level below blobs/sha256, whatever the fan-out directory is called; files
// lying directly in sha256 and anything nested deeper are not blobs.
std::int64_t count_blobs(int* count) {
  *count = 0;
  std::int64_t bytes = 0;
  Path top;
  dir_list list;
  if (!store_path({"blobs", "sha256"}, top) || list_dir_all(top.c_str(), &list) != 0) return 0;
  for (const auto& e : list.entries) {
    Path fanout;
    if (e.is_dir && child_path(top, e.name, fanout)) *count += count_files(fanout, &bytes);
  }
  return bytes;
}

// Every file in uploads counts, whatever its name.
int count_uploads(std::int64_t* bytes) {
  *bytes = 0;
  Path dir;
  if (!store_path({"uploads"}, dir)) return 0;
  return count_files(dir, bytes);
}

const char* storage_get_stats_json() {
  if (!require_ready()) return nullptr;
  const int repos = count_repos();
  int blobs = 0;
  const std::int64_t blob_bytes = count_blobs(&blobs);
  const int tags = count_tags();
  std::int64_t upload_bytes = 0;
  const int uploads = count_uploads(&upload_bytes);

  ResultWriter out;
  out.appendf(
      "{\"version\":\"1.12.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,\"blob_bytes\":%lld,"
      "\"active_uploads\":%d,\"upload_bytes\":%lld}",
      repos, tags, blobs, static_cast<long long>(blob_bytes), uploads,
      static_cast<long long>(upload_bytes));
  return out.finish();
}

}  // namespace
}  // namespace reg

extern "C" {

const char* reg_storage_get_stats_json(void) {
  return reg::guarded<const char*>(nullptr, [] { return reg::storage_get_stats_json(); });
}

}  // extern "C"
