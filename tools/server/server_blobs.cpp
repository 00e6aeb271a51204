// Blob HEAD/GET (with Range, streamed from the blob file) and DELETE.
#include <reg_storage.h>

#include "digest.h"
#include "header_numbers.h"
#include "manifests/blob_users.h"
#include "platform/platform.h"
#include "server_context.h"
#include "server_errors.h"

#include <sys/stat.h>

#include <memory>

namespace tool {
namespace {

struct ByteRange {
  long long start = 0, length = 0;
};

// One "bytes=a-b", "bytes=a-" or "bytes=-n" range of a `size`-byte body. Returns 1 for a
// satisfiable range, 0 when the header should be ignored (absent, malformed, several
// ranges), -1 when it cannot be satisfied.
int parse_byte_range(const std::string& header, long long size, ByteRange& out) {
  if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos) return 0;
  std::string range = header.substr(6);
  size_t dash = range.find('-');
  if (dash == std::string::npos) return 0;
  std::string a = range.substr(0, dash), b = range.substr(dash + 1);
  long long first = 0, last = 0;
  if ((!a.empty() && !parse_decimal(a, first)) || (!b.empty() && !parse_decimal(b, last)) ||
      (a.empty() && b.empty()))
    return 0;
  if (a.empty()) {  // the last n bytes
    long long n = last;
    if (n == 0 || size == 0) return -1;
    first = n >= size ? 0 : size - n;
    last = size - 1;
  } else {
    if (b.empty()) last = size - 1;
    if (!b.empty() && last < first) return -1;  // an invalid range is answered as unsatisfiable
    if (first >= size) return -1;
    if (last >= size) last = size - 1;
  }
  out.start = first;
  out.length = last - first + 1;
  return 1;
}

// Looks the blob up and opens its file. An unlinked file stays readable once open, so a
// collection that removes it mid-stream does no harm.
std::shared_ptr<FileBody> open_blob(const std::string& digest, std::string& error) {
  char path[4096];
  if (reg_blob_get_filepath(digest.c_str(), path, sizeof path) != 0) {
    error = reg_storage_last_error();
    return nullptr;
  }
  auto blob = std::make_shared<FileBody>();
  // Opened through the library's platform layer, which opens only a regular file below the
  // root: a link out of the store or a FIFO in it is no blob.
  std::unique_ptr<reg::platform::File> file;
  if (int e = reg::platform::open_file(path, reg::platform::File::Mode::read, &file)) {
    // Only what is not there is "not found": a blob file that cannot be opened is a failure.
    error = (reg::platform::is_absent(e) ? "blob not found: " : "cannot read blob: ") + digest;
    return nullptr;
  }
  blob->fd = file->release_native_handle();
  return blob;
}

void get_blob(ServerContext& /*ctx*/, const std::string& digest, const HttpRequest& req,
              HttpResponse& res) {
  std::string error;
  std::shared_ptr<FileBody> blob = open_blob(digest, error);
  if (!blob) return send_library_error(res, error);
  struct stat st;
  if (fstat(blob->fd, &st) != 0) return send_error(res, 500, "UNKNOWN", "cannot read blob");
  long long size = st.st_size;
  res.set_header("Docker-Content-Digest", digest);
  res.set_header("Accept-Ranges", "bytes");
  res.set_header("ETag", "\"" + digest + "\"");
  ByteRange range{0, size};
  int has_range = parse_byte_range(req.get_header_value("Range"), size, range);
  if (has_range < 0) {
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    return send_error(res, 416, "BLOB_UNKNOWN", "requested range not satisfiable");
  }
  res.status = has_range ? 206 : 200;
  if (has_range)
    res.set_header("Content-Range", "bytes " + std::to_string(range.start) + "-" +
                                        std::to_string(range.start + range.length - 1) + "/" +
                                        std::to_string(size));
  if (req.method == "HEAD") {
    res.set_header("Content-Length", std::to_string(range.length));
    res.set_header("Content-Type", "application/octet-stream");
    return;
  }
  if (range.length == 0) return res.set_content("", "application/octet-stream");
  blob->offset = range.start;
  blob->length = range.length;
  res.send_file(std::move(blob), "application/octet-stream");
}

// A blob goes only when no stored manifest names it: it is shared by every repository, and
// removing it through one would break the images of all. The store lock is held as by a
// collection, so that no push can name the blob between the check and the removal.
void delete_blob(ServerContext& ctx, const std::string& name, const std::string& digest,
                 HttpResponse& res) {
  if (reg_blob_exists(digest.c_str()) == 0)  // nothing to look for: answered without the walk
    return send_error(res, 404, "BLOB_UNKNOWN", "blob not found: " + digest);
  StoreLock lock;
  std::string error;
  if (!lock.acquire_exclusive(ctx.root, error)) {
    res.log_note = error;
    return send_error(res, 500, "UNKNOWN", error);
  }
  const reg::BlobUser user = reg::find_blob_user(digest);
  switch (user.use) {
    case reg::BlobUse::used: {
      // Another repository's manifest is not named to this caller.
      const bool own = user.where.rfind(name + "@", 0) == 0;
      return send_error(res, 405, "UNSUPPORTED",
                        "blob " + digest + " is in use by " +
                            (own ? "manifest " + user.where : std::string("a stored manifest")) +
                            ": delete the manifests that name it; the collector then frees it");
    }
    case reg::BlobUse::unknown:
      res.log_note = "cannot read " + (user.where.empty() ? "the repository list" : user.where);
      return send_error(
          res, 500, "UNKNOWN",
          "cannot tell whether blob " + digest + " is in use: the store cannot be read");
    case reg::BlobUse::unused:
      break;
  }
  if (reg_blob_delete(digest.c_str()) != 0)
    return send_library_error(res, reg_storage_last_error());
  res.status = 202;
}

}  // namespace

void handle_blob(ServerContext& ctx, const std::string& name, const std::string& digest,
                 const HttpRequest& req, HttpResponse& res) {
  if (!is_sha256_digest(digest)) return send_error(res, 400, "DIGEST_INVALID", "invalid digest");
  {
    // With a policy a blob is found only through a repository that may see it.
    if (!blob_visible_through(ctx, name, digest))
      return send_error(res, 404, "BLOB_UNKNOWN", "blob unknown to registry");
  }
  if (req.method != "DELETE") return get_blob(ctx, digest, req, res);
  delete_blob(ctx, name, digest, res);
}

}  // namespace tool
