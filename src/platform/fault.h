// Failure injection for tests. Every platform call asks `fault::hit` first; unless a test armed
// a fault this costs one relaxed atomic load. A test arms "fail the N-th call of this kind
// (or of any kind), once or from then on, with this error number" and can count the calls.
#pragma once

#include <cstdint>

namespace reg::fault {

enum class Op : int {
  any = 0,  // only as an arming target: matches every kind below
  stat,
  list,
  mkdir,
  rmdir,
  remove,
  rename,
  open,
  read,
  write,
  close,
  lock,
  sync_file,
  sync_dir,
  count_,
};

// 0 when the call may proceed, else the error number it must fail with.
int hit(Op op);

// Fails the `nth` call (1-based, counted from now) of kind `op` with `err`. With `sticky`
// every later call of that kind fails too. A write fault writes half the bytes first.
void arm(Op op, int nth, int err, bool sticky = false);
void disarm();
// Calls of kind `op` (any: all kinds) seen since the last arm() or reset_counts().
std::int64_t calls(Op op);
// Faults fired since the last arm().
std::int64_t fired();
void reset_counts();

// What a test's power-cut model (tests/support/power_cut.h) needs to know of the calls that
// decide what survives a cut: told after the call succeeded, by the system's handle (a POSIX
// descriptor; a directory handle and a name for a new directory). Unset, each such call costs
// one relaxed load more.
class DiskObserver {
 public:
  virtual ~DiskObserver() = default;
  virtual void file_created(int fd) = 0;    // a new file (the name did not exist)
  virtual void file_truncated(int fd) = 0;  // an existing file opened for writing, emptied
  virtual void dir_created(int parent_fd, const char* name) = 0;
  virtual void file_synced(int fd) = 0;  // its data and size are durable
  virtual void dir_synced(int fd) = 0;   // its entries are durable
};

// Sets (nullptr: clears) the observer. Not for use while other threads make platform calls.
void set_disk_observer(DiskObserver* o);
DiskObserver* disk_observer();

}  // namespace reg::fault
