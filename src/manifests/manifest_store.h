// Reading the manifest store: references, tag links and their resolution to a manifest.
// Shared by retrieval, deletion and upload.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/context.h"

namespace reg {

// The longest body the result buffer returns whole (its capacity less the NUL). Upload
// refuses longer bodies, so a stored manifest is never handed back cut.
inline constexpr std::size_t kMaxManifestBody = kResultCap - 1;

// A reference beginning with "sha256:" names a manifest by digest; anything else is a tag.
bool is_digest_reference(const char* reference);

// Reads the link of (repo, tag) into buf (at most cap-1 bytes and a NUL). false when its path
// would not fit or the file cannot be read; records nothing.
bool read_tag_link(std::string_view repo, std::string_view tag, char* buf, std::size_t cap,
                   std::size_t* len);

// Whether the link of (repo, tag) names the manifest `hex`: it reads, begins with "sha256:"
// and the next 64 characters are `hex` (characters after those 71 are not looked at).
// `unknown` when the link exists but cannot be read, so that no caller mistakes a read
// failure for "names something else"; a missing link (or a directory there) is `other`.
enum class TagLink { names, other, unknown };
TagLink tag_link_names(std::string_view repo, std::string_view tag, std::string_view hex);

// Turns a tag or digest reference into the 64 hex digits of a stored manifest (hex_out: 65
// bytes). 0, or -1 with the message recorded. Validates neither the repository name nor the
// tag syntax, and does not test initialisation: its callers do that first.
int manifest_resolve(const char* repo, const char* reference, char* hex_out);

}  // namespace reg
