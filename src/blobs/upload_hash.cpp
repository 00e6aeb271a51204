#include "blobs/upload_hash.h"

#include <cstdint>
#include <cstring>

#include "core/fileutil.h"
#include "core/sha256.h"

namespace reg {
namespace {

// The state file: magic, then the covered size and last-write time of the upload, the eight
// state words, and the partial block (its length is size % 64). Integers little-endian.
constexpr char kMagic[8] = {'T', 'W', 'S', 'H', 'A', '2', '5', '1'};
constexpr std::size_t kStateLen = 8 + 8 + 8 + 8 * 4 + 64;

struct HashState {
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  sha256_ctx ctx{};
};

void put_u64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t get_u64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void encode(const HashState& s, unsigned char (&out)[kStateLen]) {
  std::memset(out, 0, sizeof out);
  std::memcpy(out, kMagic, sizeof kMagic);
  put_u64(out + 8, s.size);
  put_u64(out + 16, static_cast<std::uint64_t>(s.mtime));
  for (int k = 0; k < 8; ++k) {
    const std::uint32_t w = s.ctx.state[k];
    for (int i = 0; i < 4; ++i) out[24 + 4 * k + i] = static_cast<unsigned char>(w >> (8 * i));
  }
  std::memcpy(out + 56, s.ctx.buf, s.ctx.buflen);
}

bool decode(const unsigned char* in, std::size_t len, HashState& s) {
  if (len != kStateLen || std::memcmp(in, kMagic, sizeof kMagic) != 0) return false;
  s.size = get_u64(in + 8);
  s.mtime = static_cast<std::int64_t>(get_u64(in + 16));
  for (int k = 0; k < 8; ++k) {
    std::uint32_t w = 0;
    for (int i = 3; i >= 0; --i) w = (w << 8) | in[24 + 4 * k + i];
    s.ctx.state[k] = w;
  }
  if (s.size > (UINT64_MAX >> 3)) return false;
  s.ctx.bitlen = s.size * 8;
  s.ctx.buflen = s.size % 64;
  std::memcpy(s.ctx.buf, in + 56, s.ctx.buflen);
  return true;
}

bool load(std::string_view id, HashState& s) {
  Path p;
  unsigned char buf[kStateLen + 1];
  std::size_t n = 0;
  // Most finishes of small uploads and every one after a restart of the state have none: a
  // query answers that without opening anything.
  return upload_hash_path(id, p) && is_file(p.c_str()) &&
         read_file(p.c_str(), reinterpret_cast<char*>(buf), sizeof buf, &n) == 0 &&
         decode(buf, n, s);
}

// The state covers exactly the file with attributes `a`.
bool covers(const HashState& s, const platform::FileAttr& a) {
  return !a.is_dir && s.size == a.size && s.mtime == a.mtime;
}

bool store(std::string_view id, const HashState& s) {
  Path p, dir;
  if (!upload_hash_path(id, p) || !store_path({"uploads", kUploadHashDir}, dir)) return false;
  unsigned char buf[kStateLen];
  encode(s, buf);
  // A lost state only costs a finish its shortcut: no sync is needed, and the directory is
  // made on the first failure only.
  if (write_file(p.c_str(), buf, sizeof buf) == 0) return true;
  return mkdirs(dir.c_str()) == 0 && write_file(p.c_str(), buf, sizeof buf) == 0;
}

}  // namespace

bool upload_hash_path(std::string_view id, Path& out) {
  return store_path({"uploads", kUploadHashDir, id}, out);
}

void upload_hash_extend(std::string_view id, const platform::FileAttr& before,
                        const platform::FileAttr& after, const void* data, std::size_t len) {
  HashState s;
  bool valid = false;
  if (before.size == 0) {
    sha256_init(&s.ctx);
    valid = true;
  } else {
    valid = load(id, s) && covers(s, before);
  }
  valid = valid && after.size == before.size + len;
  if (valid) {
    sha256_update(&s.ctx, data, len);
    s.size = after.size;
    s.mtime = after.mtime;
    if (store(id, s)) return;
  }
  upload_hash_remove(id);
}

bool upload_hash_digest(std::string_view id, const platform::FileAttr& file,
                        unsigned char out[32]) {
  HashState s;
  if (!load(id, s) || !covers(s, file)) return false;
  sha256_final(&s.ctx, out);
  return true;
}

void upload_hash_remove(std::string_view id) {
  Path p, dir;
  if (!upload_hash_path(id, p) || platform::remove_file(p.c_str()) != 0) return;
  // The directory goes with its last state (only an empty one can be removed), so a store
  // without open uploads looks as it always did; the next append makes it again.
  if (store_path({"uploads", kUploadHashDir}, dir)) platform::remove_dir(dir.c_str());
}

}  // namespace reg
