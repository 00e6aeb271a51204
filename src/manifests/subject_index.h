// The subject index of a repository: for every stored manifest whose `subject` names another
// manifest, one file
//     repositories/<repo>/_manifests/subjects/<subject hex>/<referrer hex>
// holding the referrer's descriptor as the referrers API lists it (media type, digest, size,
// artifact type, annotations). A referrers request lists one directory, so its cost follows
// the number of referrers of that subject, not the number of manifests.
//
// The manifest upload writes the entry before the body (a push cut short leaves at most an
// entry without body, which every reader passes over), deletion removes it after the body,
// and subject_index_rebuild makes the index again from the bodies. Entries are written whole
// (write_file), never edited in place.
//
// An internal interface: the exported functions keep their meaning; the server, the checker
// and the operator tool call these directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/durability.h"

namespace reg {

inline constexpr std::string_view kSubjectsDirName = "subjects";

// A manifest's place in the index: the subject it names and its descriptor text.
struct SubjectRef {
  std::string subject_hex;  // 64 lowercase hex digits
  std::string descriptor;   // one JSON object
};

// The subject of a manifest body: a top-level "subject" object whose "digest" is a valid
// digest. `media_type` is the manifest's stored content type (used when the body names none).
// False when the body names no valid subject.
bool subject_ref_of(std::string_view body, std::string_view hex, std::string_view media_type,
                    SubjectRef& out);
// Only the subject's digest, "sha256:<hex>", or "" when there is none.
std::string subject_digest_of(std::string_view body);

// Path checks for the upload, so it can refuse before writing anything.
bool subject_entry_fits(std::string_view repo, std::string_view subject_hex, std::string_view hex);

// Writes the entry of manifest `hex`, its data synced; the directories to sync for its name
// are noted in `syncs`. 0, or -1 (nothing recorded).
int subject_index_add(std::string_view repo, std::string_view hex, const SubjectRef& ref,
                      DirSyncs& syncs);
// Removes the entry of manifest `hex`, whose body was `body`, and the subject's directory once
// it is empty. Failures are not reported: readers pass over entries without a body.
void subject_index_remove(std::string_view repo, std::string_view hex, std::string_view body);

// Descriptors of the referrers of `subject_hex` in `repo` whose body is stored, ascending by
// digest. False when the subject's directory exists but cannot be listed.
bool subject_index_list(std::string_view repo, std::string_view subject_hex,
                        std::vector<std::string>& out);

// The entries of a repository's index, as found on disk.
struct SubjectEntry {
  std::string subject_hex;
  std::string hex;
};
// False when the index exists but some part of it cannot be listed.
bool subject_index_entries(std::string_view repo, std::vector<SubjectEntry>& out);

// Makes the index of `repo` agree with its bodies: writes every missing or outdated entry and
// removes every entry whose body is gone or names another subject.
struct SubjectRepair {
  int written = 0;
  int removed = 0;
  bool complete = true;  // false when something could not be read, written or removed
};
SubjectRepair subject_index_rebuild(std::string_view repo);

// Removes the entries whose body is gone and that are at least `min_age` seconds old (a push
// writes its entry just before its body). Returns the number removed.
int subject_index_prune(std::string_view repo, std::int64_t now, std::int64_t min_age);

}  // namespace reg
