// `tarnwick-registry fsck`: runs the store checker program installed beside this one.
#pragma once

#include "cli_support.h"

namespace tool {

// Replaces this process with tarnwick-registry-fsck from the same directory, passing the
// root, --json and --repair. Returns only when that fails (exit code 2, message printed).
int run_fsck(const GlobalOptions& g, bool repair);

}  // namespace tool
