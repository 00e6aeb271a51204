// Stored blobs: existence, size, file path and removal, addressed by digest only.
#include <cstring>

#include "core/boundary.h"
#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {
namespace {

// The common checks of the lookups; records the message and returns false on failure.
bool check_digest(const char* digest, const char* null_message) {
  if (!digest) {
    set_error("%s", null_message);
    return false;
  }
  if (!require_ready()) return false;
  if (!digest_valid(digest)) {
    set_error("invalid digest");
    return false;
  }
  return true;
}

constexpr const char* kEmptyBlob =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A blob file that is there and can be served: a regular file, and not an empty one unless
// the digest is the empty blob's (an empty file under another name is what a crash leaves;
// answering it would make clients skip the upload that repairs it). A query that failed is
// `unreadable`, recorded as "cannot read blob: %s": never passed off as a missing blob.
Presence blob_file_present(const char* digest, const Path& p, platform::FileAttr* out = nullptr) {
  platform::FileAttr a;
  const Presence got = file_presence(p.c_str(), &a);
  if (got == Presence::unreadable) set_error("cannot read blob: %s", digest);
  if (got != Presence::file) return got;
  if (a.size == 0 && std::strcmp(digest, kEmptyBlob) != 0) return Presence::absent;
  if (out) *out = a;
  return Presence::file;
}

int blob_exists(const char* digest) {
  if (!check_digest(digest, "digest is NULL")) return -1;
  Path p;
  if (!blob_path_for_digest(digest, p)) {
    set_error("path too long");
    return -1;
  }
  switch (blob_file_present(digest, p)) {
    case Presence::file:
      return 1;
    case Presence::absent:
      return 0;
    case Presence::unreadable:
      break;
  }
  return -1;
}

long long blob_get_size(const char* digest) {
  if (!check_digest(digest, "digest is NULL")) return -1;
  Path p;
  if (!blob_path_for_digest(digest, p)) {
    set_error("path too long");
    return -1;
  }
  platform::FileAttr a;
  // A missing blob records no message; a directory at the path is no blob either.
  if (blob_file_present(digest, p, &a) != Presence::file) return -1;
  return static_cast<long long>(a.size);
}

int blob_get_filepath(const char* digest, char* out_path, std::size_t out_size) {
  if (!out_path || out_size == 0 || !digest) {
    set_error("NULL argument");
    return -1;
  }
  if (!check_digest(digest, "NULL argument")) return -1;
  Path p;
  if (!blob_path_for_digest(digest, p)) {
    set_error("path too long");
    return -1;
  }
  switch (blob_file_present(digest, p)) {
    case Presence::file:
      break;
    case Presence::absent:
      set_error("blob not found: %s", digest);
      return -1;
    case Presence::unreadable:
      return -1;
  }
  if (p.size() >= out_size) {
    set_error("path buffer too small");
    return -1;
  }
  std::memcpy(out_path, p.c_str(), p.size() + 1);
  return 0;
}

int blob_delete(const char* digest) {
  if (!check_digest(digest, "digest is NULL")) return -1;
  Path p, fanout;
  if (!blob_path_for_digest(digest, p) || !blob_fanout_dir(digest + 7, fanout)) {
    set_error("path too long");
    return -1;
  }
  switch (file_presence(p.c_str())) {
    case Presence::file:
      break;
    case Presence::absent:
      set_error("blob not found: %s", digest);
      return -1;
    case Presence::unreadable:
      set_error("cannot read blob: %s", digest);
      return -1;
  }
  // Gone between the two queries: someone else removed it, which is the outcome asked for.
  if (is_file(p.c_str()) && platform::remove_file(p.c_str()) != 0) {
    set_error("remove failed");
    return -1;
  }
  // A removal reported done stays done after a power cut.
  DirSyncs syncs;
  syncs.note(fanout);
  // Only succeeds once the fan-out directory is empty.
  if (platform::remove_dir(fanout.c_str()) == 0) syncs.note_parent_of(fanout);
  if (syncs.sync() != 0) {
    set_error("sync deletion failed");
    return -1;
  }
  return 0;
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_blob_exists(const char* digest) {
  return reg::guarded(-1, [&] { return reg::blob_exists(digest); });
}

long long reg_blob_get_size(const char* digest) {
  return reg::guarded(-1LL, [&] { return reg::blob_get_size(digest); });
}

int reg_blob_get_filepath(const char* digest, char* out_path, size_t out_size) {
  return reg::guarded(-1, [&] { return reg::blob_get_filepath(digest, out_path, out_size); });
}

int reg_blob_delete(const char* digest) {
  return reg::guarded(-1, [&] { return reg::blob_delete(digest); });
}

}  // extern "C"
