#include "gc_progress_view.h"

#include "cli_support.h"
#include "json_util.h"

#include <cstdio>

namespace tool {

GcSnapshot parse_gc_snapshot(const char* json) {
  GcSnapshot s;
  DocPtr doc = parse_json(json ? json : "");
  if (!doc) return s;
  yyjson_val* o = yyjson_doc_get_root(doc.get());
  s.running = json_bool(o, "running");
  s.phase = json_str(o, "phase");
  s.scanned = json_int(o, "blobs_scanned");
  s.total = json_int(o, "blobs_total");
  s.deleted = json_int(o, "blobs_deleted");
  s.bytes_freed = json_int(o, "bytes_freed");
  s.elapsed_ms = json_int(o, "elapsed_ms");
  s.dry_run = json_bool(o, "dry_run");
  s.cancelled = json_bool(o, "cancelled");
  return s;
}

std::string gc_progress_line(const GcSnapshot& s, int bar_width) {
  // Marking has no count to show; the bar fills during the sweep.
  int filled = 0;
  if (s.phase == "done")
    filled = bar_width;
  else if (s.total > 0 && s.phase == "deleting")
    filled = static_cast<int>(s.scanned * bar_width / s.total);
  if (filled > bar_width) filled = bar_width;
  std::string bar = "[" + std::string(filled, '#') + std::string(bar_width - filled, '.') + "]";
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s %-8s %lld/%lld blobs  %lld %s  %s freed  %s", bar.c_str(),
                s.phase.c_str(), s.scanned, s.total, s.deleted, s.dry_run ? "to delete" : "deleted",
                human_size(s.bytes_freed).c_str(), human_duration_ms(s.elapsed_ms).c_str());
  return buf;
}

std::string gc_summary_line(const char* summary_json) {
  DocPtr doc = parse_json(summary_json ? summary_json : "");
  if (!doc) return "gc: (no summary)";
  yyjson_val* o = yyjson_doc_get_root(doc.get());
  bool dry = json_bool(o, "dry_run");
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "gc%s%s: %lld blobs, %lld reachable, %lld %s (%s), %lld kept; "
                "%lld stale uploads (%s); %s",
                dry ? " (dry run)" : "", json_bool(o, "cancelled") ? " cancelled" : "",
                json_int(o, "blobs_total"), json_int(o, "blobs_reachable"),
                json_int(o, "blobs_deleted"), dry ? "to delete" : "deleted",
                human_size(json_int(o, "bytes_freed")).c_str(), json_int(o, "blobs_kept"),
                json_int(o, "stale_uploads"), human_size(json_int(o, "stale_upload_bytes")).c_str(),
                human_duration_ms(json_int(o, "elapsed_ms")).c_str());
  std::string line = buf;
  if (yyjson_obj_get(o, "grace_period_s")) {
    std::snprintf(buf, sizeof buf,
                  "; %lld within the grace period; %lld untagged manifests %s; pushes held at "
                  "most %s",
                  json_int(o, "blobs_in_grace"), json_int(o, "manifests_deleted"),
                  dry ? "to delete" : "deleted",
                  human_duration_ms(json_int(o, "longest_hold_ms")).c_str());
    line += buf;
  }
  // What could not be removed stays, and the operator needs to know which.
  if (long long n = json_int(o, "not_removed_count"); n > 0) {
    line += "\ncould not remove " + std::to_string(n) + ":";
    yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_obj_get(o, "not_removed"));
    while (yyjson_val* v = yyjson_arr_iter_next(&it))
      if (const char* name = yyjson_get_str(v)) line += std::string("\n  ") + name;
    const long long shown = static_cast<long long>(yyjson_arr_size(yyjson_obj_get(o, "not_removed")));
    if (shown < n) line += "\n  ... and " + std::to_string(n - shown) + " more";
  }
  return line;
}

}  // namespace tool
