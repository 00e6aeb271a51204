// The blob count before the mark and the sweep after it. Only files with 64-hex names inside a
// fan-out directory are blobs here: temporary files and stray entries are never touched.
// Listings are complete (no 512-entry cap), so a large fan-out directory is swept whole.
#include <algorithm>

#include "core/fileutil.h"
#include "core/paths.h"
#include "maintenance/gc_internal.h"
#include "manifests/blob_records.h"
#include "platform/platform.h"

namespace reg {
namespace {

bool blob_store_dir(Path& out) { return store_path({"blobs", "sha256"}, out); }

bool is_blob_entry(const dir_entry& e) { return !e.is_dir && hex64_valid(e.name.c_str()); }

std::int64_t size_of(const char* path) {
  platform::FileAttr a;
  if (platform::get_attr(path, &a) != 0) return 0;
  const auto s = static_cast<std::int64_t>(a.size);
  return s < 0 ? 0 : s;
}

// Removes (or counts) one unreachable blob. A blob that cannot be removed stays and is kept.
void collect_blob(GcRun& run, const Path& fanout, const std::string& name,
                  std::vector<std::string>& collected) {
  Path p;
  if (!child_path(fanout, name, p)) return;
  const std::int64_t size = size_of(p.c_str());
  if (!run.rec.dry_run && platform::remove_file(p.c_str()) != 0) return;
  if (!run.rec.dry_run) collected.push_back(name);
  ++run.rec.blobs_deleted;
  run.rec.bytes_freed += size;
}

// Sweeps one fan-out directory; false when a cancel request stopped the sweep.
bool sweep_fanout(GcRun& run, const digest_set& set, const Path& fanout,
                  std::vector<std::string>& collected) {
  dir_list blobs;
  if (list_dir_all(fanout.c_str(), &blobs) != 0) return true;  // passed over, not removed
  bool go_on = true;
  for (const auto& e : blobs.entries) {
    if (!is_blob_entry(e)) continue;
    ++run.rec.blobs_scanned;
    if (digest_set_has(set, e.name)) {
      ++run.blobs_reachable;
      continue;
    }
    collect_blob(run, fanout, e.name, collected);
    if (run.rec.blobs_scanned % kGcCheckEvery == 0 && gc_checkpoint(run)) {
      run.rec.cancelled = 1;
      go_on = false;
      break;
    }
  }
  if (!run.rec.dry_run) platform::remove_dir(fanout.c_str());  // succeeds only once empty
  return go_on;
}

}  // namespace

std::int32_t gc_count_blobs() {
  Path top;
  dir_list fanouts;
  if (!blob_store_dir(top) || list_dir_all(top.c_str(), &fanouts) != 0) return 0;
  std::int32_t total = 0;
  for (const auto& f : fanouts.entries) {
    Path dir;
    dir_list blobs;
    if (!f.is_dir || !child_path(top, f.name, dir) || list_dir_all(dir.c_str(), &blobs) != 0)
      continue;
    for (const auto& e : blobs.entries) total += is_blob_entry(e);
  }
  return total;
}

void gc_sweep(GcRun& run, const digest_set& set) {
  Path top;
  dir_list fanouts;
  if (!blob_store_dir(top) || list_dir_all(top.c_str(), &fanouts) != 0) return;
  std::vector<std::string> collected;  // hex names of the blobs deleted
  for (const auto& f : fanouts.entries) {
    Path dir;
    if (!f.is_dir || !child_path(top, f.name, dir)) continue;
    if (!sweep_fanout(run, set, dir, collected)) break;
  }
  std::sort(collected.begin(), collected.end());
  blob_records_prune(collected);
}

}  // namespace reg
