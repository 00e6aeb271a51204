// gc_run_online: the mark while pushes go on, then holds of the push gate in which what was
// pushed meanwhile is marked and a slice of the garbage goes.
#include "maintenance/gc_online.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <set>
#include <thread>
#include <unordered_map>

#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "maintenance/gc_internal.h"
#include "maintenance/gc_untagged.h"
#include "manifests/blob_records.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr std::size_t kNotRemovedShown = 100;  // the summary names at most these

struct Candidate {
  std::size_t fanout;  // index in the listing
  std::string name;
};

struct OnlineRun {
  OnlineRun(const OnlineGcOptions& opts, PushGate& g, OnlineGcReport& report)
      : o(opts), gate(g), out(report) {}
  const OnlineGcOptions& o;
  PushGate& gate;
  OnlineGcReport& out;
  GcRun run;
  MarkLog log;
  digest_set set;    // the lock-free mark, sealed once
  digest_set fresh;  // what the holds marked since, sealed after each addition
  UntaggedPlan untagged;
  bool untagged_done = false;
  BlobListing listing;           // the store as listed before the mark
  std::vector<std::size_t> left;  // per listed fan-out directory: entries not deleted yet
  std::vector<Candidate> blobs;   // unmarked and past the grace period when listed
  std::size_t next = 0;
  std::int64_t cutoff = 0;  // file time: blobs written before it may go
  std::int32_t reachable = 0;
  std::int32_t in_grace = 0;
  std::set<std::size_t> emptied;       // fan-out directories a hold deleted the last entry of
  std::vector<std::string> collected;  // hex names of the blobs deleted
  DirSyncs syncs;  // the directories deletions changed, synced once after the holds
};

bool marked(const OnlineRun& r, std::string_view hex) {
  return digest_set_has(r.set, hex) || digest_set_has(r.fresh, hex);
}

void note_not_removed(OnlineRun& r, std::string what) {
  r.out.not_removed.push_back(std::move(what));
}

// Without holding pushes: the listed blobs the mark did not reach and that are older than
// the grace period are the candidates.
void list_candidates(OnlineRun& r) {
  const auto& fanouts = r.listing.fanouts;
  r.left.assign(fanouts.size(), 0);
  for (std::size_t i = 0; i < fanouts.size(); ++i) {
    const BlobListing::Fanout& f = fanouts[i];
    // A directory holding anything but blobs never counts down to empty.
    r.left[i] = f.only_blobs ? f.blobs.size() : f.blobs.size() + 1;
    for (const auto& raw : f.blobs) {
      ++r.run.rec.blobs_scanned;
      if (digest_set_has_raw(r.set, raw)) {
        ++r.reachable;
        continue;
      }
      std::string name = blob_hex(raw);
      Path p;
      platform::FileAttr a;
      if (!child_path(f.dir, name, p) || platform::get_attr(p.c_str(), &a) != 0) continue;
      if (a.mtime >= r.cutoff)
        ++r.in_grace;
      else
        r.blobs.push_back({i, std::move(name)});
    }
    if (r.left[i] == 0) r.emptied.insert(i);  // an empty directory goes with the first hold
  }
}

// One candidate, pushes held: marked since, committed again since (its time is then new), or
// deleted.
void take_blob(OnlineRun& r, const Candidate& c) {
  if (marked(r, c.name)) {
    ++r.reachable;
    return;
  }
  const Path& dir = r.listing.fanouts[c.fanout].dir;
  Path p;
  platform::FileAttr a;
  if (!child_path(dir, c.name, p) || platform::get_attr(p.c_str(), &a) != 0) return;
  if (a.mtime >= r.cutoff) {
    ++r.in_grace;
    return;
  }
  if (!r.o.dry_run) {
    if (const int e = platform::remove_file(p.c_str()); e != 0) {
      if (e != platform::kErrNotFound) note_not_removed(r, std::string(kDigestPrefix) + c.name);
      return;
    }
    if (--r.left[c.fanout] == 0) r.emptied.insert(c.fanout);
    r.syncs.note(dir);
    r.collected.push_back(c.name);
  }
  ++r.run.rec.blobs_deleted;
  r.run.rec.bytes_freed += static_cast<std::int64_t>(a.size);
}

bool rewritten_since_start(const OnlineRun& r, const UntaggedManifest& m) {
  Path p;
  platform::FileAttr a;
  return !manifest_body_path(m.repo, m.hex, p) || platform::get_attr(p.c_str(), &a) != 0 ||
         a.mtime >= r.run.clock_start;
}

// Untagged manifests, pushes held: one that a tag names now, that a push rewrote, or that a
// kept manifest references is spared and marked from; the others go (indexes first).
bool remove_untagged(OnlineRun& r, std::string& error) {
  std::unordered_map<std::string, std::unordered_set<std::string>> tagged;
  std::unordered_set<std::string> unknown;  // repositories whose tags could not be read
  for (const auto& m : r.untagged.items) {
    if (!tagged.contains(m.repo) && !unknown.contains(m.repo) &&
        !gc_tagged_in(m.repo, tagged[m.repo]))
      unknown.insert(m.repo);
    bool spare = unknown.contains(m.repo) || tagged[m.repo].contains(m.hex) || marked(r, m.hex) ||
                 rewritten_since_start(r, m);
    if (!spare && !r.o.dry_run) {
      const std::string digest = std::string(kDigestPrefix) + m.hex;
      if (reg_manifest_delete(m.repo.c_str(), digest.c_str()) != 0) {
        note_not_removed(r, m.repo + "@" + digest);
        spare = true;
      }
    }
    if (spare) {
      if (gc_mark_body(m.repo, m.hex, r.fresh) == MarkResult::incomplete) {
        error = s_error;
        return false;
      }
      continue;
    }
    ++r.out.manifests_deleted;
  }
  digest_set_seal(r.fresh);
  return true;
}

// One hold of the gate. False, with `error`, when the collection must stop.
bool hold_and_delete(OnlineRun& r, std::string& error) {
  const std::uint64_t begin = platform::tick_ms();
  if (!r.gate.hold(error)) {
    error = "cannot hold pushes: " + error;
    return false;
  }
  struct Release {
    OnlineRun& r;
    std::uint64_t begin;
    ~Release() {
      r.gate.release();
      const auto held = static_cast<std::int64_t>(platform::tick_ms() - begin);
      r.out.longest_hold_ms = std::max(r.out.longest_hold_ms, held);
      r.out.total_hold_ms += held;
      ++r.out.holds;
    }
  } release{r, begin};
  r.log.final_pass = true;
  const MarkResult m = gc_mark(r.run, r.fresh, &r.log);
  if (m == MarkResult::incomplete) {
    error = s_error;
    return false;
  }
  digest_set_seal(r.fresh);
  if (m == MarkResult::cancelled) {
    r.run.rec.cancelled = 1;
    return true;
  }
  if (!r.untagged_done) {
    if (!remove_untagged(r, error)) return false;
    r.untagged_done = true;
  }
  const auto budget = static_cast<std::uint64_t>(r.o.hold_budget_ms);
  std::int32_t taken = 0;
  while (r.next < r.blobs.size() && platform::tick_ms() - begin < budget) {
    take_blob(r, r.blobs[r.next++]);
    if (++taken % kGcCheckEvery == 0 && gc_checkpoint(r.run)) {
      r.run.rec.cancelled = 1;
      break;
    }
  }
  // A blob committed since the listing keeps its directory: only an empty one can go.
  for (const std::size_t i : r.emptied) {
    const Path& dir = r.listing.fanouts[i].dir;
    if (platform::remove_dir(dir.c_str()) == 0) r.syncs.note_parent_of(dir);
  }
  r.emptied.clear();
  return true;
}

void append_json_string(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  out += '"';
}

std::string summary_of(const OnlineRun& r) {
  const gc_progress& p = r.run.rec;
  char head[768];
  std::snprintf(head, sizeof head,
                "{\"dry_run\":%s,\"blobs_total\":%d,\"blobs_reachable\":%d,\"blobs_deleted\":%d,"
                "\"bytes_freed\":%lld,\"blobs_kept\":%d,\"stale_uploads\":%d,"
                "\"stale_upload_bytes\":%lld,\"cancelled\":%s,\"elapsed_ms\":%lld,"
                "\"grace_period_s\":%lld,\"blobs_in_grace\":%d,\"manifests_deleted\":%d,"
                "\"longest_hold_ms\":%lld,\"holds\":%d,\"not_removed_count\":%zu,\"not_removed\":[",
                p.dry_run ? "true" : "false", p.blobs_total, r.reachable, p.blobs_deleted,
                static_cast<long long>(p.bytes_freed), p.blobs_total - p.blobs_deleted,
                r.run.stale_uploads, static_cast<long long>(r.run.stale_upload_bytes),
                p.cancelled ? "true" : "false", static_cast<long long>(p.elapsed_ms),
                static_cast<long long>(r.o.grace_s), r.in_grace, r.out.manifests_deleted,
                static_cast<long long>(r.out.longest_hold_ms), r.out.holds,
                r.out.not_removed.size());
  std::string out = head;
  for (std::size_t i = 0; i < r.out.not_removed.size() && i < kNotRemovedShown; ++i) {
    if (i) out += ',';
    append_json_string(out, r.out.not_removed[i]);
  }
  out += "]}";
  return out;
}

// The collection after its first snapshot. False, with `error`, when it must stop.
bool collect(OnlineRun& r, const UploadScan& uploads, std::string& error) {
  if (r.o.delete_untagged_after_s >= 0 &&
      !gc_plan_untagged(gc_now_unix(r.run), r.o.delete_untagged_after_s, r.untagged)) {
    error = "gc: cannot read every repository's tags and manifests";
    return false;
  }
  r.log.skip = &r.untagged.keys;
  r.listing = gc_list_blobs();
  r.run.rec.blobs_total = r.listing.total;
  gc_publish(r.run);
  const MarkResult mark = gc_mark(r.run, r.set, &r.log);
  if (mark == MarkResult::incomplete) {
    error = s_error;
    return false;
  }
  digest_set_seal(r.set);
  gc_set_phase(r.run.rec, "deleting");
  if (mark == MarkResult::cancelled || gc_cancel_requested()) {
    r.run.rec.cancelled = 1;
    return true;
  }
  list_candidates(r);
  gc_publish(r.run);
  do {
    if (r.out.holds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.o.pause_ms));
    if (!hold_and_delete(r, error)) return false;
  } while (r.next < r.blobs.size() && !r.run.rec.cancelled);
  // Outside the holds, so pushes never wait for the disk; before the report, so deleted
  // blobs stay deleted.
  if (r.syncs.sync() != 0) {
    error = "gc: sync collection failed";
    return false;
  }
  std::sort(r.collected.begin(), r.collected.end());
  blob_records_prune(r.collected);
  if (r.o.dry_run || r.run.rec.cancelled) return true;
  gc_remove_stale_uploads(r.run, uploads, r.o.stale_upload_s);
  gc_prune_subject_index(gc_now_unix(r.run), kStaleUploadSecs);
  return true;
}

bool run_online(const OnlineGcOptions& o, PushGate& gate, OnlineGcReport& out,
                std::string& error) {
  out = OnlineGcReport();
  if (!require_ready()) {
    error = s_error;
    return false;
  }
  OnlineRun r(o, gate, out);
  gc_start_clock(r.run);
  r.cutoff = r.run.clock_start - o.grace_s * kFileTicksPerSec;
  const UploadScan uploads = gc_scan_uploads(r.run, o.stale_upload_s);
  gc_discard_cancel();
  gc_start_run(r.run, o.dry_run ? 1 : 0);
  bool ok = false;
  try {
    ok = collect(r, uploads, error);
  } catch (const std::bad_alloc&) {
    error = "gc: out of memory";
  }
  gc_end_run(r.run);
  out.blobs_deleted = r.run.rec.blobs_deleted;
  out.bytes_freed = r.run.rec.bytes_freed;
  out.elapsed_ms = r.run.rec.elapsed_ms;
  out.cancelled = r.run.rec.cancelled != 0;
  if (!ok) return false;
  if (!o.dry_run) gc_write_last_run(r.run);
  out.summary = summary_of(r);
  return true;
}

}  // namespace

bool gc_run_online(const OnlineGcOptions& o, PushGate& gate, OnlineGcReport& out,
                   std::string& error) {
  try {
    return run_online(o, gate, out, error);
  } catch (...) {
    error = "gc: unexpected failure";
    return false;
  }
}

long long gc_count_untagged() {
  UntaggedPlan plan;
  if (!gc_plan_untagged(platform::wall_clock_seconds(), 0, plan)) return -1;
  return static_cast<long long>(plan.items.size());
}

}  // namespace reg
