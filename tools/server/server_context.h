// State shared by the server's request handlers.
#pragma once

#include "server_access.h"
#include "server_security.h"
#include "upload_sessions.h"

#include "http_message.h"
#include "metrics.h"
#include "store_lock.h"

#include <mutex>
#include <string>

namespace tool {

struct ServerContext {
  std::string root;
  int gc_wait_ms = 2000;
  const Htpasswd* users = nullptr;    // null: no authentication, every caller is anonymous
  AuthGuards* auth_guards = nullptr;  // credential cache and failure limit; null for neither
  bool read_only = false;             // refuse every write with 405
  PolicyHolder* policy = nullptr;     // null: no access policy, every admitted caller may do all
  const TokenVerifier* tokens = nullptr;  // not null: bearer tokens decide, no other credentials
  UploadSessions uploads;
  ServerMetrics* metrics = nullptr;  // null: no /metrics
  bool metrics_on_api = true;        // false: /metrics has an address of its own
  MetricGauges gauges;
};

// Handlers, one per route kind; `reader` reads nothing when the request has no body.
void handle_blob(ServerContext& ctx, const std::string& name, const std::string& digest,
                 const HttpRequest& req, HttpResponse& res);
// `user` is the authenticated user ("" when anonymous); an upload answers only to its opener.
void handle_upload_start(ServerContext& ctx, const std::string& name, const std::string& user,
                         const HttpRequest& req, HttpResponse& res, const BodyReader& reader);
void handle_upload_session(ServerContext& ctx, const std::string& name, const std::string& uuid,
                           const std::string& user, const HttpRequest& req, HttpResponse& res,
                           const BodyReader& reader);
void handle_manifest(ServerContext& ctx, const std::string& name, const std::string& reference,
                     const HttpRequest& req, HttpResponse& res, const BodyReader& reader);
void handle_tags_list(ServerContext& ctx, const std::string& name, const HttpRequest& req,
                      HttpResponse& res);
void handle_catalog(ServerContext& ctx, const HttpRequest& req, HttpResponse& res);
void handle_referrers(ServerContext& ctx, const std::string& name, const std::string& digest,
                      const HttpRequest& req, HttpResponse& res);

// `/healthz` and `/readyz`, which answer without credentials; false for any other path.
bool handle_probe(ServerContext& ctx, const HttpRequest& req, HttpResponse& res);
// `/metrics`, for an admitted caller.
void handle_metrics(ServerContext& ctx, const HttpRequest& req, HttpResponse& res);

// Takes the store for a commit (a blob, a mount, a manifest): waits for a collection's hold
// to end, counts the wait; false, with 503 and Retry-After when it does not end in time or
// 500 when the lock file cannot be opened, when the response was sent.
bool acquire_store(ServerContext& ctx, StoreLock& lock, HttpResponse& res);

// Routes one request to its handler (or answers 404/405/400 itself).
void dispatch_request(ServerContext& ctx, const HttpRequest& req, HttpResponse& res,
                      const BodyReader& reader);

// Whether a body follows the headers. Without Content-Length or chunked transfer there is
// none, and the reader must not wait for one.
bool request_has_body(const HttpRequest& req);

}  // namespace tool
