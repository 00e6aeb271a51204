// The collector's progress record and the two files of the GC state directory that carry it
// between processes: `_gc/progress.json` (the snapshot) and `_gc/cancel` (the request to stop).
// Nothing about a running collection lives in shared memory.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace reg {

inline constexpr std::size_t kSnapshotCap = 512;         // the formatter's bound, NUL included
inline constexpr std::size_t kPhaseCap = 16;             // 15 characters and a NUL
inline constexpr std::int64_t kSnapshotFreshSecs = 600;  // older snapshots read as idle

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;

struct gc_progress {
  int running = 0;
  char phase[kPhaseCap] = "idle";
  std::int32_t blobs_scanned = 0;
  std::int32_t blobs_total = 0;
  std::int32_t blobs_deleted = 0;
  std::int64_t bytes_freed = 0;
  int dry_run = 0;
  std::int64_t started_unix = 0;
  std::int64_t elapsed_ms = 0;
  int cancelled = 0;
};

// Copies at most 15 bytes of `phase` into the record.
void gc_set_phase(gc_progress& rec, std::string_view phase);

// The one-line JSON snapshot of `rec` into `out` (kSnapshotCap bytes). Returns its length.
int gc_snapshot_json(const gc_progress& rec, char* out);
// Replaces `_gc/progress.json` with the snapshot of `rec` (creating `_gc`). 0 or -1.
int gc_write_snapshot(const gc_progress& rec);

// 1 while `_gc/cancel` exists and is not a directory, else 0.
int gc_cancel_requested();
// Removes a pending request (a file named `cancel`; a directory of that name is left alone).
void gc_discard_cancel();
// Creates `_gc` when it is missing. False when mkdirs fails (which accepts any existing name).
bool gc_make_state_dir();

// The first member `key` of `obj`: a boolean as 0/1, an integer as int64; anything else 0.
int gc_json_bool(yyjson_val* obj, const char* key);
std::int64_t gc_json_int(yyjson_val* obj, const char* key);

}  // namespace reg
