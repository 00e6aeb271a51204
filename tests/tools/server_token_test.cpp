// Bearer tokens against a running server: RS256 and ES256 tokens from a token service's key
// grant what their access claim says; an expired, not-yet-valid, tampered, wrong-audience,
// wrong-issuer, wrongly signed or under-scoped token is refused with a Bearer challenge.
#include <gtest/gtest.h>

#include "base64.h"
#include "digest.h"
#include "server_process.h"
#include "token_signer.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

namespace fs = std::filesystem;
using tooltest::ServerProcess;

// Signs `payload` with the private key at `key_path` (RS256 for RSA, ES256 for EC).
std::string sign_jwt(const std::string& key_path, const std::string& payload) {
  tool::TokenSigner signer;
  std::string error;
  return signer.load(key_path, error) ? signer.sign(payload) : "";
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
  tampered = tampered.substr(0, dot + 1) +
             tool::base64_encode(claims(R"("pull","push")"), tool::Base64Alphabet::url) +
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
