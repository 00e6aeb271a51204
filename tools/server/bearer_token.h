// Bearer tokens as Docker and OCI clients speak them: a JWT (RS256 or ES256) issued by a token
// service, verified with the service's public key; issuer, audience, expiry and not-before
// checked; its `access` claim grants actions on repositories.
#pragma once

#include "access_policy.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

struct TokenGrant {
  std::string repository;
  Actions actions = 0;
};

struct TokenClaims {
  std::string subject;
  std::vector<TokenGrant> access;
  Actions allowed(std::string_view repo) const;
};

struct TokenSettings {
  std::string realm;    // where clients get tokens (the challenge's realm)
  std::string service;  // the audience tokens must name (the challenge's service)
  std::string issuer;   // the issuer tokens must name
  std::string key;      // PEM public key (or certificate) of the token service
};

class TokenVerifier {
 public:
  // Reads the key; false (error set) when it is not an RSA or P-256 key.
  bool load(const TokenSettings& s, std::string& error);
  // Checks `token` at `now` (Unix seconds); false with the reason when it is refused.
  bool verify(std::string_view token, std::int64_t now, TokenClaims& out, std::string& why) const;
  const TokenSettings& settings() const { return s_; }

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
  };
  TokenSettings s_;
  std::unique_ptr<EVP_PKEY, KeyFree> key_;
  std::string alg_;  // "RS256" or "ES256", by the key's type
};

}  // namespace tool
