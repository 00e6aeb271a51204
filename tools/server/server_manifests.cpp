// Manifests by tag or digest: HEAD, GET, PUT (bodies over 4 MiB refused unread), DELETE.
#include <reg_storage.h>

#include "digest.h"
#include "header_numbers.h"
#include "manifests/subject_index.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_routes.h"
#include "store_lock.h"

#include <cctype>
#include <string_view>

namespace tool {
namespace {

// The API's size limit for a manifest body; the library refuses smaller ones on its own.
constexpr size_t kMaxManifestBody = 4 * 1024 * 1024;

constexpr std::string_view kManifestTypes[] = {
    "application/vnd.oci.image.manifest.v1+json",
    "application/vnd.oci.image.index.v1+json",
    "application/vnd.docker.distribution.manifest.v2+json",
    "application/vnd.docker.distribution.manifest.list.v2+json",
    "application/vnd.docker.distribution.manifest.v1+json",
    "application/vnd.docker.distribution.manifest.v1+prettyjws",
};

// A restricted name of a media type: a letter or digit, then those and !#$&-^_.+ (at most
// 127 characters in all).
bool restricted_name(std::string_view s) {
  if (s.empty() || s.size() > 127 || !std::isalnum(static_cast<unsigned char>(s[0]))) return false;
  for (unsigned char c : s)
    if (!std::isalnum(c) &&
        std::string_view("!#$&-^_.+").find(static_cast<char>(c)) == std::string_view::npos)
      return false;
  return true;
}

// The stored content type is what the client sent at push. It is served only when it is a
// manifest type, or an artifact's own vendor type (application/vnd.<...>, without
// parameters): never text/html, a script or another type a browser would render.
std::string_view servable_type(std::string_view stored) {
  for (std::string_view t : kManifestTypes)
    if (stored == t) return stored;
  constexpr std::string_view kVendor = "application/vnd.";
  if (stored.substr(0, kVendor.size()) == kVendor &&
      restricted_name(stored.substr(std::string_view("application/").size())))
    return stored;
  return kManifestTypes[2];  // the store's default media type
}

void get_manifest(ServerContext& /*ctx*/, const std::string& name, const std::string& reference,
                  const HttpRequest& req, HttpResponse& res) {
  char ct[128] = {0};
  char digest[72] = {0};
  std::string body, error;
  {
    const char* text = reg_manifest_get(name.c_str(), reference.c_str(), ct, digest);
    if (text != nullptr)
      body = text;
    else
      error = reg_storage_last_error();
  }
  if (!error.empty()) return send_library_error(res, error);
  res.status = 200;
  res.set_header("Docker-Content-Digest", digest);
  res.set_header("ETag", std::string("\"") + digest + "\"");
  const std::string_view type = servable_type(ct);
  if (req.method == "HEAD") {
    res.set_header("Content-Length", std::to_string(body.size()));
    res.set_header("Content-Type", type);
    return;
  }
  res.set_content(body, type);
}

// Reads the body, at most kMaxManifestBody bytes; false when a response was sent.
bool read_manifest_body(const HttpRequest& req, const BodyReader& reader, std::string& body,
                        HttpResponse& res) {
  long long length = 0;
  if (req.has_header("Content-Length") &&
      (!parse_decimal(req.get_header_value("Content-Length"), length) ||
       length > static_cast<long long>(kMaxManifestBody))) {
    send_error(res, 413, "SIZE_INVALID", "manifest too large (max 4194304 bytes)");
    return false;
  }
  bool too_big = false;
  bool ok = !request_has_body(req) || reader([&](const char* data, size_t len) {
    if (body.size() + len > kMaxManifestBody) return !(too_big = true);
    body.append(data, len);
    return true;
  });
  if (too_big)
    send_error(res, 413, "SIZE_INVALID", "manifest too large (max 4194304 bytes)");
  else if (!ok)
    send_error(res, 400, "MANIFEST_INVALID", "request body incomplete");
  return ok && !too_big;
}

void put_manifest(ServerContext& ctx, const std::string& name, const std::string& reference,
                  const HttpRequest& req, HttpResponse& res, const BodyReader& reader) {
  std::string body;
  if (!read_manifest_body(req, reader, body, res)) return;
  // The library stores a manifest under the digest of its bytes whatever the reference says,
  // so a push by digest is checked here, before anything is written.
  bool by_digest = reference.rfind("sha256:", 0) == 0;
  if (by_digest && sha256_digest(body) != reference)
    return send_error(res, 400, "DIGEST_INVALID", "manifest does not match digest " + reference);
  StoreLock lock;
  std::string error;
  if (!acquire_store(ctx, lock, res)) return;
  std::string ct = req.get_header_value("Content-Type");
  char digest[72] = {0};
  {
    if (reg_manifest_put(name.c_str(), reference.c_str(), body.data(), body.size(), ct.c_str(),
                         digest) != 0)
      error = reg_storage_last_error();
  }
  if (!error.empty()) return send_library_error(res, error);
  res.status = 201;
  res.set_header("Location", "/v2/" + name + "/manifests/" + digest);
  res.set_header("Docker-Content-Digest", digest);
  // The store indexed the manifest under its subject: the client need not tag a fallback.
  const std::string subject = reg::subject_digest_of(body);
  if (!subject.empty()) res.set_header("OCI-Subject", subject);
}

void delete_manifest(ServerContext& /*ctx*/, const std::string& name, const std::string& reference,
                     HttpResponse& res) {
  if (reg_manifest_delete(name.c_str(), reference.c_str()) != 0)
    return send_library_error(res, reg_storage_last_error());
  res.status = 202;
}

}  // namespace

void handle_manifest(ServerContext& ctx, const std::string& name, const std::string& reference,
                     const HttpRequest& req, HttpResponse& res, const BodyReader& reader) {
  bool by_digest = reference.rfind("sha256:", 0) == 0;
  if (by_digest && !is_sha256_digest(reference))
    return send_error(res, 400, "DIGEST_INVALID", "invalid digest reference");
  if (!by_digest && !tag_ok(reference)) {
    if (req.method == "PUT") return send_error(res, 400, "MANIFEST_INVALID", "invalid tag");
    return send_error(res, 404, "MANIFEST_UNKNOWN", "manifest unknown: invalid tag");
  }
  if (req.method == "PUT") return put_manifest(ctx, name, reference, req, res, reader);
  if (req.method == "DELETE") return delete_manifest(ctx, name, reference, res);
  get_manifest(ctx, name, reference, req, res);
}

}  // namespace tool
