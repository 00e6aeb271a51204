// Counts of the platform layer's calls by kind, kept from process start. Benchmarks and tests
// take a snapshot before and after an operation and subtract, and the server reports the totals:
// so "how many syncs does a manifest upload cost" is measured, not guessed. Counting costs one
// relaxed atomic increment per call and is always on.
#pragma once

#include <cstdint>

#include "platform/fault.h"

namespace reg::platform {

struct CallCounts {
  std::uint64_t stats = 0;     // get_attr, File::size
  std::uint64_t listings = 0;  // enumerate_dir
  std::uint64_t mkdirs = 0;
  std::uint64_t rmdirs = 0;
  std::uint64_t unlinks = 0;   // remove_file
  std::uint64_t renames = 0;
  std::uint64_t opens = 0;
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::uint64_t closes = 0;
  std::uint64_t locks = 0;
  std::uint64_t file_syncs = 0;  // File::sync, sync_file
  std::uint64_t dir_syncs = 0;   // sync_dir

  std::uint64_t syncs() const { return file_syncs + dir_syncs; }
  // Every call counted above.
  std::uint64_t total() const;
};

// Totals since the process started (all threads).
CallCounts call_counts();
// Field by field `after - before`: the calls made between two snapshots.
CallCounts operator-(const CallCounts& after, const CallCounts& before);

// For the platform layer's entry check (fault::hit) only: counts one call of kind `op`.
void count_call(fault::Op op);

}  // namespace reg::platform
