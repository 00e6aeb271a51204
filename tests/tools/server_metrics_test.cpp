// The operational endpoints: the probes answer without credentials, the metrics only with
// them, the counters move as requests are made, and the exposition parses (with promtool,
// where it is installed).
#include <gtest/gtest.h>

#include "server_process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tooltest::ServerProcess;

// alice/secret, made with `htpasswd -nbB`.
constexpr const char* kUsers =
    "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n";

// The value of the sample `series` (name and labels, exactly as rendered); -1 when absent.
double sample(const std::string& text, const std::string& series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::atof(text.c_str() + at + 1 + series.size() + 1);
}

TEST(ServerMetricsTest, ProbesAnswerAndMetricsMoveBehindAuthentication) {
  std::string dir = tooltest::make_temp_dir();
  std::ofstream(dir + "/htpasswd") << kUsers;
  ServerProcess server(dir + "/store", {}, {"--htpasswd", dir + "/htpasswd"});
  httplib::Client anon = server.client();
  httplib::Client alice = server.client();
  alice.set_basic_auth("alice", "secret");

  auto health = anon.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  auto ready = anon.Get("/readyz");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->status, 200);
  EXPECT_EQ(ready->body, "ready\n");
  auto refused = anon.Get("/metrics");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(anon.Post("/healthz")->status, 405);

  auto before = alice.Get("/metrics");
  ASSERT_TRUE(before);
  ASSERT_EQ(before->status, 200);
  EXPECT_EQ(before->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string base =
      R"(tarnwick_http_requests_total{method="GET",route="base",status="200"})";
  EXPECT_EQ(sample(before->body, base), -1);

  ASSERT_EQ(alice.Get("/v2/")->status, 200);
  ASSERT_EQ(alice.Get("/v2/")->status, 200);
  ASSERT_EQ(alice.Get("/v2/some/repo/manifests/latest")->status, 404);
  auto upload = alice.Post("/v2/some/repo/blobs/uploads/");
  ASSERT_TRUE(upload);
  ASSERT_EQ(upload->status, 202);
  auto patch = alice.Patch(upload->get_header_value("Location"), std::string(1000, 'x'),
                           "application/octet-stream");
  ASSERT_TRUE(patch);
  ASSERT_EQ(patch->status, 202);

  // An exchange is counted once its last byte is sent, which may come just after the client
  // has its response and asks again: wait a moment for the last one.
  std::string m;
  for (int i = 0; i < 100; ++i) {
    auto after = alice.Get("/metrics");
    ASSERT_TRUE(after);
    m = after->body;
    if (sample(m, "tarnwick_http_request_body_bytes_total") >= 1000 && sample(m, base) == 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(sample(m, base), 2) << m;
  EXPECT_EQ(
      sample(m, R"(tarnwick_http_requests_total{method="GET",route="manifest",status="404"})"), 1);
  EXPECT_EQ(sample(m, R"(tarnwick_http_requests_total{method="GET",route="metrics",status="401"})"),
            1);
  EXPECT_EQ(
      sample(m, R"(tarnwick_http_requests_total{method="POST",route="healthz",status="405"})"), 1);
  EXPECT_EQ(sample(m, R"(tarnwick_http_request_duration_seconds_count{route="base"})"), 2);
  EXPECT_EQ(sample(m, R"(tarnwick_http_request_duration_seconds_bucket{route="base",le="+Inf"})"),
            2);
  EXPECT_GE(sample(m, "tarnwick_http_request_body_bytes_total"), 1000);
  EXPECT_GT(sample(m, "tarnwick_http_response_body_bytes_total"),
            sample(before->body, "tarnwick_http_response_body_bytes_total"));
  EXPECT_GE(sample(m, "tarnwick_http_open_connections"), 1);
  EXPECT_EQ(sample(m, "tarnwick_upload_sessions"), 1);
  EXPECT_EQ(m.find("some/repo"), std::string::npos) << "raw paths must not become labels";

  if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "promtool is not installed: the exposition's lint check is skipped\n");
  } else {
    std::ofstream(dir + "/metrics.txt") << m;
    std::string cmd = "promtool check metrics < " + dir + "/metrics.txt";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << m;
  }
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

// A read-only registry is ready by choice, whatever the store's permissions.
TEST(ServerMetricsTest, ReadOnlyRegistryIsReady) {
  std::string dir = tooltest::make_temp_dir();
  ServerProcess server(dir + "/store", {}, {"--read-only"});
  auto ready = server.client().Get("/readyz");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->status, 200);
  EXPECT_EQ(ready->body, "ready (read-only)\n");
  EXPECT_EQ(server.stop(), 0);
  fs::remove_all(dir);
}

}  // namespace
