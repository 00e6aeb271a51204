// Authentication, the read-only rule, method checks and hand-off from a parsed route to its
// handler.
#include "server_access.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_routes.h"
#include "server_security.h"

#include "platform/platform.h"

namespace tool {
namespace {

bool method_in(const std::string& m, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed)
    if (m == a) return true;
  return false;
}

bool is_write(const std::string& m) { return method_in(m, {"POST", "PATCH", "PUT", "DELETE"}); }

void send_base(HttpResponse& res) {
  res.status = 200;
  res.set_content("{}", "application/json");
}

void route_request(ServerContext& ctx, const std::string& user, const TokenClaims* token,
                   const HttpRequest& req, HttpResponse& res, const BodyReader& reader) {
  Route r = parse_route(req.path);
  const std::string& m = req.method;
  if (!authorize(ctx, r, user, token, req, res)) return;
  bool ok = true;
  switch (r.kind) {
    case RouteKind::base:
      if ((ok = method_in(m, {"GET", "HEAD"}))) send_base(res);
      break;
    case RouteKind::catalog:
      if (!(ok = method_in(m, {"GET", "HEAD"}))) break;
      if (ctx.policy || ctx.tokens)
        handle_policy_catalog(ctx, user, token, req, res);
      else
        handle_catalog(ctx, req, res);
      break;
    case RouteKind::tags_list:
      if ((ok = method_in(m, {"GET", "HEAD"}))) handle_tags_list(ctx, r.name, req, res);
      break;
    case RouteKind::referrers:
      if ((ok = method_in(m, {"GET", "HEAD"}))) handle_referrers(ctx, r.name, r.ref, req, res);
      break;
    case RouteKind::manifest:
      if ((ok = method_in(m, {"GET", "HEAD", "PUT", "DELETE"})))
        handle_manifest(ctx, r.name, r.ref, req, res, reader);
      break;
    case RouteKind::blob:
      if ((ok = method_in(m, {"GET", "HEAD", "DELETE"}))) handle_blob(ctx, r.name, r.ref, req, res);
      break;
    case RouteKind::upload_start:
      if (!(ok = m == "POST")) break;
      if (req.has_param("mount") && !may_mount_from(ctx, user, token, req)) {
        // A mount the caller may not read from is no mount: the push goes on as an upload.
        HttpRequest plain = req;
        plain.params.erase("mount");
        plain.params.erase("from");
        handle_upload_start(ctx, r.name, user, plain, res, reader);
      } else {
        handle_upload_start(ctx, r.name, user, req, res, reader);
      }
      break;
    case RouteKind::upload_session:
      if ((ok = method_in(m, {"GET", "PATCH", "PUT", "DELETE"})))
        handle_upload_session(ctx, r.name, r.ref, user, req, res, reader);
      break;
    case RouteKind::name_invalid:
      send_error(res, 400, "NAME_INVALID", "invalid repository name");
      break;
    case RouteKind::not_found:
      send_error(res, 404, "NOT_FOUND", "no such endpoint");
      break;
  }
  if (!ok) send_error(res, 405, "UNSUPPORTED", "method not allowed");
}

}  // namespace

bool request_has_body(const HttpRequest& req) {
  if (req.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos) return true;
  return req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0";
}

// Authentication comes first, so a caller without credentials learns nothing about the
// store, not even which paths exist; then the read-only rule, then the route.
void dispatch_request(ServerContext& ctx, const HttpRequest& req, HttpResponse& res,
                      const BodyReader& reader) {
  res.set_header("Docker-Distribution-API-Version", "registry/2.0");
  reg::platform::clear_last_failure();  // what an earlier request on this thread left
  // Probes carry no credentials and tell nothing about the store's content.
  if (handle_probe(ctx, req, res)) return;
  bool metrics = ctx.metrics_on_api && req.path == "/metrics";
  std::string user;
  std::unique_ptr<TokenClaims> token;
  // With a policy a caller without credentials is the anonymous user, who may pull what the
  // policy opens to everyone; credentials that are given must still be right. A server that
  // takes tokens takes no other credentials. The metrics are never anonymous where there are
  // users.
  bool admitted = ctx.tokens ? authenticate_token(ctx, req, res, user, token)
                             : (ctx.policy && !metrics && !req.has_header("Authorization")) ||
                                   authenticate(ctx.users, ctx.auth_guards, req, res, user);
  if (admitted && ctx.read_only && is_write(req.method)) {
    send_error(res, 405, "UNSUPPORTED", "the registry is read-only");
    admitted = false;
  }
  res.user = user;
  if (admitted && metrics)
    handle_metrics(ctx, req, res);
  else if (admitted)
    route_request(ctx, user, token.get(), req, res, reader);
}

}  // namespace tool
