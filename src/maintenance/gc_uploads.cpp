// Upload files as the collector sees them: stale ones are removed, and one written to within
// the last 899 seconds keeps a collection from starting.
#include "blobs/upload_hash.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "maintenance/gc_internal.h"
#include "platform/platform.h"

namespace reg {
namespace {

// The private name an upload carries while it is being committed: "<upload id>.finishing".
constexpr std::string_view kFinishingSuffix = ".finishing";
constexpr std::string_view kPartSuffix = ".part";

bool is_upload_name(std::string_view n) {
  if (n.size() > kPartSuffix.size() && n.ends_with(kPartSuffix)) return true;
  if (n.size() != kUuidLen + kFinishingSuffix.size() || !n.ends_with(kFinishingSuffix))
    return false;
  return uuid_valid(std::string(n.substr(0, kUuidLen)).c_str()) != 0;
}

// Age in seconds of the file at `path`; false when it cannot be had (then the file is
// neither stale nor in progress).
bool upload_age(const char* path, std::int64_t now, std::int64_t* age, std::uint64_t* size) {
  platform::FileAttr a;
  std::int64_t t = 0;
  if (platform::get_attr(path, &a) != 0 || !a.is_file() || !file_unix_time(a, &t)) return false;
  *age = now - t;  // negative for a time in the future: in progress
  if (size) *size = a.size;
  return true;
}

// Hash states whose upload file is gone (cancelled, removed as stale, or left by a finish
// that was cut short). A state of an upload that is open or being finished stays.
void remove_orphan_hash_states() {
  Path dir;
  dir_list list;
  if (!store_path({"uploads", kUploadHashDir}, dir) || list_dir_all(dir.c_str(), &list) != 0)
    return;
  for (const auto& e : list.entries) {
    if (e.is_dir || e.name.size() != kUuidLen || !uuid_valid(e.name.c_str())) continue;
    Path part, finishing;
    if (!store_path({"uploads", e.name + std::string(kPartSuffix)}, part) ||
        !store_path({"uploads", e.name + std::string(kFinishingSuffix)}, finishing))
      continue;
    platform::FileAttr a;
    if (platform::get_attr(part.c_str(), &a) != 0 && platform::get_attr(finishing.c_str(), &a) != 0)
      upload_hash_remove(e.name);
  }
}

}  // namespace

UploadScan gc_scan_uploads(GcRun& run, std::int64_t stale_secs) {
  UploadScan scan;
  Path dir;
  dir_list list;
  if (!store_path({"uploads"}, dir) || list_dir_all(dir.c_str(), &list) != 0) return scan;
  const std::int64_t now = gc_now_unix(run);
  for (const auto& e : list.entries) {
    Path p;
    std::int64_t age = 0;
    std::uint64_t size = 0;
    if (e.is_dir || !is_upload_name(e.name) || !child_path(dir, e.name, p)) continue;
    if (!upload_age(p.c_str(), now, &age, &size)) continue;
    if (age < stale_secs) {
      scan.in_progress = true;
      continue;
    }
    ++run.stale_uploads;
    run.stale_upload_bytes +=
        static_cast<std::int64_t>(size) < 0 ? 0 : static_cast<std::int64_t>(size);
    scan.stale.push_back(std::move(p));
  }
  return scan;
}

void gc_remove_stale_uploads(const GcRun& run, const UploadScan& scan, std::int64_t stale_secs) {
  // The mark may have run for a while since the scan: an upload written to meanwhile is in
  // use again and stays.
  const std::int64_t now = gc_now_unix(run);
  for (const auto& p : scan.stale) {
    std::int64_t age = 0;
    if (upload_age(p.c_str(), now, &age, nullptr) && age >= stale_secs)
      platform::remove_file(p.c_str());
  }
  remove_orphan_hash_states();
}

}  // namespace reg
