// Blob uploads: POST (session, monolithic ?digest=, cross-repository ?mount=&from=), PATCH
// (streamed into the upload, Content-Range checked), PUT ?digest=, GET status, DELETE.
#include <reg_storage.h>

#include "digest.h"
#include "header_numbers.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_routes.h"
#include "store_lock.h"

#include "core/paths.h"
#include "platform/platform.h"

#include <climits>
#include <string_view>

namespace tool {
namespace {

constexpr size_t kAppendPiece = 1 << 20;  // bytes gathered before one library append

std::string upload_location(const std::string& name, const std::string& uuid) {
  return "/v2/" + name + "/blobs/uploads/" + uuid;
}

// "0-<last byte>", as the API reports how much an upload holds ("0-0" when empty).
std::string range_header(long long size) { return "0-" + std::to_string(size > 0 ? size - 1 : 0); }

bool upload_size(ServerContext& /*ctx*/, const std::string& uuid, long long& size,
                 std::string& error) {
  if (reg_blob_upload_size(uuid.c_str(), &size) == 0) return true;
  error = reg_storage_last_error();
  return false;
}

// Removes the upload's file and ends its session (none for a one-shot upload).
void cancel_upload(ServerContext& ctx, const std::string& uuid, SessionHold* session) {
  reg_blob_cancel_upload(uuid.c_str());
  if (session) ctx.uploads.close(*session);
}

void send_too_many_uploads(HttpResponse& res) {
  send_error(res, 429, "TOOMANYREQUESTS", "too many open uploads");
  res.set_header("Retry-After", "60");
}

// Streams the request body into the upload; the library is called once per piece, so memory
// stays flat whatever the blob's size. `library_failed` tells a failed append from a body
// that did not arrive.
bool stream_into_upload(ServerContext& /*ctx*/, const std::string& uuid, const HttpRequest& req,
                        const BodyReader& reader, long long& received, std::string& error,
                        bool& library_failed) {
  if (!request_has_body(req)) return true;
  std::string piece;
  auto append = [&](const char* data, size_t len) {
    if (reg_blob_append_chunk(uuid.c_str(), data, len) != 0) {
      error = reg_storage_last_error();
      library_failed = true;
      return false;
    }
    received += static_cast<long long>(len);
    return true;
  };
  bool ok = reader([&](const char* data, size_t len) {
    if (piece.empty() && len >= kAppendPiece) return append(data, len);  // no copy needed
    piece.append(data, len);
    if (piece.size() < kAppendPiece) return true;
    bool appended = append(piece.data(), piece.size());
    piece.clear();
    return appended;
  });
  if (ok && !piece.empty()) ok = append(piece.data(), piece.size());
  if (!ok && error.empty()) error = "request body incomplete";
  return ok;
}

// Parses "start-end" (optionally after "bytes " or "bytes=" and before "/total"); the
// length end - start + 1 is then known not to overflow.
bool parse_content_range(std::string v, long long& start, long long& end) {
  if (v.rfind("bytes", 0) == 0) v.erase(0, 6);
  if (size_t slash = v.find('/'); slash != std::string::npos) v.resize(slash);
  size_t dash = v.find('-');
  if (dash == std::string::npos) return false;
  std::string_view text(v);
  return parse_decimal(text.substr(0, dash), start) && parse_decimal(text.substr(dash + 1), end) &&
         end >= start && end < LLONG_MAX;
}

void send_range_error(HttpResponse& res, const std::string& name, const std::string& uuid,
                      long long size, const char* message) {
  send_error(res, 416, "BLOB_UPLOAD_INVALID", message);
  res.set_header("Location", upload_location(name, uuid));
  res.set_header("Range", range_header(size));
  res.set_header("Docker-Upload-UUID", uuid);
}

// Appends the body of a PATCH or a closing PUT. A Content-Range must start where the upload
// ends and agree with Content-Length. False when a response was sent. `size_after` receives
// the upload's size when it is known without asking again (a ranged request: the session
// keeps every other request off the upload meanwhile), else -1.
bool append_body(ServerContext& ctx, const std::string& name, const std::string& uuid,
                 SessionHold* session, const HttpRequest& req, HttpResponse& res,
                 const BodyReader& reader, long long* size_after = nullptr) {
  long long size = 0;
  std::string error;
  bool ranged = req.has_header("Content-Range");
  // Only a range needs the size up front; a missing upload fails the first append just the
  // same, and an empty body is answered from the size afterwards.
  if (ranged && !upload_size(ctx, uuid, size, error)) {
    if (session) ctx.uploads.close(*session);
    send_library_error(res, error);
    return false;
  }
  long long start = 0, end = -1;
  if (ranged) {
    if (!parse_content_range(req.get_header_value("Content-Range"), start, end) || start != size) {
      send_range_error(res, name, uuid, size, "Content-Range does not continue the upload");
      return false;
    }
    long long length = 0;
    if (req.has_header("Content-Length") &&
        (!parse_decimal(req.get_header_value("Content-Length"), length) ||
         length != end - start + 1)) {
      send_range_error(res, name, uuid, size, "Content-Range does not match Content-Length");
      return false;
    }
  }
  long long received = 0;
  bool library_failed = false;
  if (!stream_into_upload(ctx, uuid, req, reader, received, error, library_failed)) {
    // A failed append leaves an upload no retry can trust: it goes. A body cut short may
    // be resumed from the upload's size.
    if (library_failed) cancel_upload(ctx, uuid, session);
    send_library_error(res, error);
    return false;
  }
  if (ranged && received != end - start + 1) {
    send_error(res, 400, "SIZE_INVALID", "body does not match Content-Range");
    return false;
  }
  if (size_after) *size_after = ranged ? size + received : -1;
  return true;
}

// Commits the upload under `digest` and answers 201; false when it failed (answered).
bool finish_upload(ServerContext& ctx, const std::string& name, const std::string& uuid,
                   SessionHold* session, const std::string& digest, HttpResponse& res) {
  char out[72];
  std::string error;
  {
    if (reg_blob_finish_upload(uuid.c_str(), digest.c_str(), out) != 0)
      error = reg_storage_last_error();
    else
      record_blob(name, digest);
  }
  if (!error.empty()) {
    // The library dropped an upload whose bytes do not match; one that is gone has no
    // session left either.
    if (session && (error.rfind("digest mismatch", 0) == 0 ||
                    error.rfind("upload not found", 0) == 0))
      ctx.uploads.close(*session);
    send_library_error(res, error);
    return false;
  }
  if (session) ctx.uploads.close(*session);
  res.status = 201;
  res.set_header("Location", "/v2/" + name + "/blobs/" + digest);
  res.set_header("Docker-Content-Digest", digest);
  return true;
}

// Starts an upload in the library. Only a chunked session is then registered: a monolithic
// upload is never reachable by its id, which other clients could guess.
bool start_upload(ServerContext& /*ctx*/, std::string& uuid, HttpResponse& res) {
  char id[37];
  {
    if (reg_blob_start_upload(id) != 0) {
      send_library_error(res, reg_storage_last_error());
      return false;
    }
  }
  uuid = id;
  return true;
}

void send_session(HttpResponse& res, const std::string& name, const std::string& uuid, int status,
                  long long size) {
  res.status = status;
  res.set_header("Location", upload_location(name, uuid));
  res.set_header("Range", range_header(size));
  res.set_header("Docker-Upload-UUID", uuid);
}

bool mount_blob(ServerContext& ctx, const std::string& name, const std::string& from,
                const std::string& digest, HttpResponse& res) {
  if (reg_blob_exists(digest.c_str()) != 1 || !blob_visible_through(ctx, from, digest))
    return false;
  // A mount commits the blob to the repository as an upload would: a collection's grace
  // period counts from now.
  reg::Path path;
  if (reg::blob_path_for_digest(digest, path)) reg::platform::touch_file(path.c_str());
  record_blob(name, digest);
  res.status = 201;
  res.set_header("Location", "/v2/" + name + "/blobs/" + digest);
  res.set_header("Docker-Content-Digest", digest);
  return true;
}

}  // namespace

bool acquire_store(ServerContext& ctx, StoreLock& lock, HttpResponse& res) {
  std::string error;
  long long waited = 0;
  if (lock.acquire_shared(ctx.root, ctx.gc_wait_ms, error, &waited)) {
    if (ctx.metrics) ctx.metrics->record_push_wait(waited);
    return true;
  }
  // A collection ends by itself; a lock file that cannot be opened needs an operator.
  if (!lock.busy()) {
    res.log_note = error;
    send_error(res, 500, "UNKNOWN", error);
    return false;
  }
  send_error(res, 503, "UNAVAILABLE", error);
  res.set_header("Retry-After", "5");
  return false;
}

void handle_upload_start(ServerContext& ctx, const std::string& name, const std::string& user,
                         const HttpRequest& req, HttpResponse& res, const BodyReader& reader) {
  std::string mount = req.get_param_value("mount");
  std::string digest = req.get_param_value("digest");
  if (req.has_param("from") && !repo_name_ok(req.get_param_value("from")))
    return send_error(res, 400, "NAME_INVALID", "invalid repository name");
  if ((req.has_param("mount") && !is_sha256_digest(mount)) ||
      (req.has_param("digest") && !is_sha256_digest(digest)))
    return send_error(res, 400, "DIGEST_INVALID", "invalid digest");
  // Without a policy blobs are shared by the whole store, so a mount succeeds whenever the
  // blob is stored; with one, only when `from` may see it. Pushes hold the store only while
  // they commit, so that a collection's hold never waits for a body to arrive.
  if (!mount.empty()) {
    StoreLock lock;
    if (!acquire_store(ctx, lock, res)) return;
    if (mount_blob(ctx, name, req.get_param_value("from"), mount, res)) return;
  }
  if (digest.empty() && !ctx.uploads.has_room(user)) return send_too_many_uploads(res);
  std::string uuid;
  if (!start_upload(ctx, uuid, res)) return;
  if (digest.empty()) {
    if (!ctx.uploads.open(uuid, name, user)) {
      cancel_upload(ctx, uuid, nullptr);
      return send_error(res, 500, "UNKNOWN", "cannot record the upload session");
    }
    return send_session(res, name, uuid, 202, 0);
  }
  // A one-shot upload that did not commit is of no use to anyone: its file goes at once.
  StoreLock lock;
  if (!append_body(ctx, name, uuid, nullptr, req, res, reader) || !acquire_store(ctx, lock, res) ||
      !finish_upload(ctx, name, uuid, nullptr, digest, res))
    cancel_upload(ctx, uuid, nullptr);
}

void handle_upload_session(ServerContext& ctx, const std::string& name, const std::string& uuid,
                           const std::string& user, const HttpRequest& req, HttpResponse& res,
                           const BodyReader& reader) {
  std::string digest = req.get_param_value("digest");
  if (req.method == "PUT" && !is_sha256_digest(digest))
    return send_error(res, 400, "DIGEST_INVALID", "invalid digest");
  // Held until the answer: one request at a time works on an upload, on whichever server.
  SessionHold session = ctx.uploads.find(uuid, name, user);
  if (!session) return send_error(res, 404, "BLOB_UPLOAD_UNKNOWN", "upload not found: " + uuid);
  if (req.method == "DELETE") {
    if (reg_blob_cancel_upload(uuid.c_str()) != 0)
      return send_library_error(res, reg_storage_last_error());
    ctx.uploads.close(session);
    res.status = 204;
    return;
  }
  long long size = -1;
  if (req.method == "PATCH" || req.method == "PUT") {
    if (!append_body(ctx, name, uuid, &session, req, res, reader, &size)) return;
    if (req.method == "PUT") {
      StoreLock lock;
      if (acquire_store(ctx, lock, res)) finish_upload(ctx, name, uuid, &session, digest, res);
      return;
    }
  }
  std::string error;
  if (size < 0 && !upload_size(ctx, uuid, size, error)) {
    ctx.uploads.close(session);
    return send_library_error(res, error);
  }
  send_session(res, name, uuid, req.method == "PATCH" ? 202 : 204, size);
}

}  // namespace tool
