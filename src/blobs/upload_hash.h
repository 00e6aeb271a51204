// The SHA-256 state of an upload, carried along its appends so that a finish need not read
// the upload again. Kept in uploads/_hash/<id>, replaced whole on every append, and trusted
// only while it covers the upload file exactly as it is (its size and last-write time); a
// missing or stale state only means the finish hashes the file itself.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/paths.h"
#include "platform/platform.h"

namespace reg {

// The directory below uploads that holds the states; never an upload file's name.
inline constexpr std::string_view kUploadHashDir = "_hash";

// root/uploads/_hash/<id>.
bool upload_hash_path(std::string_view id, Path& out);

// Called by an append that holds the upload's exclusive lock: `before` are the upload file's
// attributes before `data` was written, `after` those once it was. Extends the stored state by
// the chunk when it covered exactly `before` (or `before` is the empty upload) and the file
// grew by exactly the chunk; otherwise removes the state. Records nothing.
void upload_hash_extend(std::string_view id, const platform::FileAttr& before,
                        const platform::FileAttr& after, const void* data, std::size_t len);

// The digest of an upload file with attributes `file` from its stored state; false when there
// is none that covers the file exactly.
bool upload_hash_digest(std::string_view id, const platform::FileAttr& file, unsigned char out[32]);

// Removes the state of `id`, if any, and the directory when it was the last.
void upload_hash_remove(std::string_view id);

}  // namespace reg
