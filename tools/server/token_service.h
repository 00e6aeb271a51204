// The bundled token service (`tarnwick-registry token-server`): Docker's token protocol.
// A client that the registry challenged with `Bearer realm=...,service=...,scope=...` asks
//     GET /token?service=S&scope=repository:team/app:pull,push
// with HTTP Basic credentials (or none, for an anonymous pull) and gets a JWT signed with the
// operator's key whose `access` claim grants what it asked for and the policy allows:
//     {"token": T, "access_token": T, "expires_in": 300, "issued_at": "2026-...Z"}
#pragma once

#include "access_policy.h"
#include "auth_guards.h"
#include "bearer_token.h"
#include "http_message.h"
#include "server_access.h"
#include "server_security.h"
#include "token_signer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct TokenServiceContext {
  std::string service;  // the tokens' audience; a request naming another service is refused
  std::string issuer;
  int expiry_s = 300;
  const TokenSigner* signer = nullptr;
  const Htpasswd* users = nullptr;
  AuthGuards* auth_guards = nullptr;
  PolicyHolder* policy = nullptr;  // null: a listed user gets what it asks, anonymous nothing
};

// The repository scopes of the request's `scope` parameters (one or more, each holding one or
// more scopes separated by spaces), merged by repository. Scopes of another type, of an
// invalid repository name or naming no known action are left out.
std::vector<TokenGrant> requested_scopes(const HttpRequest& req);

// What `user` ("" anonymous) is granted of `asked`: the actions the policy allows there.
std::vector<TokenGrant> granted_scopes(const TokenServiceContext& ctx, const std::string& user,
                                       const std::vector<TokenGrant>& asked);

// The claims of a token for `user` granting `access`, issued at `now` (Unix seconds).
std::string token_claims(const TokenServiceContext& ctx, const std::string& user,
                         const std::vector<TokenGrant>& access, std::int64_t now);

// Answers one request to the token service.
void handle_token_request(TokenServiceContext& ctx, const HttpRequest& req, HttpResponse& res);

}  // namespace tool
