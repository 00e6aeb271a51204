// Shared state and steps of one garbage collection: the upload scan (gc_uploads.cpp), the mark
// (gc_mark.cpp), the blob count and the sweep (gc_sweep.cpp); gc.cpp runs them in order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/paths.h"
#include "maintenance/gc_progress.h"

namespace reg {

inline constexpr int kGcCheckEvery = 256;  // manifests read / blobs scanned per check point
inline constexpr std::uint64_t kSnapshotEveryMs = 200;
inline constexpr std::int64_t kStaleUploadSecs = 900;

// The reachable set: digests as their 32 raw bytes (byte order of the raw form is the order of
// the lowercase hex form). Duplicates are folded away whenever the array fills, so its size
// follows the number of distinct referenced digests, not the number of references.
struct digest_set {
  std::vector<std::array<unsigned char, 32>> items;
};

// Adds `digest` when it is "sha256:" and 64 lowercase hex digits; ignores anything else.
void hashset_add_digest(digest_set& set, const char* digest);
// Sorts and folds duplicates; call once before the first lookup.
void digest_set_seal(digest_set& set);
// Bisection over the sealed set for a blob file name (64 lowercase hex digits).
bool digest_set_has(const digest_set& set, std::string_view hex);

// One collection in progress: the published record and what the summary needs besides.
struct GcRun {
  gc_progress rec;
  std::uint64_t start_tick = 0;
  std::uint64_t snapshot_tick = 0;    // tick of the last snapshot written
  std::int32_t snapshot_scanned = 0;  // blobs_scanned at the last snapshot written
  std::int32_t blobs_reachable = 0;
  std::int32_t stale_uploads = 0;
  std::int64_t stale_upload_bytes = 0;
  std::int64_t clock_start = 0;  // the store's clock at the start (file time, 100 ns units)
  std::uint64_t clock_tick = 0;  // the tick at which it was read
};

inline constexpr std::int64_t kFileTicksPerSec = 10000000;  // file times count 100 ns

// Reads the store's clock into the run: the time the file system gives `_gc/clock`, written
// now. Every age a collection measures counts against it, so that hosts whose clocks disagree
// judge the files of a shared store alike. Falls back to this host's clock when the file
// cannot be written. `from_store` false: this host's clock (reg_gc_json, whose refused run
// must write nothing).
void gc_start_clock(GcRun& run, bool from_store = true);
// The store's clock now: its reading at the start plus the monotonic time since.
std::int64_t gc_now_file_time(const GcRun& run);
std::int64_t gc_now_unix(const GcRun& run);

// The first snapshot of a run (running, "walking") and its last one, whatever ended it.
void gc_start_run(GcRun& run, int dry_run);
void gc_end_run(GcRun& run);
// The one-line record `_gc/last_run` of a run that was not a dry run.
void gc_write_last_run(const GcRun& run);
// Drops subject index entries whose manifest is gone, once they are `min_age_s` old.
void gc_prune_subject_index(std::int64_t now_unix, std::int64_t min_age_s);

// Writes the record now and remembers when.
void gc_publish(GcRun& run);
// A check point: refreshes elapsed_ms, writes a snapshot when one is due, then probes for a
// cancel request. True when the collection is to stop.
bool gc_checkpoint(GcRun& run);

// Upload files of `uploads`: stale ones (idle 900 s or more) and whether any is in progress.
struct UploadScan {
  std::vector<std::string> stale;  // paths
  bool in_progress = false;
};
// Every upload file is seen (no listing cap); counts go into run.stale_uploads/_bytes. An
// upload is stale once idle `stale_secs` by the store's clock.
UploadScan gc_scan_uploads(GcRun& run, std::int64_t stale_secs = kStaleUploadSecs);
// Removes the stale files that are still stale now.
void gc_remove_stale_uploads(const GcRun& run, const UploadScan& scan,
                             std::int64_t stale_secs = kStaleUploadSecs);

enum class MarkResult { complete, cancelled, incomplete };

// What an online collection's mark remembers between its lock-free pass, made while pushes go
// on, and the passes of its final phase, made while they are held off: the bodies it has read
// (so that a later pass reads only what was pushed meanwhile) and those it must read again.
// Such a mark also keeps what a "subject" names, so that no referrer loses its subject.
struct MarkLog {
  std::unordered_set<std::string> seen;                    // mark_key of every body taken
  std::vector<std::pair<std::string, std::string>> retry;  // (repo, hex) not read whole
  const std::unordered_set<std::string>* skip = nullptr;   // bodies not to mark from
  bool final_pass = false;  // pushes are held: an unreadable or damaged body is final
};
std::string mark_key(std::string_view repo, std::string_view hex);

// Marks from every manifest body of every repository. `incomplete` (message recorded) when
// some body may have been missed: the caller must then delete no blob.
MarkResult gc_mark(GcRun& run, digest_set& set, MarkLog* log = nullptr);
// Marks from one body, as a final pass does (subjects included; damaged means incomplete).
MarkResult gc_mark_body(const std::string& repo, const std::string& hex, digest_set& set);

// The blob files (64-hex names inside fan-out directories) as one listing at the start of a
// collection found them: it gives the total and, after the mark, what the sweep considers, so
// each directory is listed once per run (on a shared file system every listing is a round
// trip). A blob that came after the listing is left for the next run. 32 bytes a blob.
struct BlobListing {
  struct Fanout {
    Path dir;
    std::vector<std::array<unsigned char, 32>> blobs;  // raw digests, in listing order
    bool only_blobs = true;  // nothing else was in it: it is empty once its blobs went
  };
  std::vector<Fanout> fanouts;
  std::int32_t total = 0;
};
BlobListing gc_list_blobs();
// A blob file name (64 lowercase hex digits, checked by the caller) as raw bytes, and back.
std::array<unsigned char, 32> blob_raw(std::string_view hex);
std::string blob_hex(const std::array<unsigned char, 32>& raw);
// Whether the sealed set holds a listed blob.
bool digest_set_has_raw(const digest_set& set, const std::array<unsigned char, 32>& raw);
// Deletes (or, in a dry run, counts) every listed blob not in `set`. Sets rec.cancelled when a
// check point finds a request.
// False when the removals could not be made durable (the blobs are gone all the same).
bool gc_sweep(GcRun& run, const digest_set& set, const BlobListing& blobs);

}  // namespace reg
