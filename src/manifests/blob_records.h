// The blob record of a repository: one empty file
//     repositories/<repo>/_manifests/blobs/<blob hex>
// for every blob a manifest of the repository names (config and layers) or that was uploaded
// through it. With an access policy the server reads blobs only through repositories that
// record them, so a blob pushed to one repository cannot be read or mounted through another;
// the check is one attribute query, whatever the size of the store.
//
// The manifest upload records what it names before it writes the body, the server what it
// receives; a record is never removed while its repository exists (a blob the repository once
// held stays readable through it) except by the collector, for the blobs it deleted (a record
// left behind would let the same blob, pushed again elsewhere, be read through the repository);
// blob_records_rebuild adds what the manifests name.
// An internal interface beside the exported functions, whose meaning it does not change.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace reg {

inline constexpr std::string_view kBlobRecordsDirName = "blobs";

// Config and layer digests of an image manifest body ("sha256:<hex>", each valid); none for
// an index or a body that does not parse.
std::vector<std::string> blobs_named_by(std::string_view body);

// Records `digests` for `repo` (those recorded already are left alone). 0, or -1.
int blob_records_add(std::string_view repo, const std::vector<std::string>& digests);
// Whether `repo` records the blob `digest`.
bool blob_recorded(std::string_view repo, std::string_view digest);

// Removes the records of the blobs `hexes` (64 hex digits each, sorted) from every repository.
// Returns the number removed; a record that cannot be removed stays.
int blob_records_prune(const std::vector<std::string>& hexes);

// Adds the record of every blob a manifest of `repo` names. Returns the number added; sets
// `complete` to false when a body could not be read or a record not written.
int blob_records_rebuild(std::string_view repo, bool& complete);

}  // namespace reg
