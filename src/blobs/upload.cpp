// Chunked uploads: the upload-id generator, and start, append, finish, cancel and size.
//
// An open upload is the file uploads/<id>.part. While it is being finished it is
// uploads/<id>.finishing, a name that no other upload operation addresses; the garbage
// collector treats that name as an upload file too (removed once stale). Beside it, the hash
// state of its bytes so far (upload_hash.h) spares the finish a second read of the file.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "blobs/upload_hash.h"
#include "core/boundary.h"
#include "core/context.h"
#include "core/durability.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {
namespace {

constexpr int kCreateTries = 16;  // ids tried by one start before it gives up
constexpr int kCommitTries = 4;   // renames into a fan-out directory that keeps vanishing
constexpr std::string_view kFinishingSuffix = ".finishing";

// root/uploads/<id>.finishing: the upload while finish hashes and commits it.
bool upload_finishing_path(std::string_view id, Path& out) {
  std::string name(id);
  name += kFinishingSuffix;
  return store_path({"uploads", name}, out);
}

// Sixteen xorshift steps from `x`: the id's bytes, and the state that follows them.
std::uint32_t xorshift_bytes(std::uint32_t x, unsigned char (&bytes)[16]) {
  for (unsigned char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x & 0xFFu);
  }
  return x != 0 ? x : kSeedFallback;
}

// Writes the next id (36 characters and a NUL) and advances s_seed. All 128 bits come from
// the generator (no version bits); each byte gives its low nibble first, unlike bin_to_hex.
// The state advances by compare and swap, so threads starting uploads together never draw
// the same state.
void next_upload_id(char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char bytes[16];
  std::uint32_t cur = s_seed.load(std::memory_order_relaxed);
  while (
      !s_seed.compare_exchange_weak(cur, xorshift_bytes(cur, bytes), std::memory_order_relaxed)) {
  }
  int nibble = 0;
  for (std::size_t i = 0; i < kUuidLen; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      out[i] = '-';
      continue;
    }
    const unsigned char b = bytes[nibble / 2];
    out[i] = kDigits[nibble % 2 == 0 ? (b & 0x0Fu) : (b >> 4)];
    ++nibble;
  }
  out[kUuidLen] = '\0';
}

// The checks every operation on an existing upload makes after its null check.
bool check_upload_id(const char* id) {
  if (!require_ready()) return false;
  if (!uuid_valid(id)) {  // also rejects any length but 36
    set_error("invalid upload uuid");
    return false;
  }
  return true;
}

// The upload file's path; records "path too long" when it does not fit.
bool upload_part_path(const char* id, Path& part) {
  if (upload_path_for_uuid(id, part)) return true;
  set_error("path too long");
  return false;
}

// The upload id in an upload file's path (its name less ".part").
std::string_view part_id(const Path& part) {
  const std::string_view p(part);
  return p.substr(p.size() - kUuidLen - 5, kUuidLen);
}

// Outcome of one exclusive create: made, id taken (try the next one), or a hard failure.
enum class Create { made, taken, failed };

Create create_upload_file(const Path& part, const Path& finishing) {
  // An id whose upload is being finished is still in use: that upload may come back as .part.
  platform::FileAttr a;
  if (platform::get_attr(finishing.c_str(), &a) == 0) return Create::taken;
  std::unique_ptr<platform::File> f;
  const int e = platform::open_file(part.c_str(), platform::File::Mode::create_new, &f);
  if (e == platform::kErrExists) return Create::taken;
  if (e != 0) return Create::failed;
  f->close();                         // nothing was written, so a close failure loses nothing
  upload_hash_remove(part_id(part));  // a state left by an earlier upload of this id is void
  return Create::made;
}

int start_upload(char* out_upload_uuid) {
  if (!out_upload_uuid) {
    set_error("out_upload_uuid is NULL");
    return -1;
  }
  if (!require_ready()) return -1;
  // Exclusive creation: an id made twice (a re-seed within the same second, two threads
  // sharing the state) must never truncate an upload in progress.
  Path part, finishing;
  for (int i = 0; i < kCreateTries; ++i) {
    next_upload_id(out_upload_uuid);
    if (!upload_path_for_uuid(out_upload_uuid, part) ||
        !upload_finishing_path(out_upload_uuid, finishing)) {
      set_error("path too long");
      return -1;
    }
    const Create c = create_upload_file(part, finishing);
    if (c == Create::made) return 0;
    if (c == Create::failed) break;
  }
  set_error("cannot create upload file: %s", part.c_str());
  return -1;
}

int append_chunk(const char* upload_uuid, const void* data, std::size_t len) {
  if (!upload_uuid || !data) {
    set_error("upload_uuid/data is NULL");
    return -1;
  }
  Path part;
  if (!check_upload_id(upload_uuid) || !upload_part_path(upload_uuid, part)) return -1;
  // Append mode never creates: an upload that is not there, or that finish or cancel took away
  // meanwhile, fails here (a directory under its name as well).
  std::unique_ptr<platform::File> f;
  if (platform::open_file(part.c_str(), platform::File::Mode::append, &f) != 0) {
    if (!is_file(part.c_str()))
      set_error("upload not found: %s", upload_uuid);
    else
      set_error("write error appending chunk");
    return -1;
  }
  // The lock, held until close, makes a finish wait for this write. An open made just before
  // a finish set the file aside would otherwise write into the blob after its hash, so once
  // locked, look again: a file no longer under its open name takes no more bytes. It is
  // exclusive so that the hash state follows the appends of one upload one at a time.
  if (f->lock(true) != 0) {
    set_error("write error appending chunk");
    return -1;
  }
  platform::FileAttr before, after;
  if (platform::get_attr(part.c_str(), &before) != 0 || before.is_dir) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }
  std::size_t put = 0;
  const int we = f->write(data, len, &put);
  if (we == 0 && put == len && platform::get_attr(part.c_str(), &after) == 0)
    upload_hash_extend(upload_uuid, before, after, data, len);
  else
    upload_hash_remove(upload_uuid);
  const int ce = f->close();
  if (we != 0 || ce != 0 || put != len) {
    set_error("write error appending chunk");  // what was written stays, as with any short write
    return -1;
  }
  return 0;
}

// Waits until no append that opened the file before it was set aside is still writing (each
// holds a shared lock while it writes). Appends locking after this find no open upload file.
bool wait_for_appenders(const Path& finishing) {
  std::unique_ptr<platform::File> f;
  return platform::open_file(finishing.c_str(), platform::File::Mode::read, &f) == 0 &&
         f->lock(true) == 0;  // released at once: only the wait matters
}

// Paths one finish works with.
struct FinishPaths {
  Path part, finishing, blob, fanout;
};

bool finish_paths(const char* id, const char* digest, FinishPaths& p) {
  return upload_path_for_uuid(id, p.part) && upload_finishing_path(id, p.finishing) &&
         blob_path_for_digest(digest, p.blob) &&
         blob_fanout_dir(std::string_view(digest).substr(kDigestPrefix.size()), p.fanout);
}

// The upload under its private name. Unless the finish settles it (stored, dropped or
// discarded), it goes back under its open name on every other way out, exceptions included,
// so a failed finish leaves the upload as it was. Should even that rename fail, the collector
// removes the private file once it is stale.
class SetAside {
 public:
  explicit SetAside(const FinishPaths& p) : p_(p) {}
  ~SetAside() {
    if (!settled_) platform::rename_path(p_.finishing.c_str(), p_.part.c_str());
  }
  SetAside(const SetAside&) = delete;
  SetAside& operator=(const SetAside&) = delete;
  void settle() { settled_ = true; }

 private:
  const FinishPaths& p_;
  bool settled_ = false;
};

// True when a blob file of the upload's size is stored already. A stored file of another size
// is damaged (a crash, a full disk): the verified upload then replaces it.
bool stored_intact(const FinishPaths& p) {
  platform::FileAttr stored, upload;
  return platform::get_attr(p.blob.c_str(), &stored) == 0 && stored.is_file() &&
         platform::get_attr(p.finishing.c_str(), &upload) == 0 && stored.size == upload.size;
}

// Makes a committed blob durable: its data (again, when it was stored by an earlier commit
// that may have been cut short before its syncs) and its entry in the fan-out directory, and
// that directory's entry when the commit created it.
bool sync_committed(const FinishPaths& p, bool data, bool made_fanout) {
  DirSyncs syncs;
  syncs.note(p.fanout);
  if (made_fanout) syncs.note_parent_of(p.fanout);
  if ((data && durable_sync_file(p.blob.c_str()) != 0) || syncs.sync() != 0) {
    set_error("sync blob failed: %s", p.blob.c_str());
    return false;
  }
  return true;
}

// Moves the hashed private file to its blob path, or drops it when that blob is stored
// already with the same size (its bytes are not compared). Records the message on failure.
// A sync that fails after the rename reports failure with the blob stored: the upload is
// gone, and the client's next upload of the blob finds it stored and syncs it again.
// Both ways stamp the blob with the commit time: a collection spares blobs committed within
// its grace period, and the upload's own time may be long before its commit.
bool commit_blob(const FinishPaths& p, SetAside& aside) {
  if (stored_intact(p)) {
    platform::remove_file(p.finishing.c_str());  // a leftover is the collector's to remove
    platform::touch_file(p.blob.c_str());
    aside.settle();
    return sync_committed(p, true, false);
  }
  // The data is on the disk before the blob's name, so a power cut never leaves an empty or
  // torn file under a digest.
  if (durable_sync_file(p.finishing.c_str()) != 0) {
    set_error("sync blob failed: %s", p.blob.c_str());
    return false;
  }
  // A blob removal or a collection removes a fan-out directory once it is empty, possibly
  // between its creation here and the rename: a rename that finds no directory tries again.
  // The rename goes first: the fan-out directory is nearly always there, and asking first
  // would cost every commit a round trip on a shared file system.
  bool made_fanout = false;
  for (int attempt = 0; attempt < kCommitTries; ++attempt) {
    const int e = platform::rename_path(p.finishing.c_str(), p.blob.c_str());
    if (e == 0) {
      platform::touch_file(p.blob.c_str());
      aside.settle();
      return sync_committed(p, false, made_fanout);
    }
    if (e != platform::kErrNotFound || is_dir(p.fanout.c_str())) break;
    if (mkdirs(p.fanout.c_str()) != 0) {
      set_error("mkdirs blob dir failed");
      return false;
    }
    made_fanout = true;
  }
  set_error("rename to CAS failed: %s", p.blob.c_str());
  return false;
}

// "sha256:" and the hex of `bin`.
void format_digest(const unsigned char (&bin)[32], char (&out)[kDigestLen + 1]) {
  char hex[kHexLen + 1];
  bin_to_hex(bin, hex);
  std::snprintf(out, sizeof out, "sha256:%s", hex);
}

// The digest of the set-aside upload: from the state its appends carried when that covers
// the file exactly, else by reading the file. A state that disagrees with the claim is not
// trusted with the verdict: the file is read to confirm it.
bool upload_digest(const char* id, const FinishPaths& p, const char* expected,
                   char (&computed)[kDigestLen + 1]) {
  unsigned char bin[32];
  platform::FileAttr a;
  if (platform::get_attr(p.finishing.c_str(), &a) == 0 && upload_hash_digest(id, a, bin)) {
    format_digest(bin, computed);
    if (std::strcmp(computed, expected) == 0) return true;
  }
  if (sha256_file(p.finishing.c_str(), bin) != 0) return false;
  format_digest(bin, computed);
  return true;
}

// Hashes the set-aside upload and commits it when it matches. Records the message on failure.
bool hash_and_commit(const char* id, const FinishPaths& p, const char* expected_digest) {
  SetAside aside(p);
  char computed[kDigestLen + 1];
  if (!wait_for_appenders(p.finishing) || !upload_digest(id, p, expected_digest, computed)) {
    set_error("hashing upload failed");
    return false;
  }
  if (std::strcmp(computed, expected_digest) != 0) {
    set_error("digest mismatch: expected %s, got %s", expected_digest, computed);
    platform::remove_file(p.finishing.c_str());  // the upload is gone; a retry starts anew
    upload_hash_remove(id);
    aside.settle();
    return false;
  }
  if (!commit_blob(p, aside)) return false;
  upload_hash_remove(id);
  return true;
}

int finish_upload(const char* upload_uuid, const char* expected_digest, char* out_digest) {
  if (!expected_digest || !out_digest || !upload_uuid) {
    set_error("NULL argument");
    return -1;
  }
  if (!check_upload_id(upload_uuid)) return -1;
  if (!digest_valid(expected_digest)) {
    set_error("invalid expected digest");
    return -1;
  }
  FinishPaths p;
  if (!finish_paths(upload_uuid, expected_digest, p)) {
    set_error("path too long");
    return -1;
  }
  if (!is_file(p.part.c_str())) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }
  // Take the file out of the appenders' reach before hashing: a chunk either is written
  // before the hash starts or fails with "upload not found", never lands in a blob after its
  // hash was taken.
  if (platform::rename_path(p.part.c_str(), p.finishing.c_str()) != 0) {
    if (!is_file(p.part.c_str()))
      set_error("upload not found: %s", upload_uuid);
    else
      set_error("hashing upload failed");
    return -1;
  }
  if (!hash_and_commit(upload_uuid, p, expected_digest)) return -1;
  std::memcpy(out_digest, expected_digest, kDigestLen + 1);
  return 0;
}

int cancel_upload(const char* upload_uuid) {
  if (!upload_uuid) {
    set_error("upload_uuid is NULL");
    return -1;
  }
  Path part;
  if (!check_upload_id(upload_uuid) || !upload_part_path(upload_uuid, part)) return -1;
  if (!is_file(part.c_str())) return 0;  // never started or already finished: nothing to undo
  // A removal that fails because the file went meanwhile still leaves the upload gone.
  if (platform::remove_file(part.c_str()) != 0 && is_file(part.c_str())) {
    set_error("cancel failed");
    return -1;
  }
  upload_hash_remove(upload_uuid);
  return 0;
}

int upload_size(const char* upload_uuid, long long* out_bytes) {
  if (!upload_uuid || !out_bytes) {
    set_error("upload_uuid/out_bytes is NULL");
    return -1;
  }
  Path part;
  if (!check_upload_id(upload_uuid) || !upload_part_path(upload_uuid, part)) return -1;
  platform::FileAttr a;
  // A directory under the upload's name is no upload; its size would be the directory's.
  if (platform::get_attr(part.c_str(), &a) != 0 || !a.is_file()) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }
  *out_bytes = static_cast<long long>(a.size);
  return 0;
}

}  // namespace
}  // namespace reg

extern "C" {

int reg_blob_start_upload(char* out_upload_uuid) {
  return reg::guarded(-1, [&] { return reg::start_upload(out_upload_uuid); });
}

int reg_blob_append_chunk(const char* upload_uuid, const void* data, size_t len) {
  return reg::guarded(-1, [&] { return reg::append_chunk(upload_uuid, data, len); });
}

int reg_blob_finish_upload(const char* upload_uuid, const char* expected_digest, char* out_digest) {
  return reg::guarded(-1,
                      [&] { return reg::finish_upload(upload_uuid, expected_digest, out_digest); });
}

int reg_blob_cancel_upload(const char* upload_uuid) {
  return reg::guarded(-1, [&] { return reg::cancel_upload(upload_uuid); });
}

int reg_blob_upload_size(const char* upload_uuid, long long* out_bytes) {
  return reg::guarded(-1, [&] { return reg::upload_size(upload_uuid, out_bytes); });
}

}  // extern "C"
