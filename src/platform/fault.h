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

}  // namespace reg::fault
