// Bearer tokens against a running server: RS256 and ES256 tokens from a token service's key
// grant what their access claim says; an expired, not-yet-valid, tampered, wrong-audience,
// wrong-issuer, wrongly signed or under-scoped token is refused with a Bearer challenge.
#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

namespace fs = std::filesystem;
using tooltest::ServerProcess;

std::string b64url(const std::string& in) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : in) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) out += kAlphabet[(bits >> (count -= 6)) & 63];
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 63];
  return out;
}

// Signs header.payload with the private key at `key_path` (RS256 for RSA, ES256 for EC).
std::string sign_jwt(const std::string& key_path, const std::string& payload) {
  std::FILE* f = std::fopen(key_path.c_str(), "r");
  EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  if (!key) return "";
  const bool ec = EVP_PKEY_base_id(key) == EVP_PKEY_EC;
  const std::string input =
      b64url(std::string("{\"alg\":\"") + (ec ? "ES256" : "RS256") + "\",\"typ\":\"JWT\"}") + "." +
      b64url(payload);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  size_t len = 0;
  EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSign(md, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()),
                 input.size());
  std::string sig(len, '\0');
  EVP_DigestSign(md, reinterpret_cast<unsigned char*>(sig.data()), &len,
                 reinterpret_cast<const unsigned char*>(input.data()), input.size());
  sig.resize(len);
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(key);
  if (ec) {  // DER to r||s
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sig.data());
    ECDSA_SIG* s = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
    std::string raw(64, '\0');
    BN_bn2binpad(ECDSA_SIG_get0_r(s), reinterpret_cast<unsigned char*>(raw.data()), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(s), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32);
    ECDSA_SIG_free(s);
    sig = raw;
  }
  return input + "." + b64url(sig);
}

std::string claims(const std::string& actions, long long exp_in = 300,
                   const std::string& aud = "tarnwick", const std::string& iss = "test-issuer",
                   long long nbf_in = -10) {
  const long long now = static_cast<long long>(std::time(nullptr));
  return R"({"iss":")" + iss + R"(","sub":"carol","aud":")" + aud + R"(","exp":)" +
         std::to_string(now + exp_in) + R"(,"nbf":)" + std::to_string(now + nbf_in) +
         R"(,"access":[{"type":"repository","name":"tok/app","actions":[)" + actions + "]}]}";
}

class TokenServerTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    dir_ = tooltest::make_temp_dir();
    const std::string kind = GetParam();
    const std::string gen = kind == "rsa"
                                ? "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                                : "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256";
    for (const std::string name : {"key", "other"})
      ASSERT_EQ(std::system((gen + " -out " + dir_ + "/" + name + ".pem 2>/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("openssl pkey -in " + dir_ + "/key.pem -pubout -out " + dir_ +
                           "/pub.pem 2>/dev/null")
                              .c_str()),
              0);
    server_ = std::make_unique<ServerProcess>(
        dir_ + "/store", std::vector<std::string>{},
        std::vector<std::string>{"--token-key", dir_ + "/pub.pem", "--token-realm",
                                 "https://auth.example/token", "--token-service", "tarnwick",
                                 "--token-issuer", "test-issuer"});
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->stop(), 0);
    }
    server_.reset();
    fs::remove_all(dir_);
  }
  httplib::Result get(const std::string& path, const std::string& token) {
    httplib::Client c = server_->client();
    httplib::Headers h;
    if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
    return c.Get(path.c_str(), h);
  }
  int push_blob(const std::string& token) {
    httplib::Client c = server_->client();
    httplib::Headers h{{"Authorization", "Bearer " + token}};
    auto r = c.Post(("/v2/tok/app/blobs/uploads/?digest=" + tool::sha256_digest("{}")).c_str(), h,
                    "{}", "application/octet-stream");
    return r ? r->status : -1;
  }
  std::string key() const { return dir_ + "/key.pem"; }

  std::string dir_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_P(TokenServerTest, TokensGrantTheirAccessAndBadOnesAreRefused) {
  auto anon = get("/v2/", "");
  ASSERT_TRUE(anon);
  EXPECT_EQ(anon->status, 401);
  EXPECT_EQ(anon->get_header_value("WWW-Authenticate"),
            R"(Bearer realm="https://auth.example/token",service="tarnwick")");
  const std::string push = sign_jwt(key(), claims(R"("pull","push")"));
  ASSERT_FALSE(push.empty());
  EXPECT_EQ(get("/v2/", push)->status, 200);
  EXPECT_EQ(push_blob(push), 201);
  EXPECT_EQ(get("/v2/tok/app/blobs/" + tool::sha256_digest("{}"), push)->status, 200);
  EXPECT_EQ(get("/v2/tok/app/tags/list", push)->status, 200);
  EXPECT_EQ(get("/v2/_catalog", push)->status, 200);

  // Under-scoped: pull only, then a push is challenged with the scope it needs.
  const std::string pull = sign_jwt(key(), claims(R"("pull")"));
  EXPECT_EQ(get("/v2/tok/app/tags/list", pull)->status, 200);
  EXPECT_EQ(push_blob(pull), 401);
  auto other_repo = get("/v2/tok/other/tags/list", pull);
  EXPECT_EQ(other_repo->status, 401);
  EXPECT_NE(
      other_repo->get_header_value("WWW-Authenticate").find(R"(scope="repository:tok/other:pull")"),
      std::string::npos);

  std::string tampered = pull;
  const size_t dot = tampered.find('.');
  tampered = tampered.substr(0, dot + 1) + b64url(claims(R"("pull","push")")) +
             tampered.substr(tampered.rfind('.'));
  for (const std::string& bad :
       {sign_jwt(key(), claims(R"("pull")", -5)),
        sign_jwt(key(), claims(R"("pull")", 300, "other")),
        sign_jwt(key(), claims(R"("pull")", 300, "tarnwick", "mallory")),
        sign_jwt(key(), claims(R"("pull")", 300, "tarnwick", "test-issuer", 120)),
        sign_jwt(dir_ + "/other.pem", claims(R"("pull")")), tampered, std::string("a.b.c"),
        std::string("garbage")}) {
    auto r = get("/v2/tok/app/tags/list", bad);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401) << bad;
    EXPECT_NE(r->get_header_value("WWW-Authenticate").find("Bearer realm="), std::string::npos);
  }
  // Basic credentials are not taken when tokens are.
  httplib::Client c = server_->client();
  c.set_basic_auth("carol", "x");
  EXPECT_EQ(c.Get("/v2/tok/app/tags/list")->status, 401);
}

INSTANTIATE_TEST_SUITE_P(Keys, TokenServerTest, ::testing::Values("rsa", "ec"));

}  // namespace
