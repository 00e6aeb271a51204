// reg_gc_json: one garbage collection, from the upload check to the summary.
//
// Order of the run: scan uploads (refuse while one is in progress), discard an old cancel
// request, count blobs, mark, remove stale uploads, sweep, publish the final snapshot, record
// last_run. Stale uploads are removed only once the mark is known to be complete, so a run
// that fails on an incomplete mark leaves the store exactly as it found it.
#include <cstdio>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/result.h"
#include "listings/discovery.h"
#include "maintenance/gc_internal.h"
#include "manifests/subject_index.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {

void gc_publish(GcRun& run) {
  run.snapshot_tick = platform::tick_ms();
  run.rec.elapsed_ms = static_cast<std::int64_t>(run.snapshot_tick - run.start_tick);
  run.snapshot_scanned = run.rec.blobs_scanned;
  gc_write_snapshot(run.rec);  // a failed write is not the collection's failure
}

bool gc_checkpoint(GcRun& run) {
  const std::uint64_t now = platform::tick_ms();
  run.rec.elapsed_ms = static_cast<std::int64_t>(now - run.start_tick);
  if (now - run.snapshot_tick >= kSnapshotEveryMs ||
      run.rec.blobs_scanned - run.snapshot_scanned >= kGcCheckEvery)
    gc_publish(run);
  return gc_cancel_requested() != 0;
}

void gc_start_run(GcRun& run, int dry_run) {
  run.rec.running = 1;
  gc_set_phase(run.rec, "walking");
  run.rec.dry_run = dry_run ? 1 : 0;
  run.rec.started_unix = platform::wall_clock_seconds();
  run.start_tick = platform::tick_ms();
  gc_publish(run);
}

// A request that came after the last probe is discarded with the last snapshot.
void gc_end_run(GcRun& run) {
  run.rec.running = 0;
  gc_set_phase(run.rec, "done");
  gc_publish(run);
  gc_discard_cancel();
}

void gc_write_last_run(const GcRun& run) {
  platform::UtcTime t{};
  Path p;
  if (!gc_make_state_dir() || !store_path({"_gc", "last_run"}, p)) return;
  if (!platform::to_utc(platform::wall_clock_seconds(), &t)) return;
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02dZ %lld %d\n", t.year,
                              t.month, t.day, t.hour, t.minute, t.second,
                              static_cast<long long>(run.rec.bytes_freed), run.rec.blobs_deleted);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof line)
    write_file(p.c_str(), line, static_cast<std::size_t>(n));
}

// Subject index entries whose manifest is gone (a deletion cut short) go with the collection;
// a fresh one may belong to a push that has not written its body yet.
void gc_prune_subject_index(std::int64_t now_unix, std::int64_t min_age_s) {
  std::vector<std::string> repos;
  discover_all_repos(repos);
  for (const auto& repo : repos) subject_index_prune(repo, now_unix, min_age_s);
}

namespace {

const char* json_flag(int v) { return v ? "true" : "false"; }

const char* summary(const GcRun& run) {
  ResultWriter out;
  out.appendf(
      "{\"dry_run\":%s,\"blobs_total\":%d,\"blobs_reachable\":%d,\"blobs_deleted\":%d,\"bytes_"
      "freed\":%lld,"
      "\"blobs_kept\":%d,\"stale_uploads\":%d,\"stale_upload_bytes\":%lld,\"cancelled\":%s,"
      "\"elapsed_ms\":%lld}",
      json_flag(run.rec.dry_run), run.rec.blobs_total, run.blobs_reachable, run.rec.blobs_deleted,
      static_cast<long long>(run.rec.bytes_freed), run.rec.blobs_total - run.rec.blobs_deleted,
      run.stale_uploads, static_cast<long long>(run.stale_upload_bytes),
      json_flag(run.rec.cancelled), static_cast<long long>(run.rec.elapsed_ms));
  return out.finish();
}

// Everything after the first snapshot. False (message recorded) when the mark was incomplete.
bool collect(GcRun& run, const UploadScan& uploads) {
  const BlobListing blobs = gc_list_blobs();
  run.rec.blobs_total = blobs.total;
  gc_publish(run);
  digest_set set;
  const MarkResult mark = gc_mark(run, set);
  if (mark == MarkResult::incomplete) return false;
  if (!run.rec.dry_run) gc_remove_stale_uploads(run, uploads);
  digest_set_seal(set);
  gc_set_phase(run.rec, "deleting");
  if (mark == MarkResult::cancelled || gc_cancel_requested()) {
    run.rec.cancelled = 1;
  } else if (!gc_sweep(run, set, blobs)) {
    set_error("sync collection failed");
    return false;
  }
  if (!run.rec.dry_run && !run.rec.cancelled)
    gc_prune_subject_index(gc_now_unix(run), kStaleUploadSecs);
  return true;
}

const char* gc_json(int dry_run) {
  if (!require_ready()) return nullptr;
  GcRun run;
  gc_start_clock(run, false);
  const UploadScan uploads = gc_scan_uploads(run);
  if (uploads.in_progress) {
    if (!dry_run) gc_remove_stale_uploads(run, uploads);
    set_error("uploads in progress");
    return nullptr;
  }
  gc_discard_cancel();
  gc_start_run(run, dry_run);
  bool complete = false;
  try {
    complete = collect(run, uploads);
  } catch (...) {
    gc_end_run(run);  // observers must not see a run that no longer runs
    throw;
  }
  gc_end_run(run);
  if (!complete) return nullptr;
  if (!dry_run) gc_write_last_run(run);
  const char* text = summary(run);
  clear_error();
  return text;
}

}  // namespace
}  // namespace reg

extern "C" {

const char* reg_gc_json(int dry_run) {
  return reg::guarded<const char*>(nullptr, [&] { return reg::gc_json(dry_run); });
}

}  // extern "C"
