// The bundled token service in process: what it grants (the request's scopes within the
// policy), to whom (listed users, or anonymous), and that the registry's verifier takes the
// tokens it signs with an RSA or a P-256 key.
#include <gtest/gtest.h>

#include "json_util.h"
#include "token_service.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class TokenServiceTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    // One directory per process: ctest runs the cases of this suite in parallel.
    dir_ = fs::temp_directory_path() / ("tarnwick-token-unit-" + std::string(GetParam()) + "-" +
                                        std::to_string(getpid()));
    fs::create_directories(dir_);
    const std::string gen = std::string(GetParam()) == "rsa"
                                ? "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                                : "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256";
    ASSERT_EQ(std::system((gen + " -out " + dir_ + "/key.pem 2>/dev/null && openssl pkey -in " +
                           dir_ + "/key.pem -pubout -out " + dir_ + "/pub.pem 2>/dev/null")
                              .c_str()),
              0);
    // alice (password "secret") may pull and push team/*; anyone may pull public/*.
    std::ofstream(dir_ + "/htpasswd")
        << "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n";
    std::ofstream(dir_ + "/policy.toml")
        << "[anonymous]\npull = [\"public/*\"]\n"
           "[[rule]]\nrepositories = [\"team/*\"]\nusers = [\"alice\"]\nactions = [\"pull\", "
           "\"push\"]\n";
    std::string error;
    ASSERT_TRUE(users_.load(dir_ + "/htpasswd", error)) << error;
    ASSERT_TRUE(policy_.load(dir_ + "/policy.toml", error)) << error;
    ASSERT_TRUE(signer_.load(dir_ + "/key.pem", error)) << error;
    ASSERT_TRUE(
        verifier_.load({"https://auth/token", "registry", "issuer", dir_ + "/pub.pem"}, error))
        << error;
    ctx_.service = "registry";
    ctx_.issuer = "issuer";
    ctx_.signer = &signer_;
    ctx_.users = &users_;
    ctx_.policy = &policy_;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Asks for `query`; with `basic` ("Basic ..." header) when not empty.
  tool::HttpResponse ask(const std::string& query, const std::string& basic = "") {
    tool::HttpRequest req;
    req.method = "GET";
    EXPECT_TRUE(tool::set_request_target(req, "/token?" + query));
    if (!basic.empty()) req.headers.emplace("Authorization", basic);
    tool::HttpResponse res;
    tool::handle_token_request(ctx_, req, res);
    return res;
  }
  // The verified claims of the token in `res`.
  tool::TokenClaims claims_of(const tool::HttpResponse& res) {
    tool::DocPtr doc = tool::parse_json(res.body);
    yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    const std::string token = tool::json_str(root, "token");
    EXPECT_EQ(tool::json_str(root, "access_token"), token);
    EXPECT_EQ(tool::json_int(root, "expires_in"), 300);
    EXPECT_EQ(tool::json_str(root, "issued_at").size(), 20u);
    tool::TokenClaims c;
    std::string why;
    EXPECT_TRUE(verifier_.verify(token, std::time(nullptr), c, why)) << why;
    return c;
  }

  std::string dir_;
  tool::Htpasswd users_;
  tool::PolicyHolder policy_;
  tool::TokenSigner signer_;
  tool::TokenVerifier verifier_;
  tool::TokenServiceContext ctx_;
};

constexpr const char* kAlice = "Basic YWxpY2U6c2VjcmV0";  // alice:secret

TEST_P(TokenServiceTest, GrantsTheAskedScopesWithinThePolicy) {
  // A mount asks for two repositories; scopes may also share one parameter.
  auto res =
      ask("service=registry&scope=repository:team/app:pull,push&scope=repository:"
          "public/lib:pull%20repository:team/app:delete%20repository:other:pull",
          kAlice);
  ASSERT_EQ(res.status, 200) << res.body;
  EXPECT_EQ(res.get_header_value("Cache-Control"), "no-store");
  tool::TokenClaims c = claims_of(res);
  EXPECT_EQ(c.subject, "alice");
  EXPECT_EQ(c.allowed("team/app"), tool::Actions{tool::kPull | tool::kPush});
  EXPECT_EQ(c.allowed("public/lib"), tool::Actions{tool::kPull});
  EXPECT_EQ(c.allowed("other"), 0u);
  EXPECT_EQ(c.access.size(), 2u);  // nothing granted, nothing listed

  // Without credentials: what the policy opens to everyone.
  c = claims_of(ask("scope=repository:public/lib:pull,push&scope=repository:team/app:pull"));
  EXPECT_EQ(c.subject, "");
  EXPECT_EQ(c.allowed("public/lib"), tool::Actions{tool::kPull});
  EXPECT_EQ(c.allowed("team/app"), 0u);

  // Malformed and foreign scopes grant nothing; a login asks for none and gets a token.
  c =
      claims_of(ask("scope=registry:catalog:*&scope=repository:team/a:fly&scope=repository:"
                    "team/../x:pull&scope=repository:team/app",
                    kAlice));
  EXPECT_TRUE(c.access.empty());

  // Without a policy a listed user gets what it asks for, anonymous nothing.
  ctx_.policy = nullptr;
  EXPECT_EQ(claims_of(ask("scope=repository:any/repo:*", kAlice)).allowed("any/repo"),
            tool::Actions{tool::kPull | tool::kPush | tool::kDelete});
  EXPECT_TRUE(claims_of(ask("scope=repository:any/repo:pull")).access.empty());
}

TEST_P(TokenServiceTest, RefusesWrongCredentialsAndForeignServices) {
  auto res = ask("scope=repository:team/app:pull", "Basic YWxpY2U6d3Jvbmc=");  // alice:wrong
  EXPECT_EQ(res.status, 401);
  EXPECT_NE(res.get_header_value("WWW-Authenticate").find("Basic realm="), std::string::npos);
  EXPECT_EQ(ask("service=elsewhere", kAlice).status, 400);
  EXPECT_EQ(ask("", "Bearer abc").status, 401);
  tool::HttpRequest req;
  tool::HttpResponse other;
  req.method = "GET";
  ASSERT_TRUE(tool::set_request_target(req, "/v2/"));
  tool::handle_token_request(ctx_, req, other);
  EXPECT_EQ(other.status, 404);
}

INSTANTIATE_TEST_SUITE_P(Keys, TokenServiceTest, ::testing::Values("rsa", "ec"));

}  // namespace
