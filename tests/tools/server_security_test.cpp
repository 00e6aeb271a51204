// Serving securely: HTTPS with htpasswd users (every request challenged, uploads bound to
// the user who opened them), the read-only mode, and the refusal to listen beyond loopback
// without TLS and credentials.
#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace {

namespace fs = std::filesystem;
using tooltest::ServerProcess;

// Made with `htpasswd -nbB`: alice/secret and bob/hunter2.
constexpr const char* kUsers =
    "# registry users\n"
    "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n"
    "bob:$2y$05$ecFmN1P1yKArxtEd/wtm5.0CD08S5CxrW9EsIkCuRbLCPGLNJhc1W\n";

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Every file and directory below `dir` with its size, to prove a refused request wrote nothing.
std::map<std::string, uintmax_t> tree_of(const std::string& dir) {
  std::map<std::string, uintmax_t> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    out[e.path().string()] = e.is_regular_file() ? e.file_size() : 0;
  return out;
}

void expect_api_error(const httplib::Result& r, int status, const std::string& code,
                      const std::string& message, const std::string& what) {
  ASSERT_TRUE(r) << what;
  EXPECT_EQ(r->status, status) << what;
  EXPECT_EQ(r->body, R"({"errors":[{"code":")" + code + R"(","message":")" + message + R"("}]})")
      << what;
}

class SecureServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    dir_ = tooltest::make_temp_dir();
    std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        dir_ + "/key.pem -out " + dir_ + "/cert.pem 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl could not make a certificate";
    write_file(dir_ + "/htpasswd", kUsers);
    server_ = std::make_unique<ServerProcess>(
        dir_ + "/store", std::vector<std::string>{},
        std::vector<std::string>{"--tls-cert", dir_ + "/cert.pem", "--tls-key", dir_ + "/key.pem",
                                 "--htpasswd", dir_ + "/htpasswd", "--auth-failures-per-minute",
                                 "1000"},
        "127.0.0.1:0", true);
  }
  static void TearDownTestSuite() {
    if (server_) {
      EXPECT_EQ(server_->stop(), 0);
    }
    server_.reset();
    fs::remove_all(dir_);
  }

  httplib::Client as(const char* user, const char* password) {
    httplib::Client c = server_->client();
    if (user) c.set_basic_auth(user, password);
    return c;
  }
  static std::string root() { return dir_ + "/store"; }
  static int port() { return server_->port(); }

 private:
  static inline std::string dir_;
  static inline std::unique_ptr<ServerProcess> server_;
};

TEST_F(SecureServerTest, EveryRequestWithoutValidCredentialsIsChallenged) {
  struct Who {
    const char* user;
    const char* password;
    const char* raw_header;  // sent as is instead of user/password
    const char* message;
  } callers[] = {
      {nullptr, nullptr, nullptr, "authentication required"},
      {"alice", "wrong", nullptr, "invalid username or password"},
      {"alice", "", nullptr, "invalid username or password"},
      {"mallory", "secret", nullptr, "invalid username or password"},
      {"bob", "secret", nullptr, "invalid username or password"},  // alice's password
      {nullptr, nullptr, "Bearer abc", "authentication required"},
      {nullptr, nullptr, "Basic !!!!", "authentication required"},
      {nullptr, nullptr, "Basic YWxpY2U=", "authentication required"},  // "alice", no colon
      {nullptr, nullptr, "Basic YWxpY2U6c2VjcmV0AHg=", "invalid username or password"},  // NUL
  };
  std::string body = "data";
  std::string d = tool::sha256_digest(body);
  auto before = tree_of(root());
  for (const Who& w : callers) {
    httplib::Client c = as(w.user, w.password);
    httplib::Headers h;
    if (w.raw_header) h.emplace("Authorization", w.raw_header);
    std::string who = std::string(w.user ? w.user : "-") + "/" + (w.raw_header ? w.raw_header : "");
    std::vector<std::pair<std::string, httplib::Result>> replies;
    replies.emplace_back("GET /v2/", c.Get("/v2/", h));
    replies.emplace_back("GET catalog", c.Get("/v2/_catalog", h));
    replies.emplace_back("GET unknown path", c.Get("/v2/no/such/thing", h));
    replies.emplace_back("POST upload", c.Post(("/v2/a/blobs/uploads/?digest=" + d).c_str(), h,
                                               body, "application/octet-stream"));
    replies.emplace_back("PUT manifest", c.Put("/v2/a/manifests/v1", h, "{}", "application/json"));
    replies.emplace_back("DELETE manifest", c.Delete("/v2/a/manifests/v1", h));
    for (auto& [what, r] : replies) {
      expect_api_error(r, 401, "UNAUTHORIZED", w.message, who + " " + what);
      EXPECT_EQ(r->get_header_value("WWW-Authenticate"), R"(Basic realm="tarnwick-registry")")
          << who << " " << what;
    }
  }
  EXPECT_EQ(tree_of(root()), before);
  for (auto [user, password] : {std::pair{"alice", "secret"}, std::pair{"bob", "hunter2"}}) {
    auto ok = as(user, password).Get("/v2/");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200) << user;
  }
}

TEST_F(SecureServerTest, PlainHttpGetsNoAnswerFromTheTlsPort) {
  std::string reply = tooltest::send_raw(port(), "GET /v2/ HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(reply.find("HTTP/1.1"), std::string::npos) << reply;
}

TEST_F(SecureServerTest, AnUploadAnswersOnlyToTheUserWhoOpenedIt) {
  httplib::Client alice = as("alice", "secret");
  httplib::Client bob = as("bob", "hunter2");
  auto started = alice.Post("/v2/team/app/blobs/uploads/", "", 0, "application/octet-stream");
  ASSERT_TRUE(started);
  ASSERT_EQ(started->status, 202);
  std::string loc = started->get_header_value("Location");
  std::string uuid = started->get_header_value("Docker-Upload-UUID");
  ASSERT_EQ(alice.Patch(loc.c_str(), "abc", 3, "application/octet-stream")->status, 202);
  std::string d = tool::sha256_digest("abc");
  // Bob knows (or guesses) the id: on alice's repository and on his own it is unknown to him.
  for (const std::string& path : {loc, "/v2/bob/app/blobs/uploads/" + uuid}) {
    std::string msg = "upload not found: " + uuid;
    expect_api_error(bob.Patch(path.c_str(), "zzz", 3, "application/octet-stream"), 404,
                     "BLOB_UPLOAD_UNKNOWN", msg, "PATCH " + path);
    expect_api_error(bob.Get(path.c_str()), 404, "BLOB_UPLOAD_UNKNOWN", msg, "GET " + path);
    expect_api_error(bob.Put((path + "?digest=" + d).c_str(), "", 0, "application/octet-stream"),
                     404, "BLOB_UPLOAD_UNKNOWN", msg, "PUT " + path);
    expect_api_error(bob.Delete(path.c_str()), 404, "BLOB_UPLOAD_UNKNOWN", msg, "DELETE " + path);
  }
  auto status = alice.Get(loc.c_str());
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 204);
  EXPECT_EQ(status->get_header_value("Range"), "0-2");  // bob appended nothing
  auto done = alice.Put((loc + "?digest=" + d).c_str(), "", 0, "application/octet-stream");
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 201);
  auto blob = bob.Get(("/v2/team/app/blobs/" + d).c_str());  // stored blobs are shared
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->body, "abc");
}

// A store with one blob in it, served read-only.
TEST(ReadOnlyServerTest, RefusesEveryWriteAndServesReads) {
  signal(SIGPIPE, SIG_IGN);
  std::string dir = tooltest::make_temp_dir(), root = dir + "/store";
  std::string d = tool::sha256_digest("kept");
  {
    ServerProcess writable(root, {}, {});
    httplib::Client c = writable.client();
    ASSERT_EQ(
        c.Post(("/v2/ro/app/blobs/uploads/?digest=" + d).c_str(), "kept", "text/plain")->status,
        201);
  }
  ServerProcess server(root, {}, {"--read-only"});
  httplib::Client c = server.client();
  auto before = tree_of(root);
  std::string upload = "/v2/ro/app/blobs/uploads/00000000-0000-0000-0000-000000000000";
  std::vector<std::pair<std::string, httplib::Result>> writes;
  writes.emplace_back("POST",
                      c.Post("/v2/ro/app/blobs/uploads/", "", 0, "application/octet-stream"));
  writes.emplace_back("POST digest", c.Post(("/v2/ro/app/blobs/uploads/?digest=" + d).c_str(),
                                            "kept", "text/plain"));
  writes.emplace_back("PATCH", c.Patch(upload.c_str(), "x", 1, "application/octet-stream"));
  writes.emplace_back("PUT upload",
                      c.Put((upload + "?digest=" + d).c_str(), "", 0, "application/octet-stream"));
  writes.emplace_back("PUT manifest", c.Put("/v2/ro/app/manifests/v1", "{}", "application/json"));
  writes.emplace_back("DELETE manifest", c.Delete("/v2/ro/app/manifests/v1"));
  writes.emplace_back("DELETE blob", c.Delete(("/v2/ro/app/blobs/" + d).c_str()));
  writes.emplace_back("DELETE unknown path", c.Delete("/v2/nowhere"));
  for (auto& [what, r] : writes)
    expect_api_error(r, 405, "UNSUPPORTED", "the registry is read-only", what);
  EXPECT_EQ(tree_of(root), before);
  auto blob = c.Get(("/v2/ro/app/blobs/" + d).c_str());
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->body, "kept");
  EXPECT_EQ(c.Get("/v2/_catalog")->status, 200);
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

TEST(ListenPolicyTest, RefusesBadSecuritySettingsBeforeTouchingTheStore) {
  std::string dir = tooltest::make_temp_dir(), root = dir + "/store";
  write_file(dir + "/users", kUsers);
  write_file(dir + "/md5", "carol:$apr1$9v1PqUNV$gtKVRFaZZvV2LD9r4zGqk.\n");
  write_file(dir + "/empty", "# nobody\n");
  write_file(
      dir + "/twice",
      std::string(kUsers) + "alice:$2y$05$ecFmN1P1yKArxtEd/wtm5.0CD08S5CxrW9EsIkCuRbLCPGLNJhc1W\n");
  write_file(dir + "/junk.pem", "not a certificate\n");
  std::string refused_any =
      "tarnwick-registry: serve: refusing to listen on 0.0.0.0 without --tls-cert, "
      "--tls-key and --htpasswd (pass --insecure to do it anyway)\n";
  std::string pem = dir + "/junk.pem";
  struct Case {
    std::vector<std::string> serve_args;
    std::string stderr_text;
  } cases[] = {
      {{"--listen", "0.0.0.0:0"}, refused_any},
      {{"--listen", "0.0.0.0:0", "--htpasswd", dir + "/users"}, refused_any},
      {{"--listen", "0.0.0.0:0", "--tls-cert", pem, "--tls-key", pem}, refused_any},
      {{"--listen", "[::]:0"},
       "tarnwick-registry: serve: refusing to listen on :: without --tls-cert, --tls-key and "
       "--htpasswd (pass --insecure to do it anyway)\n"},
      {{"--listen", "registry.example:5000"},
       "tarnwick-registry: serve: refusing to listen on registry.example without --tls-cert, "
       "--tls-key and --htpasswd (pass --insecure to do it anyway)\n"},
      {{"--tls-cert", pem}, "tarnwick-registry: serve: --tls-cert and --tls-key go together\n"},
      {{"--tls-key", pem}, "tarnwick-registry: serve: --tls-cert and --tls-key go together\n"},
      {{"--tls-cert", pem, "--tls-key", pem},
       "tarnwick-registry: serve: cannot load the TLS certificate or key\n"},
      {{"--htpasswd", dir + "/none"},
       "tarnwick-registry: serve: htpasswd: cannot read " + dir + "/none\n"},
      {{"--htpasswd", dir + "/md5"},
       "tarnwick-registry: serve: htpasswd " + dir +
           "/md5 line 1: the entry of carol is not bcrypt (make it with htpasswd -B)\n"},
      {{"--htpasswd", dir + "/empty"},
       "tarnwick-registry: serve: htpasswd " + dir + "/empty: no users\n"},
      {{"--htpasswd", dir + "/twice"},
       "tarnwick-registry: serve: htpasswd " + dir + "/twice line 4: alice appears twice\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--root", root, "serve"};
    args.insert(args.end(), c.serve_args.begin(), c.serve_args.end());
    std::string out, err;
    EXPECT_EQ(tooltest::run_tool(args, &out, &err), 1) << c.serve_args[1];
    EXPECT_EQ(err, c.stderr_text);
    EXPECT_EQ(out, "");
    EXPECT_FALSE(fs::exists(root)) << c.serve_args[1];
  }
  fs::remove_all(dir);
}

TEST(ListenPolicyTest, ServesBeyondLoopbackWithInsecureOrWithTlsAndCredentials) {
  signal(SIGPIPE, SIG_IGN);
  std::string dir = tooltest::make_temp_dir();
  std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
      "-subj /CN=localhost -keyout " +
      dir + "/k.pem -out " + dir + "/c.pem 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  write_file(dir + "/users", kUsers);
  {
    ServerProcess open_server(dir + "/a", {}, {"--insecure"}, "0.0.0.0:0");
    auto r = open_server.client().Get("/v2/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
  }
  ServerProcess secure(
      dir + "/b", {},
      {"--tls-cert", dir + "/c.pem", "--tls-key", dir + "/k.pem", "--htpasswd", dir + "/users"},
      "0.0.0.0:0", true);
  httplib::Client c = secure.client();
  EXPECT_EQ(c.Get("/v2/")->status, 401);
  c.set_basic_auth("bob", "hunter2");
  EXPECT_EQ(c.Get("/v2/")->status, 200);
  EXPECT_EQ(secure.stop(), 0);
  fs::remove_all(dir);
}

// Failed logins from one address are limited; credentials that passed lately still work.
TEST(AuthLimitTest, RepeatedFailuresFromOneAddressGet429) {
  std::string dir = tooltest::make_temp_dir();
  write_file(dir + "/htpasswd", kUsers);
  ServerProcess server(dir + "/store", {},
                       {"--htpasswd", dir + "/htpasswd", "--auth-failures-per-minute", "3"});
  auto get = [&](const char* user, const char* password) {
    httplib::Client c = server.client();
    c.set_basic_auth(user, password);
    auto r = c.Get("/v2/");
    return r ? r->status : -1;
  };
  EXPECT_EQ(get("alice", "secret"), 200);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(get("alice", "guess"), 401) << i;
  EXPECT_EQ(get("alice", "guess"), 429);
  EXPECT_EQ(get("bob", "hunter2"), 429);   // not checked while the address is limited
  EXPECT_EQ(get("alice", "secret"), 200);  // passed a minute ago: no check needed
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

}  // namespace
