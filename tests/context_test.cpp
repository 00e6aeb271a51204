// Storage context: initialisation, the ready guard and the last-error text.
#include <cstring>

#include "core/context.h"
#include "core/fileutil.h"
#include "platform/fault.h"
#include "reg_storage.h"
#include "support/test_support.h"

using namespace regtest;

namespace {

constexpr char kNotInit[] = "not initialized - call reg_storage_init first";
constexpr char kConfig[] =
    "{\n  \"schemaVersion\": 2,\n  \"title\": \"tarnwick-registry-storage\",\n  \"version\": "
    "\"1.12.0\",\n"
    "  \"maxUploadSize\": -1\n}\n";

class ContextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reg::fault::disarm();
    reg::fault::reset_counts();
    reg_storage_cleanup();
  }
  TempDir tmp_;
};

TEST_F(ContextTest, InitCreatesTheTreeAndConfig) {
  const fs::path root = tmp_.path() / "a" / "b" / "store";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_STREQ(reg_storage_last_error(), "");
  auto tree = snapshot_tree(root);
  std::map<std::string, std::string> want = {{"blobs", "<dir>"},
                                             {"blobs/sha256", "<dir>"},
                                             {"repositories", "<dir>"},
                                             {"uploads", "<dir>"},
                                             {"config.json", kConfig}};
  EXPECT_EQ(tree, want);
  EXPECT_EQ(std::strlen(kConfig), 111u);
  // A second init on the same root creates nothing new.
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_EQ(snapshot_tree(root), want);
}

TEST_F(ContextTest, ExistingConfigIsNeverRewritten) {
  const fs::path root = tmp_.path() / "store";
  write_all(root / "config.json", "mine");
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_EQ(read_all(root / "config.json"), "mine");
}

TEST_F(ContextTest, DirectoryNamedConfigFailsInit) {
  const fs::path root = tmp_.path() / "store";
  fs::create_directories(root / "config.json");
  EXPECT_EQ(reg_storage_init(root.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "write config.json failed");
  EXPECT_EQ(reg_blob_exists("sha256:x"), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotInit);
  // No temporary file is left behind by the failed write.
  for (auto& e : fs::directory_iterator(root))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos);
}

TEST_F(ContextTest, RootArgumentRules) {
  const std::string ok = (tmp_.path() / "store").string();
  EXPECT_EQ(reg_storage_init(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
  ASSERT_EQ(reg_storage_init(ok.c_str()), 0);
  // An empty root leaves an open root open.
  EXPECT_EQ(reg_storage_init(""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
  EXPECT_EQ(reg_blob_exists("sha256:x"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
  // A too-long root while ready leaves the library uninitialised.
  const std::string too_long(3500, 'x');
  EXPECT_EQ(reg_storage_init(too_long.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir too long (max 3499 chars)");
  EXPECT_EQ(reg::s_root[0], '\0');
  EXPECT_EQ(reg_blob_exists("sha256:x"), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotInit);
}

TEST_F(ContextTest, RootOfExactly3499CharactersPassesTheLengthCheck) {
  std::string root = tmp_.str() + "/";
  while (root.size() < 3499) root += (root.size() % 200 == 0) ? '/' : 'r';
  root.back() = 'r';
  ASSERT_EQ(root.size(), 3499u);
  EXPECT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
}

TEST_F(ContextTest, OneTrailingSeparatorIsDropped) {
  const std::string base = (tmp_.path() / "store").string();
  ASSERT_EQ(reg_storage_init((base + "/").c_str()), 0);
  EXPECT_EQ(std::string(reg::s_root), base);
  ASSERT_EQ(reg_storage_init((base + "//").c_str()), 0);
  EXPECT_EQ(std::string(reg::s_root), base + "/");
  EXPECT_EQ(reg_storage_init("/"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "mkdirs failed: ");
}

TEST_F(ContextTest, FailedSubdirectoryNamesThePath) {
  const fs::path root = tmp_.path() / "store";
  fs::create_directories(root);
  write_all(root / "blobs", "a file where a directory belongs");
  EXPECT_EQ(reg_storage_init(root.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()),
            "mkdirs failed: " + (root / "blobs" / "sha256").string());
  EXPECT_EQ(std::string(reg::s_root), root.string());
}

TEST_F(ContextTest, GuardedOperationsFailAfterCleanup) {
  ASSERT_EQ(reg_storage_init((tmp_.path() / "s").c_str()), 0);
  reg_storage_cleanup();
  char buf[128];
  long long n = 0;
  const char* digest = "sha256:0000000000000000000000000000000000000000000000000000000000000000";
  std::vector<std::function<bool()>> calls = {
      [&] { return reg_blob_start_upload(buf) == -1; },
      [&] { return reg_blob_append_chunk("x", "", 0) == -1; },
      [&] { return reg_blob_finish_upload("x", digest, buf) == -1; },
      [&] { return reg_blob_cancel_upload("x") == -1; },
      [&] { return reg_blob_upload_size("x", &n) == -1; },
      [&] { return reg_blob_exists(digest) == -1; },
      [&] { return reg_blob_get_size(digest) == -1; },
      [&] { return reg_blob_get_filepath(digest, buf, sizeof buf) == -1; },
      [&] { return reg_blob_delete(digest) == -1; },
      [&] { return reg_manifest_put("r", "t", "{}", 2, nullptr, buf) == -1; },
      [&] { return reg_manifest_get("r", "t", buf, buf) == nullptr; },
      [&] { return reg_manifest_delete("r", "t") == -1; },
      [&] { return reg_repo_delete("r") == -1; },
      [&] { return reg_tags_list_json("r") == nullptr; },
      [&] { return reg_catalog_json(0, nullptr) == nullptr; },
      [&] { return reg_storage_get_stats_json() == nullptr; },
      [&] { return reg_gc_cancel() == -1; },
      [&] { return reg_gc_json(1) == nullptr; },
      [&] { return reg_referrers_json(digest) == nullptr; },
      [&] { return reg_retention_json(1, 0, 0, 0, nullptr) == nullptr; },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    reg::set_error("previous");
    EXPECT_TRUE(calls[i]()) << "call " << i;
    EXPECT_STREQ(reg_storage_last_error(), kNotInit) << "call " << i;
  }
}

TEST_F(ContextTest, MessagesStayUntilTheNextFailureAndAreCut) {
  ASSERT_EQ(reg_storage_init((tmp_.path() / "s").c_str()), 0);
  EXPECT_EQ(reg_blob_exists("nope"), -1);
  EXPECT_EQ(
      reg_blob_exists("sha256:0000000000000000000000000000000000000000000000000000000000000000"),
      0);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
  const std::string long_text(3000, 'm');
  reg::set_error("%s", long_text.c_str());
  EXPECT_EQ(std::strlen(reg_storage_last_error()), 1023u);
}

TEST_F(ContextTest, InitFailsCleanlyWhenDirectoriesCannotBeMade) {
  const fs::path root = tmp_.path() / "store";
  reg::fault::arm(reg::fault::Op::mkdir, 1, 28 /* ENOSPC */, true);
  EXPECT_EQ(reg_storage_init(root.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), "mkdirs failed: " + root.string());
  EXPECT_GT(reg::fault::fired(), 0);
  reg::fault::disarm();
  EXPECT_FALSE(fs::exists(root));
}

}  // namespace
