// Shared state and steps of one garbage collection: the upload scan (gc_uploads.cpp), the mark
// (gc_mark.cpp), the blob count and the sweep (gc_sweep.cpp); gc.cpp runs them in order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
};

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
// Every upload file is seen (no listing cap); counts go into run.stale_uploads/_bytes.
UploadScan gc_scan_uploads(GcRun& run);
// Removes the stale files that are still stale now.
void gc_remove_stale_uploads(const UploadScan& scan);

enum class MarkResult { complete, cancelled, incomplete };
// Marks from every manifest body of every repository. `incomplete` (message recorded) when
// some body may have been missed: the caller must then delete no blob.
MarkResult gc_mark(GcRun& run, digest_set& set);

// Blob files (64-hex names inside fan-out directories) present now.
std::int32_t gc_count_blobs();
// Deletes (or, in a dry run, counts) every blob not in `set`. Sets rec.cancelled when a
// check point finds a request.
void gc_sweep(GcRun& run, const digest_set& set);

}  // namespace reg
