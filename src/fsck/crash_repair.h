// Heals what a crash or a power cut left in the store, from the checker's findings: files
// that no reader can use and that a later operation makes again are removed, so that a client
// uploads a blob again instead of being told it is there. What only a client can make again
// (a damaged manifest body) is reported with the tags that name it, never removed.
#pragma once

#include <string>
#include <vector>

#include "fsck/fsck.h"
#include "maintenance/fsck_repair.h"

namespace reg {

struct CrashRepair {
  std::vector<std::string> removed;            // "path: why", relative to the root
  std::vector<std::string> damaged_manifests;  // "repo@digest: why (tags: a, b)"
  int not_removed = 0;                         // leftovers that could not be removed
};

// Acts on the findings of a check of the store at the current root. The caller keeps writers
// out meanwhile (the store lock). Temporary and set-aside upload files are taken only once
// idle for a while, so that a write in progress elsewhere keeps its file.
void repair_crash_leftovers(const FsckReport& check, CrashRepair& out);

// fsck --repair: checks the store, heals the crash leftovers, then rebuilds the subject index
// and blob records (fsck_repair). False, with the message recorded, only when the library is
// not initialised.
struct StoreRepair {
  CrashRepair crash;
  FsckRepairReport index;
};
bool repair_store(StoreRepair& out);

// One line per file removed and per damaged manifest, then the index repair's summary.
std::string store_repair_text(const StoreRepair& r);

}  // namespace reg
