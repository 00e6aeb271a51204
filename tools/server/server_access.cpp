#include "server_access.h"

#include <reg_storage.h>

#include "core/fileutil.h"
#include "listings/discovery.h"
#include "manifests/blob_records.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_security.h"

#include <algorithm>
#include <ctime>

namespace tool {
namespace {

constexpr int kMaxPage = 10000;

std::string percent_encode(const std::string& s) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool is_read(const std::string& m) { return m == "GET" || m == "HEAD"; }

}  // namespace

bool PolicyHolder::load(const std::string& path, std::string& error) {
  path_ = path;
  return reload(error);
}

bool PolicyHolder::reload(std::string& error) {
  auto p = std::make_shared<AccessPolicy>();
  if (!p->load(path_, error)) return false;
  std::lock_guard<std::mutex> l(mu_);
  policy_ = std::move(p);
  return true;
}

PolicyPtr PolicyHolder::current() const {
  std::lock_guard<std::mutex> l(mu_);
  return policy_;
}

Actions required_actions(const Route& r, const HttpRequest& req) {
  switch (r.kind) {
    case RouteKind::tags_list:
    case RouteKind::referrers:
      return kPull;
    case RouteKind::manifest:
    case RouteKind::blob:
      if (is_read(req.method)) return kPull;
      return req.method == "DELETE" ? kDelete : kPush;
    case RouteKind::upload_start:
    case RouteKind::upload_session:
      return kPush;
    default:
      return 0;
  }
}

void send_auth_challenge(ServerContext& ctx, HttpResponse& res, const char* message,
                         const std::string& scope) {
  send_error(res, 401, "UNAUTHORIZED", message);
  if (!ctx.tokens) {
    res.set_header("WWW-Authenticate", std::string("Basic realm=\"") + kAuthRealm + "\"");
    return;
  }
  const TokenSettings& t = ctx.tokens->settings();
  std::string c = "Bearer realm=\"" + t.realm + "\",service=\"" + t.service + "\"";
  if (!scope.empty()) c += ",scope=\"" + scope + "\"";
  res.set_header("WWW-Authenticate", c);
}

bool authenticate_token(ServerContext& ctx, const HttpRequest& req, HttpResponse& res,
                        std::string& user, std::unique_ptr<TokenClaims>& claims) {
  claims.reset();
  const std::string h = req.get_header_value("Authorization");
  if (h.empty()) return true;
  if (h.size() < 7 || (h.compare(0, 7, "Bearer ") != 0 && h.compare(0, 7, "bearer ") != 0)) {
    send_auth_challenge(ctx, res, "a bearer token is needed");
    return false;
  }
  auto c = std::make_unique<TokenClaims>();
  std::string why;
  if (!ctx.tokens->verify(h.substr(7), static_cast<std::int64_t>(std::time(nullptr)), *c, why)) {
    send_auth_challenge(ctx, res, why.c_str());
    return false;
  }
  user = c->subject.empty() ? "token" : c->subject;
  claims = std::move(c);
  return true;
}

namespace {

Actions allowed_for(ServerContext& ctx, const std::string& user, const TokenClaims* token,
                    const std::string& repo) {
  if (token) return token->allowed(repo);
  const PolicyPtr policy = ctx.policy ? ctx.policy->current() : nullptr;
  return policy ? policy->allowed(user, repo) : Actions{kPull | kPush | kDelete};
}

}  // namespace

bool authorize(ServerContext& ctx, const Route& r, const std::string& user,
               const TokenClaims* token, const HttpRequest& req, HttpResponse& res) {
  if (!ctx.policy && !ctx.tokens) return true;
  // The base endpoint tells a client without credentials to log in: clients only send
  // credentials after a challenge there.
  if (r.kind == RouteKind::base && user.empty() && (ctx.users || ctx.tokens)) {
    send_auth_challenge(ctx, res, "authentication required");
    return false;
  }
  const Actions need = required_actions(r, req);
  if (need == 0 || (allowed_for(ctx, user, token, r.name) & need) == need) return true;
  // A token is asked for with the scope of the request; pushes ask for pull as well, as
  // clients do.
  const Actions scope = (need & kPush) ? Actions{kPull | kPush} : need;
  if (user.empty() || token)
    send_auth_challenge(ctx, res, "authentication required",
                        "repository:" + r.name + ":" + actions_text(scope));
  else
    send_error(res, 403, "DENIED", "requested access to the resource is denied");
  return false;
}

void record_blob(const std::string& name, const std::string& digest) {
  reg::blob_records_add(name, {digest});  // a lost record only hides the blob under a policy
}

bool blob_visible_through(ServerContext& ctx, const std::string& name, const std::string& digest) {
  return (!ctx.policy && !ctx.tokens) || reg::blob_recorded(name, digest);
}

bool may_mount_from(ServerContext& ctx, const std::string& user, const TokenClaims* token,
                    const HttpRequest& req) {
  return (allowed_for(ctx, user, token, req.get_param_value("from")) & kPull) != 0;
}

void handle_policy_catalog(ServerContext& ctx, const std::string& user, const TokenClaims* token,
                           const HttpRequest& req, HttpResponse& res) {
  int n = -1;
  if (req.has_param("n")) {
    const std::string v = req.get_param_value("n");
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
      return send_error(res, 400, "PAGINATION_NUMBER_INVALID", "invalid n");
    n = std::min(std::atoi(v.c_str()), kMaxPage);
  }
  std::vector<std::string> names;
  {
    names = reg::discover_repos();
  }
  reg::sort_str(names);
  const std::string last = req.get_param_value("last");
  auto it = last.empty() ? names.begin() : std::upper_bound(names.begin(), names.end(), last);
  std::string json = "{\"repositories\":[";
  std::string page_last;
  int listed = 0;
  bool more = false;
  for (; it != names.end(); ++it) {
    if (!(allowed_for(ctx, user, token, *it) & kPull)) continue;
    if (n >= 0 && listed == n) {
      more = true;
      break;
    }
    json += (listed ? ",\"" : "\"");
    reg::json_escape_to(json, *it);
    json += '"';
    page_last = *it;
    ++listed;
  }
  json += "]}";
  if (more && listed > 0)
    res.set_header("Link", "</v2/_catalog?n=" + std::to_string(n) +
                               "&last=" + percent_encode(page_last) + ">; rel=\"next\"");
  res.status = 200;
  res.set_content(json, "application/json");
}

}  // namespace tool
