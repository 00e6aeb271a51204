// Repairs what the store keeps besides the manifests themselves and can make again from them:
// the subject index and the blob record of every repository. The manifests, links and blobs
// are never touched.
#pragma once

#include <string>

namespace reg {

struct FsckRepairReport {
  int repositories = 0;
  int subject_entries_written = 0;
  int subject_entries_removed = 0;
  int blob_records_written = 0;
  bool complete = true;  // false when some repository could not be listed, read or written
};

// Runs over the store at the current root. False, with the message recorded, only when the
// library is not initialised. The caller keeps writers out meanwhile (the store lock).
bool fsck_repair(FsckRepairReport& out);

std::string fsck_repair_text(const FsckRepairReport& r);

}  // namespace reg
