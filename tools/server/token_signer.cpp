#include "token_signer.h"

#include <openssl/ecdsa.h>
#include <openssl/pem.h>

#include <cstdio>

#include "base64.h"

namespace tool {
namespace {

EVP_PKEY* read_private_key(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  return k;
}

// OpenSSL signs ECDSA in DER; JOSE wants r||s, 32 bytes each.
bool der_to_es256(const std::string& der, std::string& raw) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
  if (sig == nullptr) return false;
  raw.assign(64, '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(raw.data());
  const bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), out, 32) == 32 &&
                  BN_bn2binpad(ECDSA_SIG_get0_s(sig), out + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  return ok;
}

}  // namespace

bool TokenSigner::load(const std::string& path, std::string& error) {
  key_.reset(read_private_key(path));
  if (!key_) {
    error = "tokens: cannot read a private key from " + path;
    return false;
  }
  if (EVP_PKEY_base_id(key_.get()) == EVP_PKEY_RSA) {
    alg_ = "RS256";
  } else if (EVP_PKEY_base_id(key_.get()) == EVP_PKEY_EC && EVP_PKEY_bits(key_.get()) == 256) {
    alg_ = "ES256";
  } else {
    error = "tokens: " + path + " is neither an RSA nor a P-256 key";
    return false;
  }
  return true;
}

std::string TokenSigner::sign(std::string_view payload) const {
  const std::string input =
      base64_encode("{\"alg\":\"" + alg_ + "\",\"typ\":\"JWT\"}", Base64Alphabet::url) + "." +
      base64_encode(payload, Base64Alphabet::url);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  size_t len = 0;
  std::string sig;
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  bool ok = md != nullptr &&
            EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
            EVP_DigestSign(md, nullptr, &len, data, input.size()) == 1;
  if (ok) {
    sig.resize(len);
    ok = EVP_DigestSign(md, reinterpret_cast<unsigned char*>(sig.data()), &len, data,
                        input.size()) == 1;
    sig.resize(len);
  }
  EVP_MD_CTX_free(md);
  if (ok && alg_ == "ES256") ok = der_to_es256(std::string(sig), sig);
  return ok ? input + "." + base64_encode(sig, Base64Alphabet::url) : std::string();
}

}  // namespace tool
