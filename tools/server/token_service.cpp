#include "token_service.h"

#include <openssl/rand.h>

#include <algorithm>
#include <ctime>

#include "access_log.h"
#include "core/paths.h"
#include "json_util.h"
#include "server_errors.h"

namespace tool {
namespace {

constexpr std::size_t kMaxScopes = 64;  // a mount asks for two; more is no client's need
// A token's not-before lies this far back, so a registry whose clock is a little behind the
// token service's still takes it.
constexpr std::int64_t kClockLeeway = 30;

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  while (!s.empty()) {
    const std::size_t at = s.find(sep);
    if (at != 0) out.push_back(s.substr(0, at));
    if (at == std::string_view::npos) break;
    s.remove_prefix(at + 1);
  }
  return out;
}

// "repository:NAME:ACTIONS"; the name may not hold ':' (a repository name never does).
bool parse_scope(std::string_view scope, TokenGrant& out) {
  const std::size_t first = scope.find(':'), last = scope.rfind(':');
  if (first == std::string_view::npos || first == last || scope.substr(0, first) != "repository")
    return false;
  out.repository = std::string(scope.substr(first + 1, last - first - 1));
  out.actions = 0;
  for (std::string_view a : split(scope.substr(last + 1), ','))
    out.actions |= a == "*" ? Actions{kPull | kPush | kDelete} : action_of(a);
  return out.actions != 0 && reg::repo_name_valid(out.repository.c_str());
}

std::string random_id() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return "";
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// Without credentials the caller is anonymous; credentials that are given must be right.
bool authenticate_caller(TokenServiceContext& ctx, const HttpRequest& req, HttpResponse& res,
                         std::string& user) {
  user.clear();
  if (!req.has_header("Authorization")) return true;
  return authenticate(ctx.users, ctx.auth_guards, req, res, user);
}

}  // namespace

std::vector<TokenGrant> requested_scopes(const HttpRequest& req) {
  std::vector<TokenGrant> out;
  auto [from, to] = req.params.equal_range("scope");
  for (auto it = from; it != to; ++it) {
    for (std::string_view s : split(it->second, ' ')) {
      TokenGrant g;
      if (!parse_scope(s, g)) continue;
      auto same = std::find_if(out.begin(), out.end(),
                               [&](const TokenGrant& o) { return o.repository == g.repository; });
      if (same != out.end())
        same->actions |= g.actions;
      else if (out.size() < kMaxScopes)
        out.push_back(std::move(g));
    }
  }
  return out;
}

std::vector<TokenGrant> granted_scopes(const TokenServiceContext& ctx, const std::string& user,
                                       const std::vector<TokenGrant>& asked) {
  const PolicyPtr policy = ctx.policy ? ctx.policy->current() : nullptr;
  std::vector<TokenGrant> out;
  for (const TokenGrant& g : asked) {
    const Actions may = policy ? policy->allowed(user, g.repository)
                               : (user.empty() ? Actions{0} : Actions{kPull | kPush | kDelete});
    if (const Actions a = g.actions & may) out.push_back(TokenGrant{g.repository, a});
  }
  return out;
}

std::string token_claims(const TokenServiceContext& ctx, const std::string& user,
                         const std::vector<TokenGrant>& access, std::int64_t now) {
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc* d = doc.get();
  yyjson_mut_val* root = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, root);
  yyjson_mut_obj_add_strncpy(d, root, "iss", ctx.issuer.data(), ctx.issuer.size());
  yyjson_mut_obj_add_strncpy(d, root, "sub", user.data(), user.size());
  yyjson_mut_obj_add_strncpy(d, root, "aud", ctx.service.data(), ctx.service.size());
  yyjson_mut_obj_add_int(d, root, "exp", now + ctx.expiry_s);
  yyjson_mut_obj_add_int(d, root, "nbf", now - kClockLeeway);
  yyjson_mut_obj_add_int(d, root, "iat", now);
  const std::string jti = random_id();
  yyjson_mut_obj_add_strncpy(d, root, "jti", jti.data(), jti.size());
  yyjson_mut_val* list = yyjson_mut_obj_add_arr(d, root, "access");
  for (const TokenGrant& g : access) {
    yyjson_mut_val* e = yyjson_mut_arr_add_obj(d, list);
    yyjson_mut_obj_add_str(d, e, "type", "repository");
    yyjson_mut_obj_add_strncpy(d, e, "name", g.repository.data(), g.repository.size());
    yyjson_mut_val* actions = yyjson_mut_obj_add_arr(d, e, "actions");
    const std::string names = actions_text(g.actions);  // the views below point into it
    for (std::string_view a : split(names, ','))
      yyjson_mut_arr_add_strncpy(d, actions, a.data(), a.size());
  }
  return write_json(d);
}

void handle_token_request(TokenServiceContext& ctx, const HttpRequest& req, HttpResponse& res) {
  if (req.path != "/token") return send_error(res, 404, "NOT_FOUND", "no such endpoint");
  if (req.method != "GET" && req.method != "HEAD")
    return send_error(res, 405, "UNSUPPORTED", "method not allowed");
  if (req.has_param("service") && req.get_param_value("service") != ctx.service)
    return send_error(res, 400, "UNSUPPORTED", "tokens are issued for " + ctx.service + " only");
  std::string user;
  if (!authenticate_caller(ctx, req, res, user)) return;
  res.user = user;
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  const std::string token = ctx.signer->sign(
      token_claims(ctx, user, granted_scopes(ctx, user, requested_scopes(req)), now));
  if (token.empty()) return send_error(res, 500, "UNKNOWN", "the token could not be signed");
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc* d = doc.get();
  yyjson_mut_val* root = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, root);
  yyjson_mut_obj_add_strncpy(d, root, "token", token.data(), token.size());
  yyjson_mut_obj_add_strncpy(d, root, "access_token", token.data(), token.size());
  yyjson_mut_obj_add_int(d, root, "expires_in", ctx.expiry_s);
  const std::string issued = iso_time(now);
  yyjson_mut_obj_add_strncpy(d, root, "issued_at", issued.data(), issued.size());
  res.status = 200;
  res.set_header("Cache-Control", "no-store");  // a token is a credential
  res.set_content(write_json(d), "application/json");
}

}  // namespace tool
