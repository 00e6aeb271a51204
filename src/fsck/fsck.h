// The store checker: walks the whole store through the file utilities and the platform layer,
// changes nothing, and reports every entry that is damaged or does not belong.
//
// Severity. A "corrupt" finding is a state that no writer leaves, even when it is cut short:
// a blob or manifest body whose bytes do not hash to its name, a link that is torn or holds
// anything but one digest, a tag link naming a manifest the repository does not store, a
// stored manifest naming a blob or child manifest that is not stored. A "warning" is a state
// that an interrupted or concurrent operation leaves by design and that every reader
// tolerates: leftover temporary files and "<id>.finishing" files, stale uploads, a body
// without content-type file (served with the default media type) or without revision link
// (still resolves by digest), a revision link without body (what a deletion cut short after
// removing the body leaves; resolution then reports the body missing), unknown entries.
// A store is sound when no finding is corrupt; warnings do not make it unsound.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reg {

enum class FsckSeverity { warning, corrupt };

enum class FsckKind {
  // corrupt
  blob_digest_mismatch,      // a blob's bytes hash to another digest
  blob_unreadable,           // a blob file that cannot be read
  manifest_digest_mismatch,  // a manifest body's bytes hash to another digest
  manifest_unreadable,       // a manifest body that cannot be read
  invalid_tag_link,          // a tag link that is not exactly one digest (71 bytes)
  invalid_revision_link,     // a revision link that is not exactly the digest of its directory
  unreadable_link,           // a tag or revision link that cannot be read
  dangling_tag_link,         // a tag link naming a manifest the repository does not store
  missing_blob,              // a config or layer blob named by a stored manifest is not stored
  missing_child_manifest,    // an index child is stored in no repository
  missing_subject_entry,     // a manifest naming a subject that the subject index lacks
  misfiled_subject_entry,    // a subject index entry under a subject its manifest does not name
  missing_store_directory,   // blobs/sha256, repositories or uploads missing
  unreadable_directory,      // a directory of the store that cannot be listed (not checked)
  special_entry,             // a symbolic link, FIFO, device or socket (no writer makes one)
  // warnings
  dangling_revision_link,  // a revision link without manifest body
  dangling_subject_entry,  // a subject index entry without manifest body
  missing_revision_link,   // a manifest body without revision link
  missing_content_type,    // a manifest body without content-type file
  empty_content_type,      // an empty content-type file
  orphan_content_type,     // a content-type file without manifest body
  missing_blob_record,     // a blob a manifest names that its repository's blob record lacks
  unparsable_manifest,     // a body that hashes to its name but is no JSON object
  misplaced_blob,          // a blob file in another fan-out directory than its name's
  stale_upload,            // an upload idle for 900 s or more
  leftover_finishing,      // "<id>.finishing": a finish in progress or cut short
  leftover_temp,           // a temporary file of an atomic write that did not complete
  invalid_gc_snapshot,     // _gc/progress.json that is no JSON object
  missing_config,          // config.json missing
  path_too_long,           // an entry whose path does not fit; not checked
  unknown_entry,           // anything else that does not belong
};

const char* fsck_kind_name(FsckKind kind);
FsckSeverity fsck_kind_severity(FsckKind kind);

struct FsckFinding {
  FsckKind kind;
  std::string path;    // relative to the storage root, components joined with '/'
  std::string detail;  // one line of English
};

struct FsckCounts {
  std::int64_t blobs = 0;
  std::int64_t blob_bytes = 0;
  std::int64_t repositories = 0;
  std::int64_t manifests = 0;
  std::int64_t tags = 0;
  std::int64_t uploads = 0;  // uploads in progress (stale ones are findings)
  // Manifests no tag names and no kept index or referrer needs: `gc --delete-untagged` takes
  // them; -1 when they could not be counted.
  std::int64_t untagged_manifests = 0;
};

struct FsckReport {
  std::vector<FsckFinding> findings;
  FsckCounts counts;
  int corrupt() const;
  int warnings() const;
  bool sound() const { return corrupt() == 0; }
};

// Opens `root` for checking without creating anything: reg_storage_init would create missing
// directories and config.json, and the checker must leave the store as it found it. False,
// with the message recorded, when `root` is empty, too long or not a directory.
bool fsck_attach(const char* root);

// Checks the store at the current root. False, with the message recorded, only when the
// library is not initialised; every problem of the store itself is a finding.
bool fsck_store(FsckReport& out);

// The report for people (one line per finding, then a summary) and as one JSON object.
std::string fsck_text(const FsckReport& report, std::string_view root);
std::string fsck_json(const FsckReport& report, std::string_view root);

}  // namespace reg
