// Signing of the bundled token service's JWTs with the operator's private key: RS256 for an
// RSA key, ES256 for a P-256 key, as the registry's verifier (bearer_token.h) expects them.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <string_view>

namespace tool {

class TokenSigner {
 public:
  // Reads a PEM private key; false (error set) when it is not an RSA or P-256 key.
  bool load(const std::string& path, std::string& error);
  // header.payload.signature, the header naming the key's algorithm; "" when signing fails.
  std::string sign(std::string_view payload) const;
  const std::string& algorithm() const { return alg_; }

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
  };
  std::unique_ptr<EVP_PKEY, KeyFree> key_;
  std::string alg_;
};

}  // namespace tool
