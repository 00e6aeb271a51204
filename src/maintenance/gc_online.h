// A collection that runs while pushes go on, for the server and the operator tool (callers of
// the library's 28 functions keep reg_gc_json, which refuses to run beside an upload).
//
// The mark runs without holding pushes off. Then, in short holds of a gate that keeps pushes
// from committing, the collector marks what was pushed since its mark began and deletes a
// slice of what stays unmarked; between holds pushes go on. Nothing written within the grace
// period before the collection began, or during it, is deleted: blobs carry their commit time,
// and a blob an acknowledged push named is marked in the hold that deletes. Uploads are never
// a reason to refuse: only those idle past the stale age are removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reg {

// What keeps pushes from committing while the collector decides and deletes.
class PushGate {
 public:
  virtual ~PushGate() = default;
  // Keeps new pushes out and waits for those committing to finish. False, with `error`, when
  // it cannot.
  virtual bool hold(std::string& error) = 0;
  virtual void release() = 0;
};

struct OnlineGcOptions {
  bool dry_run = false;
  std::int64_t grace_s = 3600;                // blobs younger than this when it starts stay
  std::int64_t stale_upload_s = 900;          // uploads idle this long are removed
  std::int64_t delete_untagged_after_s = -1;  // untagged manifests this old go; < 0: none do
  std::int64_t hold_budget_ms = 40;           // deleting time per hold of the gate
  std::int64_t pause_ms = 25;                 // between holds, for the pushes held off
};

struct OnlineGcReport {
  std::string summary;  // one JSON object
  std::int32_t blobs_deleted = 0;
  std::int64_t bytes_freed = 0;
  std::int32_t manifests_deleted = 0;
  std::int64_t elapsed_ms = 0;
  std::int64_t longest_hold_ms = 0;  // the longest a push can have waited for the collector
  std::int64_t total_hold_ms = 0;
  int holds = 0;
  bool cancelled = false;
  std::vector<std::string> not_removed;  // blob digests, and repo@digest of manifests
};

// Runs one collection, publishing progress and honouring cancel requests as reg_gc_json does.
// False, with `error`, when it could not run or its mark was found incomplete (it then deletes
// nothing more). Safe to call from any thread of a process that has initialised the store.
bool gc_run_online(const OnlineGcOptions& o, PushGate& gate, OnlineGcReport& out,
                   std::string& error);

// Untagged manifests as gc_run_online's untagged option sees them (age 0): for the checker.
// -1 when the store could not be read whole.
long long gc_count_untagged();

}  // namespace reg
