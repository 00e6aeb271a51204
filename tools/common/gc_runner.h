// One collection while pushes go on, as the server and the operator tool run it: the only
// collector on the store, pushes held off only for the collector's short final holds.
#pragma once

#include "maintenance/gc_online.h"

#include <string>

namespace tool {

struct CollectionRequest {
  bool dry_run = false;
  long long grace_s = 3600;                 // blobs committed this recently are kept
  long long delete_untagged_after_s = -1;   // untagged manifests this old go; < 0: none
  long long stale_upload_s = 900;           // uploads idle this long are removed
};

// Runs one collection on the initialised store at `root`. `wait`: for a collection that runs
// already (in any process); otherwise false at once with "a collection is running".
bool run_collection(const std::string& root, const CollectionRequest& req, bool wait,
                    reg::OnlineGcReport& report, std::string& error);
// The same for a caller that holds the store's CollectorLock already.
bool run_collection_locked(const std::string& root, const CollectionRequest& req,
                           reg::OnlineGcReport& report, std::string& error);

// "90", "90s", "15m", "1h", "2d" (or "0") into seconds; false for anything else.
bool parse_duration(const std::string& text, long long& seconds);
// 3600 -> "1h", 90 -> "90s", 86400 -> "1d".
std::string format_duration(long long seconds);

}  // namespace tool
