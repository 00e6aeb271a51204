// GC progress snapshot (writer and reader) and the cancel request.
#include "maintenance/gc_progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/result.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {
namespace {

const char* json_flag(int v) { return v ? "true" : "false"; }

// (now - started) * 1000, or 0 when a hand-edited start time would overflow the arithmetic.
std::int64_t elapsed_since(std::int64_t now, std::int64_t started) {
  std::int64_t secs = 0, ms = 0;
  if (__builtin_sub_overflow(now, started, &secs) || __builtin_mul_overflow(secs, 1000, &ms))
    return 0;
  return ms;
}

void fill_from_json(yyjson_val* root, std::int64_t now, gc_progress& rec) {
  rec.running = gc_json_bool(root, "running");
  rec.blobs_scanned = static_cast<std::int32_t>(gc_json_int(root, "blobs_scanned"));
  rec.blobs_total = static_cast<std::int32_t>(gc_json_int(root, "blobs_total"));
  rec.blobs_deleted = static_cast<std::int32_t>(gc_json_int(root, "blobs_deleted"));
  rec.bytes_freed = gc_json_int(root, "bytes_freed");
  rec.dry_run = gc_json_bool(root, "dry_run");
  rec.started_unix = gc_json_int(root, "started_unix");
  rec.cancelled = gc_json_bool(root, "cancelled");
  yyjson_val* phase = yyjson_obj_get(root, "phase");
  if (yyjson_is_str(phase)) gc_set_phase(rec, yyjson_get_str(phase));
  const std::int64_t elapsed = gc_json_int(root, "elapsed_ms");
  if (elapsed > 0)
    rec.elapsed_ms = elapsed;
  else
    rec.elapsed_ms = rec.started_unix > 0 ? elapsed_since(now, rec.started_unix) : 0;
  if (!rec.running && rec.phase[0] == '\0') gc_set_phase(rec, "done");
}

// The snapshot as the reader reports it: the stored one while fresh, else the idle record.
// The reader has no ready guard: it looks under whatever root is set, including one that a
// failed initialisation left behind. With no root (before any initialisation, after cleanup)
// no file is read.
gc_progress read_snapshot() {
  gc_progress rec;
  Path p;
  std::string buf;
  if (s_root[0] == '\0' || !store_path({"_gc", "progress.json"}, p) ||
      !read_file_alloc(p.c_str(), buf))
    return rec;
  platform::FileAttr a;
  if (platform::get_attr(p.c_str(), &a) != 0) return rec;
  const std::int64_t written = file_time_to_unix(a.mtime);
  const std::int64_t now = platform::wall_clock_seconds();
  if (written < 0 || now - written > kSnapshotFreshSecs) return rec;  // a future time is fresh
  DocPtr doc(yyjson_read_opts(buf.data(), buf.size(), 0, nullptr, nullptr));
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (yyjson_is_obj(root)) fill_from_json(root, now, rec);
  return rec;
}

const char* progress_json() {
  const gc_progress rec = read_snapshot();
  char text[kSnapshotCap];
  const int n = gc_snapshot_json(rec, text);
  ResultWriter out;
  out.append(std::string_view(text, n > 0 ? static_cast<std::size_t>(n) : 0));
  return out.finish();
}

int gc_cancel() {
  if (!require_ready()) return -1;
  if (!gc_make_state_dir()) {
    set_error("cannot create gc state directory");
    return -1;
  }
  Path p;
  std::unique_ptr<platform::File> f;
  if (!store_path({"_gc", "cancel"}, p) ||
      platform::open_file(p.c_str(), platform::File::Mode::write, &f) != 0) {
    set_error("cannot write gc cancel marker");
    return -1;
  }
  if (f->close() != 0) {
    set_error("cannot write gc cancel marker");
    return -1;
  }
  return 0;
}

}  // namespace

void gc_set_phase(gc_progress& rec, std::string_view phase) {
  const std::size_t n = std::min(phase.size(), kPhaseCap - 1);
  std::memcpy(rec.phase, phase.data(), n);
  rec.phase[n] = '\0';
}

int gc_snapshot_json(const gc_progress& rec, char* out) {
  // Phase words never need escaping; a phase read back from a hand-edited file might, and the
  // reader's result must stay JSON. Fifteen bytes escape to at most 90 (the escaper also
  // wants 9 bytes of room for the last one).
  char phase[kPhaseCap * 6 + 9];
  json_escape_append(phase, sizeof phase, rec.phase);
  return std::snprintf(
      out, kSnapshotCap,
      "{\"running\":%s,\"phase\":\"%s\",\"blobs_scanned\":%d,\"blobs_total\":%d,"
      "\"blobs_deleted\":%d,\"bytes_freed\":%lld,\"dry_run\":%s,\"started_unix\":%lld,"
      "\"elapsed_ms\":%lld,\"cancelled\":%s}",
      json_flag(rec.running), phase, rec.blobs_scanned, rec.blobs_total, rec.blobs_deleted,
      static_cast<long long>(rec.bytes_freed), json_flag(rec.dry_run),
      static_cast<long long>(rec.started_unix), static_cast<long long>(rec.elapsed_ms),
      json_flag(rec.cancelled));
}

bool gc_make_state_dir() {
  Path dir;
  return store_path({"_gc"}, dir) && (is_dir(dir.c_str()) || mkdirs(dir.c_str()) == 0);
}

int gc_write_snapshot(const gc_progress& rec) {
  gc_make_state_dir();  // on failure the write below fails, and the collection goes on
  Path p;
  if (!store_path({"_gc", "progress.json"}, p)) return -1;
  char text[kSnapshotCap];
  const int n = gc_snapshot_json(rec, text);
  if (n <= 0) return -1;
  return write_file(p.c_str(), text, static_cast<std::size_t>(n));
}

int gc_cancel_requested() {
  Path p;
  return store_path({"_gc", "cancel"}, p) && is_file(p.c_str()) ? 1 : 0;
}

void gc_discard_cancel() {
  Path p;
  if (store_path({"_gc", "cancel"}, p) && is_file(p.c_str())) platform::remove_file(p.c_str());
}

int gc_json_bool(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_bool(v) && yyjson_get_bool(v) ? 1 : 0;
}

std::int64_t gc_json_int(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_int(v) ? yyjson_get_sint(v) : 0;  // an unsigned value keeps its bits
}

}  // namespace reg

extern "C" {

int reg_gc_cancel(void) {
  return reg::guarded(-1, [] { return reg::gc_cancel(); });
}

const char* reg_gc_progress_json(void) {
  // Never null: should anything throw, the idle snapshot still goes out.
  static constexpr char kIdle[] =
      "{\"running\":false,\"phase\":\"idle\",\"blobs_scanned\":0,\"blobs_total\":0,\"blobs_"
      "deleted\":0,"
      "\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":0,\"elapsed_ms\":0,\"cancelled\":"
      "false}";
  try {
    return reg::progress_json();
  } catch (...) {
    reg::ResultWriter out;
    out.append(kIdle);
    return out.finish();
  }
}

}  // extern "C"
