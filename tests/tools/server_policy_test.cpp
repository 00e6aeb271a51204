// The access policy against a running server: two users and three globs checked on every
// endpoint (pull, push, delete, catalog, tags, referrers, mounts), anonymous pulls, 401 for
// anonymous and 403 for authenticated callers, and a reload on SIGHUP that keeps connections.
#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <signal.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tooltest::ServerProcess;

// Made with `htpasswd -nbB`: alice/secret and bob/hunter2.
constexpr const char* kUsers =
    "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n"
    "bob:$2y$05$ecFmN1P1yKArxtEd/wtm5.0CD08S5CxrW9EsIkCuRbLCPGLNJhc1W\n";

constexpr const char* kPolicy = R"([groups]
team = ["alice", "bob"]

[anonymous]
pull = ["public/*"]

[[rule]]
repositories = ["team/*"]
groups = ["team"]
actions = ["pull", "push"]

[[rule]]
repositories = ["team/app"]
users = ["alice"]
actions = ["delete"]

[[rule]]
repositories = ["alice/*", "public/*"]
users = ["alice"]
actions = ["pull", "push", "delete"]
)";

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

class PolicyServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    dir_ = tooltest::make_temp_dir();
    write_file(dir_ + "/htpasswd", kUsers);
    write_file(dir_ + "/policy.toml", kPolicy);
    server_ = std::make_unique<ServerProcess>(
        dir_ + "/store", std::vector<std::string>{},
        std::vector<std::string>{"--htpasswd", dir_ + "/htpasswd", "--policy",
                                 dir_ + "/policy.toml"});
  }
  static void TearDownTestSuite() {
    if (server_) {
      EXPECT_EQ(server_->stop(), 0);
    }
    server_.reset();
    fs::remove_all(dir_);
  }

  static httplib::Client as(const char* user) {
    httplib::Client c = server_->client();
    if (user) c.set_basic_auth(user, std::string(user) == "alice" ? "secret" : "hunter2");
    return c;
  }
  static std::string push_blob(httplib::Client& c, const std::string& repo, const std::string& data,
                               int expect = 201) {
    const std::string d = tool::sha256_digest(data);
    auto r = c.Post(("/v2/" + repo + "/blobs/uploads/?digest=" + d).c_str(), data,
                    "application/octet-stream");
    EXPECT_TRUE(r && r->status == expect) << repo << " " << (r ? r->body : "no response");
    return d;
  }
  static std::string manifest(const std::string& config) {
    return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
           config + R"(","size":2},"layers":[]})";
  }
  static int put(httplib::Client& c, const std::string& repo, const std::string& ref,
                 const std::string& body) {
    auto r = c.Put(("/v2/" + repo + "/manifests/" + ref).c_str(), body,
                   "application/vnd.oci.image.manifest.v1+json");
    return r ? r->status : -1;
  }
  static int status(const httplib::Result& r) { return r ? r->status : -1; }

  static inline std::string dir_;
  static inline std::unique_ptr<ServerProcess> server_;
};

TEST_F(PolicyServerTest, EveryEndpointFollowsThePolicy) {
  auto alice = as("alice"), bob = as("bob"), anon = as(nullptr);
  auto base = anon.Get("/v2/");
  EXPECT_EQ(status(base), 401);
  EXPECT_NE(base->get_header_value("WWW-Authenticate").find("Basic realm="), std::string::npos);
  EXPECT_EQ(status(alice.Get("/v2/")), 200);
  EXPECT_EQ(status(as("alice").Get("/v2/team/app/tags/list")), 200);
  auto wrong = server_->client();
  wrong.set_basic_auth("alice", "wrong");
  EXPECT_EQ(status(wrong.Get("/v2/public/lib/tags/list")), 401);  // bad credentials stay bad

  // Push: both into team/*, only alice into alice/* and public/*.
  const std::string cfg = push_blob(alice, "team/app", "{}");
  const std::string body = manifest(cfg);
  EXPECT_EQ(put(alice, "team/app", "v1", body), 201);
  EXPECT_EQ(put(bob, "team/app", "v2", body), 201);
  const std::string secret = push_blob(alice, "alice/private", "[]");
  EXPECT_EQ(put(alice, "alice/private", "v1", manifest(secret)), 201);
  EXPECT_EQ(put(alice, "public/lib", "v1", body), 201);
  push_blob(bob, "alice/private", "{}", 403);
  EXPECT_EQ(put(bob, "alice/private", "v2", body), 403);
  auto denied = bob.Put("/v2/alice/private/manifests/v3", body, "application/json");
  EXPECT_NE(denied->body.find("\"DENIED\""), std::string::npos);
  auto anon_push = anon.Post("/v2/public/lib/blobs/uploads/", "", "application/octet-stream");
  EXPECT_EQ(status(anon_push), 401);
  EXPECT_TRUE(anon_push->has_header("WWW-Authenticate"));

  // Pull: manifests, blobs, tags and referrers.
  EXPECT_EQ(status(bob.Get("/v2/team/app/manifests/v1")), 200);
  EXPECT_EQ(status(bob.Get("/v2/alice/private/manifests/v1")), 403);
  EXPECT_EQ(status(bob.Head(("/v2/alice/private/blobs/" + secret).c_str())), 403);
  EXPECT_EQ(status(bob.Get("/v2/alice/private/tags/list")), 403);
  EXPECT_EQ(status(bob.Get(("/v2/alice/private/referrers/" + cfg).c_str())), 403);
  EXPECT_EQ(status(bob.Get(("/v2/team/app/referrers/" + cfg).c_str())), 200);
  EXPECT_EQ(status(anon.Get("/v2/public/lib/manifests/v1")), 200);
  EXPECT_EQ(status(anon.Get("/v2/team/app/manifests/v1")), 401);

  // Catalog: what the caller may pull.
  EXPECT_EQ(bob.Get("/v2/_catalog")->body, R"({"repositories":["public/lib","team/app"]})");
  EXPECT_EQ(alice.Get("/v2/_catalog")->body,
            R"({"repositories":["alice/private","public/lib","team/app"]})");
  EXPECT_EQ(anon.Get("/v2/_catalog")->body, R"({"repositories":["public/lib"]})");
  auto page = alice.Get("/v2/_catalog?n=1&last=alice/private");
  EXPECT_EQ(page->body, R"({"repositories":["public/lib"]})");
  EXPECT_NE(page->get_header_value("Link").find("last=public/lib"), std::string::npos);

  // A blob is read only through a repository that names or received it.
  EXPECT_EQ(status(alice.Get(("/v2/alice/private/blobs/" + secret).c_str())), 200);
  EXPECT_EQ(status(bob.Get(("/v2/team/app/blobs/" + secret).c_str())), 404);
  EXPECT_EQ(status(alice.Head(("/v2/public/lib/blobs/" + secret).c_str())), 404);
  EXPECT_EQ(status(anon.Get(("/v2/public/lib/blobs/" + cfg).c_str())),
            200);  // its manifest names it

  // A mount from a repository the caller may not pull is an ordinary upload.
  auto mount =
      bob.Post(("/v2/team/app/blobs/uploads/?mount=" + secret + "&from=alice/private").c_str(), "",
               "application/octet-stream");
  EXPECT_EQ(status(mount), 202);
  auto own =
      alice.Post(("/v2/team/app/blobs/uploads/?mount=" + secret + "&from=alice/private").c_str(),
                 "", "application/octet-stream");
  EXPECT_EQ(status(own), 201);
  EXPECT_EQ(status(bob.Get(("/v2/team/app/blobs/" + secret).c_str())), 200);  // mounted there
  auto unseen =
      alice.Post(("/v2/alice/other/blobs/uploads/?mount=" + cfg + "&from=alice/private").c_str(),
                 "", "application/octet-stream");
  EXPECT_EQ(status(unseen), 202);  // alice/private never held that blob

  // Delete: alice on team/app, nobody else (a blob a manifest names stays).
  EXPECT_EQ(status(bob.Delete("/v2/team/app/manifests/v2")), 403);
  EXPECT_EQ(status(alice.Delete("/v2/team/app/manifests/v2")), 202);
  EXPECT_EQ(status(bob.Delete(("/v2/team/app/blobs/" + secret).c_str())), 403);
  EXPECT_EQ(status(alice.Delete(("/v2/team/app/blobs/" + secret).c_str())), 405);
}

TEST_F(PolicyServerTest, SighupReloadsWithoutDroppingConnections) {
  auto bob = as("bob");
  bob.set_keep_alive(true);
  int sockets = 0;  // connections bob's client opened: a dropped one would be opened again
  bob.set_socket_options([&sockets](auto) { ++sockets; });
  EXPECT_EQ(status(bob.Get("/v2/alice/private/tags/list")), 403);
  write_file(dir_ + "/policy.toml", std::string(kPolicy) +
                                        "\n[[rule]]\nrepositories = [\"alice/*\"]\n"
                                        "users = [\"bob\"]\nactions = [\"pull\"]\n");
  ASSERT_EQ(kill(server_->pid(), SIGHUP), 0);
  int got = 0;
  for (int i = 0; i < 50 && (got = status(bob.Get("/v2/alice/private/tags/list"))) != 200; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(got, 200);
  // A broken policy is refused; the one in force stays.
  write_file(dir_ + "/policy.toml", "[[rule]]\nactions = [\"fly\"]\n");
  ASSERT_EQ(kill(server_->pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(status(bob.Get("/v2/alice/private/tags/list")), 200);
  EXPECT_EQ(sockets, 1);
  write_file(dir_ + "/policy.toml", kPolicy);
  ASSERT_EQ(kill(server_->pid(), SIGHUP), 0);
}

TEST(PolicyCheckTest, ExplainsAndRefuses) {
  const std::string dir = tooltest::make_temp_dir();
  write_file(dir + "/policy.toml", kPolicy);
  write_file(dir + "/htpasswd",
             "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n");
  std::string out, err;
  EXPECT_EQ(tooltest::run_tool(
                {"policy", "check", dir + "/policy.toml", "--user", "alice", "--repo", "team/app"},
                &out, &err),
            0)
      << err;
  EXPECT_NE(out.find("alice on team/app: pull,push,delete"), std::string::npos) << out;
  EXPECT_NE(out.find("granted by rule 2 (\"team/app\"): delete"), std::string::npos) << out;
  EXPECT_EQ(tooltest::run_tool(
                {"policy", "check", dir + "/policy.toml", "--anonymous", "--repo", "team/app"},
                &out, &err),
            0);
  EXPECT_NE(out.find("anonymous on team/app: nothing (denied)"), std::string::npos) << out;
  // bob is named through the group but missing from this htpasswd file.
  EXPECT_EQ(
      tooltest::run_tool({"policy", "check", dir + "/policy.toml", "--htpasswd", dir + "/htpasswd"},
                         &out, &err),
      1);
  EXPECT_NE(out.find("warning: bob"), std::string::npos) << out;
  for (const char* bad : {"[[rule]]\nrepositories=[\"a\"]\nusers=[\"x\"]\nactions=[\"fly\"]\n",
                          "[[rule]]\nrepositories=[\"a\"]\ngroups=[\"none\"]\nactions=[\"pull\"]\n",
                          "[anonymous]\npush=[\"a\"]\n", "[[rule]\n"}) {
    write_file(dir + "/bad.toml", bad);
    EXPECT_NE(tooltest::run_tool({"policy", "check", dir + "/bad.toml"}, &out, &err), 0) << bad;
    EXPECT_NE(err.find("bad.toml line"), std::string::npos) << err;
  }
  fs::remove_all(dir);
}

}  // namespace
