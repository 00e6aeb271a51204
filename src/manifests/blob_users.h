// Whether any stored manifest names a blob: asked before a blob is deleted on a client's
// request, so that a deletion through one repository cannot break an image of another.
// An internal interface beside the exported functions; reg_blob_delete itself still removes
// what it is given.
#pragma once

#include <string>
#include <string_view>

namespace reg {

enum class BlobUse {
  unused,   // no stored manifest names it
  used,     // `where` names the first manifest found that does
  unknown,  // `where` names what could not be read: nothing is decided on a partial look
};

struct BlobUser {
  BlobUse use = BlobUse::unused;
  std::string where;  // "repo@sha256:<hex>", or a repository, or "" for the repository list
};

// Looks at every manifest of every repository (the config, the layers and the index entries,
// under every occurrence of their keys, as the collector marks them). Repositories that record
// the blob are looked at first, as they are where a user is likely found.
BlobUser find_blob_user(std::string_view digest);

}  // namespace reg
