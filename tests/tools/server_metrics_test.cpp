// The operational endpoints: the probes answer without credentials, the metrics only with
// them, the counters move as requests are made, and the exposition is well formed (checked
// here, and by promtool where it is installed).
#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tooltest::ServerProcess;

// alice/secret, made with `htpasswd -nbB`.
constexpr const char* kUsers =
    "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\n";

using tooltest::metric_sample;

bool is_name(const std::string& s, bool colon) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && !(colon && c == ':'))
      return false;
  return true;
}

bool is_value(const std::string& s) {
  if (s == "+Inf" || s == "-Inf" || s == "NaN") return true;
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return !s.empty() && *end == '\0';
}

// Splits `{a="1",le="2"}` into its pairs, checking names, quotes and escapes; false if malformed.
bool parse_labels(const std::string& text, std::map<std::string, std::string>& labels) {
  size_t i = 0;
  while (i < text.size()) {
    const size_t eq = text.find('=', i);
    if (eq == std::string::npos || eq + 1 >= text.size() || text[eq + 1] != '"') return false;
    const std::string name = text.substr(i, eq - i);
    std::string value;
    size_t j = eq + 2;
    for (; j < text.size() && text[j] != '"'; ++j) {
      if (text[j] == '\\') {
        if (++j == text.size() || std::string("\\\"n").find(text[j]) == std::string::npos)
          return false;
      }
      value += text[j];
    }
    if (j == text.size() || !is_name(name, false) || !labels.emplace(name, value).second)
      return false;
    i = j + 1;
    if (i < text.size() && text[i++] != ',') return false;
  }
  return true;
}

// What is wrong with `text` as a Prometheus text exposition (0.0.4), or "" when nothing is:
// each family typed once before its samples and its samples together, names and labels
// well formed, counters named _total, no series twice, and each histogram's buckets
// cumulative and ending in +Inf equal to its _count.
std::string exposition_fault(const std::string& text) {
  if (text.empty() || text.back() != '\n') return "no final newline";
  std::map<std::string, std::string> types;
  std::set<std::string> done, series;
  std::string current;
  std::map<std::string, std::pair<double, double>> buckets;  // histogram labels: last le, count
  std::istringstream in(text);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string at = "line " + std::to_string(n) + ": " + line;
    if (line.rfind("# ", 0) == 0) {
      std::istringstream words(line.substr(2));
      std::string kind, name, type;
      words >> kind >> name >> type;
      if (kind != "HELP" && kind != "TYPE") continue;
      if (!is_name(name, true)) return at;
      if (kind == "TYPE") {
        static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary",
                                                     "untyped"};
        if (!kTypes.count(type) || !types.emplace(name, type).second || done.count(name)) return at;
      }
      continue;
    }
    const size_t brace = line.find('{'), space = line.rfind(' ');
    if (space == std::string::npos) return at;
    const std::string name = line.substr(0, std::min(brace, space));
    std::map<std::string, std::string> labels;
    if (brace != std::string::npos) {
      const size_t end = line.rfind('}');
      if (end == std::string::npos || end < brace ||
          !parse_labels(line.substr(brace + 1, end - brace - 1), labels))
        return at + " (labels)";
    }
    const std::string value = line.substr(space + 1);
    if (!is_name(name, true) || !is_value(value) || !series.insert(line.substr(0, space)).second)
      return at;
    std::string family = name;
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string base =
          name.substr(0, name.size() - std::min(name.size(), std::strlen(suffix)));
      if (name.size() > std::strlen(suffix) &&
          name.compare(base.size(), std::string::npos, suffix) == 0 && types.count(base) &&
          types[base] == "histogram")
        family = base;
    }
    if (!types.count(family)) return at + " (no TYPE)";
    if (family != current) {
      if (done.count(family)) return at + " (family split)";
      if (!current.empty()) done.insert(current);
      current = family;
    }
    if (types[family] == "counter" && family.size() < 6) return at;
    if (types[family] == "counter" && family.compare(family.size() - 6, 6, "_total") != 0)
      return at + " (counter not _total)";
    if (types[family] != "histogram") continue;
    std::string key = family;
    for (const auto& [k, v] : labels)
      if (k != "le") key += "," + k + "=" + v;
    const double x = std::strtod(value.c_str(), nullptr);
    auto& [last_le, last_count] = buckets.try_emplace(key, -1.0, 0.0).first->second;
    if (name == family + "_bucket") {
      if (!labels.count("le")) return at + " (no le)";
      const double le =
          labels["le"] == "+Inf" ? HUGE_VAL : std::strtod(labels["le"].c_str(), nullptr);
      if (le <= last_le || x < last_count) return at + " (buckets not cumulative)";
      last_le = le;
      last_count = x;
    } else if (name == family + "_count" && (last_le != HUGE_VAL || x != last_count)) {
      return at + " (count is not the +Inf bucket)";
    }
  }
  return "";
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
  EXPECT_EQ(metric_sample(before->body, base), -1);

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
  const std::string file_syncs = R"(tarnwick_syncs_total{kind="file"})",
                    dir_syncs = R"(tarnwick_syncs_total{kind="dir"})";
  const std::string blob = "synced";
  auto commit =
      alice.Post(("/v2/some/repo/blobs/uploads/?digest=" + tool::sha256_digest(blob)).c_str(), blob,
                 "application/octet-stream");
  ASSERT_TRUE(commit);
  ASSERT_EQ(commit->status, 201);

  // An exchange is counted once its last byte is sent, which may come just after the client
  // has its response and asks again: wait a moment for the last one.
  std::string m;
  for (int i = 0; i < 100; ++i) {
    auto after = alice.Get("/metrics");
    ASSERT_TRUE(after);
    m = after->body;
    if (metric_sample(m, "tarnwick_http_request_body_bytes_total") >= 1000 &&
        metric_sample(m, base) == 2)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(metric_sample(m, base), 2) << m;
  EXPECT_EQ(metric_sample(
                m, R"(tarnwick_http_requests_total{method="GET",route="manifest",status="404"})"),
            1);
  EXPECT_EQ(metric_sample(
                m, R"(tarnwick_http_requests_total{method="GET",route="metrics",status="401"})"),
            1);
  EXPECT_EQ(metric_sample(
                m, R"(tarnwick_http_requests_total{method="POST",route="healthz",status="405"})"),
            1);
  EXPECT_EQ(metric_sample(m, R"(tarnwick_http_request_duration_seconds_count{route="base"})"), 2);
  EXPECT_EQ(
      metric_sample(m, R"(tarnwick_http_request_duration_seconds_bucket{route="base",le="+Inf"})"),
      2);
  EXPECT_GE(metric_sample(m, "tarnwick_http_request_body_bytes_total"), 1000);
  EXPECT_GT(metric_sample(m, "tarnwick_http_response_body_bytes_total"),
            metric_sample(before->body, "tarnwick_http_response_body_bytes_total"));
  EXPECT_GE(metric_sample(m, "tarnwick_http_open_connections"), 1);
  EXPECT_EQ(metric_sample(m, "tarnwick_upload_sessions"), 1);
  // The commit synced its data and its directories (durability is full by default).
  EXPECT_GT(metric_sample(m, file_syncs), metric_sample(before->body, file_syncs)) << m;
  EXPECT_GT(metric_sample(m, dir_syncs), metric_sample(before->body, dir_syncs));
  EXPECT_EQ(m.find("some/repo"), std::string::npos) << "raw paths must not become labels";

  EXPECT_EQ(exposition_fault(m), "") << m;
  if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
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
