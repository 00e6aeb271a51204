// Text forms of the library's collection progress snapshot and summary.
#pragma once

#include <string>

namespace tool {

struct GcSnapshot {
  bool running = false;
  std::string phase = "idle";
  long long scanned = 0, total = 0, deleted = 0, bytes_freed = 0, elapsed_ms = 0;
  bool dry_run = false, cancelled = false;
};

GcSnapshot parse_gc_snapshot(const char* json);

// One terminal line: "[#####.....]  deleting  1200/5000 blobs  12 deleted  3.4 MiB  1.2 s".
std::string gc_progress_line(const GcSnapshot& s, int bar_width);

// The one-line summary of a finished collection (from the library's JSON summary).
std::string gc_summary_line(const char* summary_json);

}  // namespace tool
