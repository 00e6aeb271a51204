// The blob count before the mark and the sweep after it. Only files with 64-hex names inside a
// fan-out directory are blobs here: temporary files and stray entries are never touched.
// Listings are complete (no 512-entry cap), so a large fan-out directory is swept whole.
// The store is listed once per run, before the mark (gc_list_blobs).
#include <algorithm>

#include "core/durability.h"
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

// Removes (or counts) one unreachable blob; true when its file went. A blob that cannot be
// removed stays and is kept.
bool collect_blob(GcRun& run, const Path& fanout, const std::string& name,
                  std::vector<std::string>& collected) {
  Path p;
  if (!child_path(fanout, name, p)) return false;
  const std::int64_t size = size_of(p.c_str());
  if (!run.rec.dry_run && platform::remove_file(p.c_str()) != 0) return false;
  if (!run.rec.dry_run) collected.push_back(name);
  ++run.rec.blobs_deleted;
  run.rec.bytes_freed += size;
  return !run.rec.dry_run;
}

// Sweeps one fan-out directory; false when a cancel request stopped the sweep. The
// directories it changed are noted in `syncs`.
bool sweep_fanout(GcRun& run, const digest_set& set, const BlobListing::Fanout& f,
                  std::vector<std::string>& collected, DirSyncs& syncs) {
  std::size_t removed = 0;
  for (const auto& raw : f.blobs) {
    ++run.rec.blobs_scanned;
    if (digest_set_has_raw(set, raw)) {
      ++run.blobs_reachable;
      continue;
    }
    if (collect_blob(run, f.dir, blob_hex(raw), collected)) {
      ++removed;
      syncs.note(f.dir);
    }
    if (run.rec.blobs_scanned % kGcCheckEvery == 0 && gc_checkpoint(run)) {
      run.rec.cancelled = 1;
      return false;
    }
  }
  // Only a directory whose every listed entry went can be empty; a blob committed since the
  // listing makes the removal fail, as it should.
  if (!run.rec.dry_run && f.only_blobs && removed == f.blobs.size() &&
      platform::remove_dir(f.dir.c_str()) == 0)
    syncs.note_parent_of(f.dir);
  return true;
}

}  // namespace

std::string blob_hex(const std::array<unsigned char, 32>& raw) {
  char hex[kHexLen + 1];
  bin_to_hex(raw.data(), hex);
  return std::string(hex, kHexLen);
}

BlobListing gc_list_blobs() {
  BlobListing out;
  Path top;
  dir_list fanouts;
  if (!blob_store_dir(top) || list_dir_all(top.c_str(), &fanouts) != 0) return out;
  for (const auto& f : fanouts.entries) {
    BlobListing::Fanout fanout;
    dir_list entries;
    if (!f.is_dir || !child_path(top, f.name, fanout.dir) ||
        list_dir_all(fanout.dir.c_str(), &entries) != 0)
      continue;  // passed over, not removed
    for (const auto& e : entries.entries) {
      if (is_blob_entry(e))
        fanout.blobs.push_back(blob_raw(e.name));
      else
        fanout.only_blobs = false;
    }
    out.total += static_cast<std::int32_t>(fanout.blobs.size());
    out.fanouts.push_back(std::move(fanout));
  }
  return out;
}

bool gc_sweep(GcRun& run, const digest_set& set, const BlobListing& blobs) {
  std::vector<std::string> collected;  // hex names of the blobs deleted
  DirSyncs syncs;
  for (const auto& f : blobs.fanouts)
    if (!sweep_fanout(run, set, f, collected, syncs)) break;
  // Removed blobs stay removed after a power cut: a collection reported done is done. The
  // blob records of removed blobs name nothing stored, so they need no sync.
  const bool synced = syncs.sync() == 0;
  std::sort(collected.begin(), collected.end());
  blob_records_prune(collected);
  return synced;
}

}  // namespace reg
