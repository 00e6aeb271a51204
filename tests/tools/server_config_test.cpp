// The configuration file: serve takes its options from it under the command line's, the
// metrics get an address of their own, and its protection rules bind the operator commands.
#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tooltest::run_tool;
using tooltest::ServerProcess;

constexpr const char* kUsers =
    "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n";

using tooltest::metric_sample;
std::string push_blob(httplib::Client& c, const std::string& repo, const std::string& data) {
  std::string d = tool::sha256_digest(data);
  auto r = c.Post(("/v2/" + repo + "/blobs/uploads/?digest=" + d).c_str(), data,
                  "application/octet-stream");
  EXPECT_TRUE(r && r->status == 201);
  return d;
}

// A tag `tag` of `repo`: a config and a layer and the manifest naming them.
void push_image(httplib::Client& c, const std::string& repo, const std::string& tag) {
  std::string cfg = "{}", layer = "layer of " + tag;
  std::string body =
      R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
      R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
      push_blob(c, repo, cfg) + R"(","size":2},"layers":[{"mediaType":)"
      R"("application/vnd.oci.image.layer.v1.tar","digest":")" +
      push_blob(c, repo, layer) + R"(","size":)" + std::to_string(layer.size()) + "}]}";
  auto r = c.Put(("/v2/" + repo + "/manifests/" + tag).c_str(), body,
                 "application/vnd.oci.image.manifest.v1+json");
  ASSERT_TRUE(r && r->status == 201) << (r ? r->body : "no response");
}

TEST(ServerConfigTest, ConfigurationSetsServeUnderTheFlagsAndMetricsListenApart) {
  std::string dir = tooltest::make_temp_dir();
  std::ofstream(dir + "/htpasswd") << kUsers;
  std::ofstream(dir + "/config.toml")
      << "root = \"" << dir << "/elsewhere\"  # the flag wins\n"
      << "[server]\nlisten = \"127.0.0.1:1\"\n"
      << "[auth]\nhtpasswd = \"" << dir << "/htpasswd\"\n"
      << "[metrics]\nlisten = \"127.0.0.1:0\"\nstore-stats-interval = 1\n";
  ServerProcess server(dir + "/store", {"--config", dir + "/config.toml"}, {});
  ASSERT_GT(server.metrics_port(), 0);
  httplib::Client alice = server.client();
  alice.set_basic_auth("alice", "secret");
  EXPECT_EQ(server.client().Get("/v2/")->status, 401);  // the file's htpasswd holds
  push_image(alice, "app", "v1");
  EXPECT_EQ(alice.Get("/metrics")->status, 404);  // not on the registry's address any more

  httplib::Client scraper("127.0.0.1", server.metrics_port());
  std::string m;
  for (int i = 0; i < 100 && metric_sample(m, "tarnwick_store_blobs") < 2; ++i) {
    auto r = scraper.Get("/metrics");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    m = r->body;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(metric_sample(m, "tarnwick_store_blobs"), 2) << m;
  EXPECT_EQ(metric_sample(m, "tarnwick_store_tags"), 1);
  EXPECT_GT(metric_sample(m, "tarnwick_store_stats_timestamp_seconds"), 0);
  EXPECT_EQ(scraper.Get("/readyz")->status, 200);
  EXPECT_EQ(scraper.Get("/v2/")->status, 404);  // the store is not served here
  EXPECT_TRUE(fs::exists(dir + "/store/repositories/app"));
  EXPECT_FALSE(fs::exists(dir + "/elsewhere"));
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

TEST(ServerConfigTest, ProtectionRulesOfTheConfigurationBindRmAndRetention) {
  std::string dir = tooltest::make_temp_dir();
  std::string root = dir + "/store";
  {
    ServerProcess server(root, {}, {});
    httplib::Client c = server.client();
    push_image(c, "app", "release-1");
    push_image(c, "app", "dev-1");
    EXPECT_EQ(server.stop(), 0);
  }
  std::ofstream(dir + "/config.toml") << "root = \"" << root << "\"\nprotect = \"release-*\"\n";
  std::string config = "--config=" + dir + "/config.toml";
  std::string out, err;
  EXPECT_NE(run_tool({config, "rm", "app:release-1"}, &out, &err), 0);
  EXPECT_NE(err.find("TAG_IMMUTABLE"), std::string::npos) << err;
  EXPECT_EQ(run_tool({config, "retention", "--keep", "1", "--include-latest"}, &out), 0) << out;
  EXPECT_EQ(run_tool({config, "tags", "app"}, &out), 0);
  EXPECT_NE(out.find("release-1"), std::string::npos) << out;
  EXPECT_EQ(run_tool({config, "rm", "app:dev-1"}, &out), 0);

  // A bad file is refused whole, by every command, with the key and its line.
  std::ofstream(dir + "/bad.toml") << "root = \"" << root << "\"\n[limits]\nmax-uploads = 0\n";
  EXPECT_EQ(run_tool({"--config", dir + "/bad.toml", "tags", "app"}, &out, &err), 2);
  EXPECT_NE(err.find("bad.toml line 3: limits.max-uploads must be positive"), std::string::npos)
      << err;
  EXPECT_EQ(run_tool({"config", "check", dir + "/config.toml"}, &out), 0);
  EXPECT_NE(out.find("protect = 'release-*'"), std::string::npos) << out;
  EXPECT_NE(out.find("[limits]\n"), std::string::npos) << out;
  fs::remove_all(dir);
}

// The durability setting lives in the store: chosen once (by a flag, the configuration or the
// durability command), every later command follows it; a bad value changes nothing.
TEST(ServerConfigTest, TheStoresDurabilitySettingBindsEveryLaterCommand) {
  std::string dir = tooltest::make_temp_dir();
  std::string root = dir + "/store";
  std::string out, err;
  EXPECT_EQ(run_tool({"--root", root, "--json", "stats"}, &out), 0);
  EXPECT_NE(out.find(R"(,"durability":"full"})"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(root + "/durability"));

  std::ofstream(dir + "/cache.toml") << "root = \"" << root << "\"\ndurability = \"none\"\n";
  EXPECT_EQ(run_tool({"--config", dir + "/cache.toml", "durability"}, &out), 0);
  EXPECT_EQ(out, "none\n");
  EXPECT_EQ(run_tool({"--root", root, "stats"}, &out), 0);
  EXPECT_NE(out.find("durability      none\n"), std::string::npos) << out;

  std::ofstream(dir + "/bad.toml") << "root = \"" << root << "\"\ndurability = \"fast\"\n";
  EXPECT_EQ(run_tool({"--config", dir + "/bad.toml", "stats"}, &out, &err), 2);
  EXPECT_NE(err.find("bad.toml line 2: durability must be full or none"), std::string::npos)
      << err;
  EXPECT_NE(run_tool({"--root", root, "--durability", "fast", "stats"}, &out, &err), 0);
  EXPECT_NE(run_tool({"--root", root, "durability", "fast"}, &out, &err), 0);
  EXPECT_EQ(run_tool({"--root", root, "--json", "durability"}, &out), 0);
  EXPECT_EQ(out, "{\"durability\":\"none\",\"recorded\":true}\n");

  EXPECT_EQ(run_tool({"--root", root, "durability", "full"}, &out), 0);
  EXPECT_EQ(out, "full\n");
  std::ofstream(root + "/durability") << "quick\n";
  EXPECT_EQ(run_tool({"--root", root, "tags", "app"}, &out, &err), 1);
  EXPECT_NE(err.find("the store's durability file holds neither full nor none"),
            std::string::npos)
      << err;
  fs::remove_all(dir);
}

// A power cut can leave a blob file empty: it is never served as the blob, and a server
// started with --repair-on-start removes it, so the client's next push uploads it again.
TEST(ServerConfigTest, AnEmptyBlobIsNeverServedAndRepairOnStartRemovesIt) {
  std::string dir = tooltest::make_temp_dir();
  std::string root = dir + "/store";
  const std::string layer = "layer of v1", d = tool::sha256_digest(layer);
  const std::string file = root + "/blobs/sha256/" + d.substr(7, 2) + "/" + d.substr(7);
  {
    ServerProcess server(root, {}, {});
    httplib::Client c = server.client();
    push_image(c, "app", "v1");
    std::ofstream{file, std::ios::trunc};
    for (const std::string method : {"HEAD", "GET"}) {
      auto r = method == "HEAD" ? c.Head("/v2/app/blobs/" + d) : c.Get("/v2/app/blobs/" + d);
      ASSERT_TRUE(r) << method;
      EXPECT_EQ(r->status, 404) << method;
    }
    EXPECT_EQ(server.stop(), 0);
  }
  ServerProcess server(root, {}, {"--repair-on-start"});
  EXPECT_FALSE(fs::exists(file));
  httplib::Client c = server.client();
  EXPECT_EQ(push_blob(c, "app", layer), d);
  auto r = c.Get("/v2/app/blobs/" + d);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, layer);
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

}  // namespace
