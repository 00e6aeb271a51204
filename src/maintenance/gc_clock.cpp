// The store's clock. File times on a shared store are set by whichever host wrote the file;
// measuring their age against this host's clock would let a host whose clock runs ahead take
// another's uploads for stale. A collection therefore writes `_gc/clock` at its start and
// takes the time the file system gave it as "now".
#include "core/fileutil.h"
#include "core/paths.h"
#include "maintenance/gc_internal.h"
#include "platform/platform.h"

namespace reg {
namespace {

constexpr std::int64_t kUnixEpochInFileTicks = 11644473600LL * kFileTicksPerSec;

bool read_store_clock(std::int64_t* out) {
  Path p;
  platform::FileAttr a;
  if (!gc_make_state_dir() || !store_path({"_gc", "clock"}, p)) return false;
  if (write_file(p.c_str(), "", 0) != 0 || platform::get_attr(p.c_str(), &a) != 0) return false;
  *out = a.mtime;
  return a.mtime > kUnixEpochInFileTicks;
}

}  // namespace

void gc_start_clock(GcRun& run, bool from_store) {
  run.clock_tick = platform::tick_ms();
  if (!from_store || !read_store_clock(&run.clock_start))
    run.clock_start = platform::wall_clock_seconds() * kFileTicksPerSec + kUnixEpochInFileTicks;
}

std::int64_t gc_now_file_time(const GcRun& run) {
  const auto ms = static_cast<std::int64_t>(platform::tick_ms() - run.clock_tick);
  return run.clock_start + ms * (kFileTicksPerSec / 1000);
}

std::int64_t gc_now_unix(const GcRun& run) { return file_time_to_unix(gc_now_file_time(run)); }

}  // namespace reg
