// Access control in the server: the policy in force (read at start, replaced on SIGHUP), the
// check of each request against it, and the catalog narrowed to what the caller may pull.
#pragma once

#include "access_policy.h"
#include "bearer_token.h"
#include "http_message.h"
#include "server_routes.h"

#include <memory>
#include <mutex>
#include <string>

namespace tool {

struct ServerContext;

// The policy file and the policy read from it. Requests take the current policy as a shared
// pointer, so a reload never changes the rules under a request in flight.
class PolicyHolder {
 public:
  // Reads `path`; false (error set) when the policy is refused.
  bool load(const std::string& path, std::string& error);
  // Reads the same file again; on failure the policy in force stays.
  bool reload(std::string& error);
  PolicyPtr current() const;

 private:
  std::string path_;
  mutable std::mutex mu_;
  PolicyPtr policy_;
};

// The actions a request needs on its repository (0: none, or decided elsewhere).
Actions required_actions(const Route& r, const HttpRequest& req);

// Checks the request of `user` ("" anonymous) against the policy, or with a bearer token
// (`token` not null) against the token's access claim. False after answering: 401 with a
// challenge for an anonymous caller or a token that does not grant enough, 403 DENIED for an
// authenticated user.
bool authorize(ServerContext& ctx, const Route& r, const std::string& user,
               const TokenClaims* token, const HttpRequest& req, HttpResponse& res);

// Authenticates a request that carries a bearer token, when the server takes tokens. False
// after answering 401; true with `claims` empty for a request without credentials.
bool authenticate_token(ServerContext& ctx, const HttpRequest& req, HttpResponse& res,
                        std::string& user, std::unique_ptr<TokenClaims>& claims);

// A cross-repository mount reads the blob through `from`: allowed only with pull there.
bool may_mount_from(ServerContext& ctx, const std::string& user, const TokenClaims* token,
                    const HttpRequest& req);

// GET /v2/_catalog with a policy: only the repositories `user` may pull, paged like the
// library's catalog (n, last, Link).
void handle_policy_catalog(ServerContext& ctx, const std::string& user, const TokenClaims* token,
                           const HttpRequest& req, HttpResponse& res);

// Records that `digest` was received through (or mounted into) `name`; call with the library
// lock held. The record is kept with or without a policy, so one can be given later.
void record_blob(const std::string& name, const std::string& digest);
// Whether the blob may be read through `name`: always without a policy, else only when the
// repository records it. Call with the library lock held.
bool blob_visible_through(ServerContext& ctx, const std::string& name, const std::string& digest);

// Answers 401 with the server's challenge: Basic, or Bearer with the scope `scope` ("" for
// none) when the server takes tokens.
void send_auth_challenge(ServerContext& ctx, HttpResponse& res, const char* message,
                         const std::string& scope = "");

}  // namespace tool
