#include "maintenance/fsck_repair.h"

#include <vector>

#include "core/context.h"
#include "listings/discovery.h"
#include "manifests/blob_records.h"
#include "manifests/subject_index.h"

namespace reg {

bool fsck_repair(FsckRepairReport& out) {
  out = FsckRepairReport{};
  if (!require_ready()) return false;
  std::vector<std::string> repos;
  out.complete = discover_all_repos(repos);
  for (const auto& repo : repos) {
    const SubjectRepair r = subject_index_rebuild(repo);
    ++out.repositories;
    out.subject_entries_written += r.written;
    out.subject_entries_removed += r.removed;
    out.complete = out.complete && r.complete;
    out.blob_records_written += blob_records_rebuild(repo, out.complete);
  }
  return true;
}

std::string fsck_repair_text(const FsckRepairReport& r) {
  return "repair: " + std::to_string(r.repositories) + " repositories, " +
         std::to_string(r.subject_entries_written) + " subject index entries written, " +
         std::to_string(r.subject_entries_removed) + " removed, " +
         std::to_string(r.blob_records_written) + " blob records written" +
         (r.complete ? "" : " (incomplete: some entries could not be read or written)") + "\n";
}

}  // namespace reg
