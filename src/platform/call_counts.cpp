#include "platform/call_counts.h"

#include <array>
#include <atomic>

namespace reg::platform {
namespace {

constexpr int kKinds = static_cast<int>(fault::Op::count_);
std::array<std::atomic<std::uint64_t>, kKinds> g_counts{};

std::uint64_t load(fault::Op op) {
  return g_counts[static_cast<int>(op)].load(std::memory_order_relaxed);
}

}  // namespace

void count_call(fault::Op op) {
  g_counts[static_cast<int>(op)].fetch_add(1, std::memory_order_relaxed);
}

CallCounts call_counts() {
  using fault::Op;
  CallCounts c;
  c.stats = load(Op::stat);
  c.listings = load(Op::list);
  c.mkdirs = load(Op::mkdir);
  c.rmdirs = load(Op::rmdir);
  c.unlinks = load(Op::remove);
  c.renames = load(Op::rename);
  c.opens = load(Op::open);
  c.reads = load(Op::read);
  c.writes = load(Op::write);
  c.closes = load(Op::close);
  c.locks = load(Op::lock);
  c.file_syncs = load(Op::sync_file);
  c.dir_syncs = load(Op::sync_dir);
  return c;
}

std::uint64_t CallCounts::total() const {
  return stats + listings + mkdirs + rmdirs + unlinks + renames + opens + reads + writes + closes +
         locks + file_syncs + dir_syncs;
}

CallCounts operator-(const CallCounts& a, const CallCounts& b) {
  CallCounts d;
  d.stats = a.stats - b.stats;
  d.listings = a.listings - b.listings;
  d.mkdirs = a.mkdirs - b.mkdirs;
  d.rmdirs = a.rmdirs - b.rmdirs;
  d.unlinks = a.unlinks - b.unlinks;
  d.renames = a.renames - b.renames;
  d.opens = a.opens - b.opens;
  d.reads = a.reads - b.reads;
  d.writes = a.writes - b.writes;
  d.closes = a.closes - b.closes;
  d.locks = a.locks - b.locks;
  d.file_syncs = a.file_syncs - b.file_syncs;
  d.dir_syncs = a.dir_syncs - b.dir_syncs;
  return d;
}

}  // namespace reg::platform
