// What the server answers when the store fails under it, driven in process with the
// platform layer's fault injection: a store that cannot be read is 500 (503 where a retry can
// pass), never 404 or an empty list, with the reason in the log note; a lock file that cannot
// be opened is 500 without Retry-After; error bodies show no path of the server's.
#include <gtest/gtest.h>
#include <reg_storage.h>

#include "digest.h"
#include "platform/fault.h"
#include "server_context.h"
#include "server_errors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using reg::fault::Op;

class ServerStorageErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/reg-server-errors-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ctx_.root = dir_ + "/store";
    ASSERT_EQ(reg_storage_init(ctx_.root.c_str()), 0);
    config_ = put_blob("{}");
    layer_ = put_blob("a layer");
    body_ = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_ +
            "\"},\"layers\":[{\"digest\":\"" + layer_ + "\"}]}";
    char d[72];
    ASSERT_EQ(reg_manifest_put("app", "v1", body_.data(), body_.size(), nullptr, d), 0);
  }
  void TearDown() override {
    reg::fault::disarm();
    reg_storage_cleanup();
    fs::remove_all(dir_);
  }

  static std::string put_blob(const std::string& data) {
    char id[37], d[72];
    const std::string digest = tool::sha256_digest(data);
    EXPECT_EQ(reg_blob_start_upload(id), 0);
    EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
    EXPECT_EQ(reg_blob_finish_upload(id, digest.c_str(), d), 0);
    return digest;
  }

  tool::HttpResponse answer(const std::string& method, const std::string& target,
                            const std::string& body = "") {
    tool::HttpRequest req;
    req.method = method;
    req.version = "HTTP/1.1";
    EXPECT_TRUE(tool::set_request_target(req, target));
    if (!body.empty()) req.headers.emplace("Content-Length", std::to_string(body.size()));
    tool::HttpResponse res;
    tool::dispatch_request(ctx_, req, res, [&](const tool::BodyReceiver& receive) {
      return body.empty() || receive(body.data(), body.size());
    });
    return res;
  }

  std::string dir_, config_, layer_, body_;
  tool::ServerContext ctx_;
};

TEST_F(ServerStorageErrorTest, AStoreThatCannotBeReadIsNeverAnAbsence) {
  struct Case {
    const char* method;
    std::string target;
    Op op;
    int err, status;
  };
  const Case cases[] = {
      {"GET", "/v2/app/tags/list", Op::list, EACCES, 500},
      {"GET", "/v2/app/tags/list", Op::open, EIO, 500},
      {"GET", "/v2/app/manifests/v1", Op::open, EACCES, 500},
      {"HEAD", "/v2/app/blobs/" + layer_, Op::stat, EACCES, 500},
      {"GET", "/v2/app/blobs/" + layer_, Op::open, EACCES, 500},
      {"DELETE", "/v2/app/manifests/v1", Op::open, EIO, 500},
      {"GET", "/v2/app/tags/list", Op::list, EMFILE, 503},  // passes by itself: retry
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target + " errno " + std::to_string(c.err));
    reg::fault::arm(c.op, 1, c.err, true);
    const tool::HttpResponse res = answer(c.method, c.target);
    reg::fault::disarm();
    EXPECT_EQ(res.status, c.status) << res.body;
    EXPECT_EQ(res.has_header("Retry-After"), c.status == 503);
    // The access log says why; the client sees the library's fixed message only.
    EXPECT_NE(res.log_note.find(std::strerror(c.err)), std::string::npos) << res.log_note;
    EXPECT_EQ(res.body.find(std::strerror(c.err)), std::string::npos) << res.body;
  }
  EXPECT_EQ(answer("GET", "/v2/app/manifests/v1").status, 200);  // the tag survived
  EXPECT_EQ(answer("GET", "/v2/app/manifests/v2").status, 404);  // absence is still 404
}

TEST_F(ServerStorageErrorTest, ALockFileThatCannotBeOpenedIsAServerError) {
  fs::remove(ctx_.root + "/_gc/lock");
  fs::create_directories(ctx_.root + "/_gc/lock");
  const tool::HttpResponse res = answer("PUT", "/v2/app/manifests/v2", body_);
  EXPECT_EQ(res.status, 500) << res.body;
  EXPECT_FALSE(res.has_header("Retry-After"));
  EXPECT_NE(res.body.find("cannot open the store lock file _gc/lock"), std::string::npos)
      << res.body;
}

TEST_F(ServerStorageErrorTest, ErrorBodiesShowNoPathOfTheServer) {
  tool::set_error_path_root(ctx_.root);
  const std::string abs = fs::absolute(ctx_.root).string();
  EXPECT_EQ(tool::without_root("cannot create upload file: " + abs + "/uploads/x.part"),
            "cannot create upload file: uploads/x.part");
  tool::HttpResponse res;
  tool::send_library_error(res, "rename to CAS failed: " + ctx_.root + "/blobs/sha256/aa/x");
  EXPECT_EQ(res.body.find(dir_), std::string::npos) << res.body;
  EXPECT_NE(res.body.find("rename to CAS failed: blobs/sha256/aa/x"), std::string::npos);
  tool::set_error_path_root("");
}

// A blob goes only when no stored manifest names it, through whichever repository.
TEST_F(ServerStorageErrorTest, ABlobThatAManifestNamesIsNotDeleted) {
  for (const char* repo : {"app", "other"}) {
    const tool::HttpResponse res =
        answer("DELETE", std::string("/v2/") + repo + "/blobs/" + layer_);
    EXPECT_EQ(res.status, 405) << repo;
    EXPECT_NE(res.body.find("UNSUPPORTED"), std::string::npos) << res.body;
    EXPECT_NE(res.body.find("in use"), std::string::npos) << res.body;
  }
  EXPECT_EQ(reg_blob_exists(layer_.c_str()), 1);
  const std::string loose = put_blob("nothing names this");
  EXPECT_EQ(answer("DELETE", "/v2/other/blobs/" + loose).status, 202);
  EXPECT_EQ(reg_blob_exists(loose.c_str()), 0);
  ASSERT_EQ(reg_manifest_delete("app", tool::sha256_digest(body_).c_str()), 0);
  EXPECT_EQ(answer("DELETE", "/v2/app/blobs/" + layer_).status, 202);
  // A manifest that cannot be read might name it: nothing is decided, nothing removed.
  char d[72];
  const std::string cfg_only = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_ + "\"}}";
  ASSERT_EQ(reg_manifest_put("app", "v3", cfg_only.data(), cfg_only.size(), nullptr, d), 0);
  reg::fault::arm(Op::read, 1, EIO, true);
  const tool::HttpResponse res = answer("DELETE", "/v2/app/blobs/" + config_);
  reg::fault::disarm();
  EXPECT_EQ(res.status, 500) << res.body;
  EXPECT_EQ(reg_blob_exists(config_.c_str()), 1);
}

}  // namespace
