#include "bearer_token.h"

#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

#include "base64.h"
#include "json_util.h"

namespace tool {
namespace {

constexpr std::size_t kMaxToken = 16384;

EVP_PKEY* read_key(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  EVP_PKEY* k = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
  if (k == nullptr) {
    std::rewind(f);
    if (X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
      k = X509_get_pubkey(cert);
      X509_free(cert);
    }
  }
  std::fclose(f);
  return k;
}

// JOSE's ES256 signature is r||s, 32 bytes each; OpenSSL verifies the DER form.
bool es256_to_der(const std::string& raw, std::string& der) {
  if (raw.size() != 64) return false;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()), 32, nullptr);
  BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()) + 32, 32, nullptr);
  if (sig == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return false;
  }
  unsigned char* out = nullptr;
  const int n = i2d_ECDSA_SIG(sig, &out);
  ECDSA_SIG_free(sig);
  if (n <= 0) return false;
  der.assign(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
  OPENSSL_free(out);
  return true;
}

bool audience_matches(yyjson_val* aud, const std::string& service) {
  if (yyjson_is_str(aud)) return yyjson_get_str(aud) == service;
  std::size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(aud, i, n, v) {
    if (yyjson_is_str(v) && yyjson_get_str(v) == service) return true;
  }
  return false;
}

bool time_claim(yyjson_val* root, const char* key, std::int64_t& out) {
  yyjson_val* v = yyjson_obj_get(root, key);
  if (!yyjson_is_num(v)) return false;
  out = static_cast<std::int64_t>(yyjson_get_num(v));
  return true;
}

void read_access(yyjson_val* access, std::vector<TokenGrant>& out) {
  std::size_t i, n, j, m;
  yyjson_val *e, *a;
  yyjson_arr_foreach(access, i, n, e) {
    if (json_str(e, "type") != "repository") continue;
    TokenGrant g{json_str(e, "name"), 0};
    yyjson_arr_foreach(yyjson_obj_get(e, "actions"), j, m, a) {
      if (!yyjson_is_str(a)) continue;
      const std::string_view s = yyjson_get_str(a);
      g.actions |= s == "*" ? Actions{kPull | kPush | kDelete} : action_of(s);
    }
    if (!g.repository.empty()) out.push_back(std::move(g));
  }
}

}  // namespace

Actions TokenClaims::allowed(std::string_view repo) const {
  Actions a = 0;
  for (const auto& g : access)
    if (g.repository == repo) a |= g.actions;
  return a;
}

bool TokenVerifier::load(const TokenSettings& s, std::string& error) {
  s_ = s;
  key_.reset(read_key(s.key));
  if (!key_) {
    error = "tokens: cannot read a public key from " + s.key;
    return false;
  }
  if (EVP_PKEY_base_id(key_.get()) == EVP_PKEY_RSA) {
    alg_ = "RS256";
  } else if (EVP_PKEY_base_id(key_.get()) == EVP_PKEY_EC && EVP_PKEY_bits(key_.get()) == 256) {
    alg_ = "ES256";
  } else {
    error = "tokens: " + s.key + " is neither an RSA nor a P-256 key";
    return false;
  }
  if (s.issuer.empty() || s.service.empty() || s.realm.empty()) {
    error = "tokens: the realm, service and issuer are all needed";
    return false;
  }
  return true;
}

bool TokenVerifier::verify(std::string_view token, std::int64_t now, TokenClaims& out,
                           std::string& why) const {
  const std::size_t d1 = token.find('.');
  const std::size_t d2 = d1 == std::string_view::npos ? d1 : token.find('.', d1 + 1);
  if (token.size() > kMaxToken || d2 == std::string_view::npos ||
      token.find('.', d2 + 1) != std::string_view::npos) {
    why = "malformed token";
    return false;
  }
  std::string header, payload, sig;
  if (!base64_decode(token.substr(0, d1), Base64Alphabet::url, header) ||
      !base64_decode(token.substr(d1 + 1, d2 - d1 - 1), Base64Alphabet::url, payload) ||
      !base64_decode(token.substr(d2 + 1), Base64Alphabet::url, sig)) {
    why = "malformed token";
    return false;
  }
  DocPtr h = parse_json(header);
  // The algorithm is the key's: a token naming another (or "none") is refused.
  if (!h || json_str(yyjson_doc_get_root(h.get()), "alg") != alg_) {
    why = "token algorithm is not " + alg_;
    return false;
  }
  std::string der = sig;
  if (alg_ == "ES256" && !es256_to_der(sig, der)) {
    why = "bad token signature";
    return false;
  }
  const std::string_view signed_part = token.substr(0, d2);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  const bool good =
      md != nullptr && EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
      EVP_DigestVerify(md, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                       reinterpret_cast<const unsigned char*>(signed_part.data()),
                       signed_part.size()) == 1;
  EVP_MD_CTX_free(md);
  if (!good) {
    why = "bad token signature";
    return false;
  }
  DocPtr p = parse_json(payload);
  yyjson_val* root = p ? yyjson_doc_get_root(p.get()) : nullptr;
  std::int64_t exp = 0, nbf = 0;
  if (!yyjson_is_obj(root) || json_str(root, "iss") != s_.issuer) {
    why = "token from another issuer";
    return false;
  }
  if (!audience_matches(yyjson_obj_get(root, "aud"), s_.service)) {
    why = "token for another service";
    return false;
  }
  if (!time_claim(root, "exp", exp) || exp <= now) {
    why = "token expired";
    return false;
  }
  if (time_claim(root, "nbf", nbf) && nbf > now) {
    why = "token not valid yet";
    return false;
  }
  out = TokenClaims{};
  out.subject = json_str(root, "sub");
  read_access(yyjson_obj_get(root, "access"), out.access);
  return true;
}

}  // namespace tool
