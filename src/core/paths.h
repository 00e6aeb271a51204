// On-disk layout: the path builders (the only code that joins paths under the root) and the
// validators of the names that reach the file system from callers.
//
// Every builder returns false, leaving `out` unspecified, when the path would exceed
// kMaxPathLen characters: a path is never silently cut.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace reg {

inline constexpr std::size_t kMaxPathLen = 4095;
inline constexpr std::size_t kMaxRepoLen = 255;
inline constexpr std::size_t kMaxTagLen = 255;  // a tag is one directory name
// A tag or revision link holds one digest (71 bytes). Every reader of a link takes up to 127
// bytes, so that a longer link shows as longer instead of being read as the digest it begins
// with.
inline constexpr std::size_t kLinkReadCap = 128;
inline constexpr std::size_t kDigestLen = 71;  // "sha256:" + 64 hex
inline constexpr std::size_t kHexLen = 64;
inline constexpr std::size_t kUuidLen = 36;
inline constexpr std::string_view kDigestPrefix = "sha256:";
inline constexpr std::string_view kDefaultMediaType =
    "application/vnd.docker.distribution.manifest.v2+json";

using Path = std::string;

// The directory below uploads where a server keeps its upload sessions (which repository and
// user each upload belongs to); the library only leaves it alone.
inline constexpr std::string_view kUploadSessionDir = "_session";

// root/part1/part2/...
[[nodiscard]] bool store_path(std::initializer_list<std::string_view> parts, Path& out);
// dir/name, for entries met while walking a directory.
[[nodiscard]] bool child_path(std::string_view dir, std::string_view name, Path& out);

[[nodiscard]] bool blob_path_for_digest(std::string_view digest,
                                        Path& out);                   // root/blobs/sha256/hh/hex
[[nodiscard]] bool blob_fanout_dir(std::string_view hex, Path& out);  // root/blobs/sha256/hh
[[nodiscard]] bool upload_path_for_uuid(std::string_view id, Path& out);  // root/uploads/id.part
[[nodiscard]] bool repo_dir(std::string_view repo, Path& out);            // root/repositories/repo
[[nodiscard]] bool manifests_dir(std::string_view repo, Path& out);       // .../repo/_manifests
[[nodiscard]] bool manifest_body_path(std::string_view repo, std::string_view name, Path& out);
[[nodiscard]] bool manifest_ct_path(std::string_view repo, std::string_view hex,
                                    Path& out);  // body + ".ct"
[[nodiscard]] bool manifest_rev_dir(std::string_view repo, std::string_view hex, Path& out);
[[nodiscard]] bool manifest_rev_path(std::string_view repo, std::string_view hex, Path& out);
[[nodiscard]] bool manifest_tags_dir(std::string_view repo, Path& out);
[[nodiscard]] bool manifest_tag_dir(std::string_view repo, std::string_view tag,
                                    Path& out);  // tags/tag
[[nodiscard]] bool manifest_tag_current_dir(std::string_view repo, std::string_view tag, Path& out);
[[nodiscard]] bool manifest_tag_path(std::string_view repo, std::string_view tag,
                                     Path& out);  // .../current/link

// Validators: 1 (accepted) or 0; null is always rejected; none records a message.
int digest_valid(const char* s);
int hex64_valid(const char* s);
int digest_hex_eq(const char* digest, const char* hex);
// Characters, length and "..", plus: at least one non-empty component, no component "." and
// no component "_manifests" (either would address the repositories directory itself or
// another repository's internals).
int repo_name_valid(const char* name);
// The character, length and ".." rules alone: a name that passes them but not repo_name_valid
// addresses the repositories directory itself or another repository's internals.
int repo_name_chars_valid(const char* name);
int uuid_valid(const char* s);
// A tag is used as one directory name: not empty, no '/' or '\\', not "." or "..".
int tag_name_valid(const char* tag);
// Number of non-empty components of a repository name.
int repo_component_count(std::string_view name);

// 32 raw digest bytes as 64 lowercase hex characters and a NUL (out: 65 bytes).
void bin_to_hex(const unsigned char* bin, char* out);

}  // namespace reg
