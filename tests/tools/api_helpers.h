// A fixture with one running server for the HTTP tests, and small API helpers.
#pragma once

#include <gtest/gtest.h>

#include "digest.h"
#include "server_process.h"

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

namespace tooltest {

class ApiTest : public ::testing::Test {
 protected:
  // One server for the suite, with protection rules and a short wait for collections.
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);  // a refused upload may close the connection under the client
    dir_ = make_temp_dir();
    server_ = std::make_unique<ServerProcess>(dir_ + "/store",
                                              std::vector<std::string>{"--protect", "locked*"},
                                              std::vector<std::string>{"--gc-wait-ms", "300"});
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(server_->stop(), 0);  // a clean stop on SIGTERM
    server_.reset();
    std::filesystem::remove_all(dir_);
  }
  void SetUp() override { cli_ = std::make_unique<httplib::Client>(server_->client()); }

  httplib::Client& cli() { return *cli_; }
  static std::string root() { return dir_ + "/store"; }

  // Monolithic upload; returns the digest.
  std::string push_blob(const std::string& repo, const std::string& data) {
    std::string d = tool::sha256_digest(data);
    auto r = cli().Post(("/v2/" + repo + "/blobs/uploads/?digest=" + d).c_str(), data,
                        "application/octet-stream");
    EXPECT_TRUE(r && r->status == 201) << (r ? r->body : "no response");
    return d;
  }

  std::string start_upload(const std::string& repo) {
    auto r =
        cli().Post(("/v2/" + repo + "/blobs/uploads/").c_str(), "", 0, "application/octet-stream");
    EXPECT_TRUE(r && r->status == 202);
    return r ? r->get_header_value("Location") : std::string();
  }

  httplib::Result patch(const std::string& loc, const std::string& data, const std::string& range) {
    httplib::Headers h;
    if (!range.empty()) h.emplace("Content-Range", range);
    return cli().Patch(loc.c_str(), h, data, "application/octet-stream");
  }

  httplib::Result put_manifest(const std::string& repo, const std::string& ref,
                               const std::string& body, const char* ct) {
    return cli().Put(("/v2/" + repo + "/manifests/" + ref).c_str(), body, ct);
  }

  std::string blob_body(const std::string& repo, const std::string& digest) {
    auto r = cli().Get(("/v2/" + repo + "/blobs/" + digest).c_str());
    return r && r->status == 200 ? r->body : std::string("<missing>");
  }

  // Pushes a config and one layer made from `layer`; returns a manifest naming them.
  std::string image_manifest(const std::string& repo, const std::string& layer) {
    std::string cfg = "{\"layer\":\"" + layer + "\"}";
    std::string c = push_blob(repo, cfg);
    std::string l = push_blob(repo, layer);
    return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
           R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
           c + R"(","size":)" + std::to_string(cfg.size()) +
           R"(},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" + l +
           R"(","size":)" + std::to_string(layer.size()) + "}]}";
  }

  // Sends `request` as is and returns everything the server answers until it closes.
  std::string raw_request(const std::string& request) { return send_raw(server_->port(), request); }

  static void expect_error(const httplib::Result& r, int status, const std::string& code) {
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status) << r->body;
    EXPECT_NE(r->body.find("{\"errors\":[{\"code\":\"" + code + "\""), std::string::npos)
        << r->body;
  }

 private:
  static inline std::string dir_;
  static inline std::unique_ptr<ServerProcess> server_;
  std::unique_ptr<httplib::Client> cli_;
};

}  // namespace tooltest
