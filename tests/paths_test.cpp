// Names and paths: validators, hex conversion and the path builders' length limit.
#include <cstring>

#include "core/context.h"
#include "core/paths.h"
#include "support/test_support.h"

namespace {

const std::string kHex(64, 'a');

struct Case {
  const char* text;
  int want;
};

TEST(Validators, Digest) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"sha256:" + std::string(64, 'f'), 1},
      {"sha256:" + std::string(64, 'F'), 0},
      {"sha256:" + std::string(63, 'a'), 0},
      {"sha256:" + std::string(65, 'a'), 0},
      {"sha512:" + std::string(64, 'a'), 0},
      {"SHA256:" + std::string(64, 'a'), 0},
      {"", 0},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(reg::digest_valid(text.c_str()), want) << text;
  EXPECT_EQ(reg::digest_valid(nullptr), 0);
  EXPECT_EQ(reg::hex64_valid(kHex.c_str()), 1);
  EXPECT_EQ(reg::hex64_valid((kHex + "0").c_str()), 0);
  EXPECT_EQ(reg::hex64_valid(nullptr), 0);
}

TEST(Validators, DigestHexEq) {
  const std::string d = "sha256:" + kHex;
  EXPECT_EQ(reg::digest_hex_eq(d.c_str(), kHex.c_str()), 1);
  EXPECT_EQ(reg::digest_hex_eq(d.c_str(), std::string(64, 'b').c_str()), 0);
  EXPECT_EQ(reg::digest_hex_eq(d.c_str(), std::string(64, 'A').c_str()), 0);
  EXPECT_EQ(reg::digest_hex_eq(nullptr, kHex.c_str()), 0);
}

TEST(Validators, RepositoryNames) {
  const std::string max(255, 'a'), over(256, 'a');
  const Case cases[] = {
      {"team/app", 1},
      {"A_b-c.d", 1},
      {"a/b/c", 1},
      {"/a", 1},
      {"a/", 1},
      {"a//b", 1},
      {"a\\b", 1},
      {max.c_str(), 1},
      {"", 0},
      {over.c_str(), 0},
      {"a..b", 0},
      {"a/../b", 0},
      {"..x", 0},
      {"a b", 0},
      {"a:b", 0},
      {"a@b", 0},
      // Names that would address the repositories directory itself or another store's inside.
      {"/", 0},
      {".", 0},
      {"./", 0},
      {"a/.", 0},
      {"./a", 0},
      {"a/_manifests", 0},
      {"_manifests", 0},
      {"a\\_manifests", 0},
      {"\\", 0},
      {"_manifests_x", 1},
      {".a", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(reg::repo_name_valid(c.text), c.want) << c.text;
  EXPECT_EQ(reg::repo_name_valid(nullptr), 0);
  EXPECT_EQ(reg::repo_component_count("a//b/c/"), 3);
}

TEST(Validators, UploadIdsAndTags) {
  const std::string id = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
  EXPECT_EQ(reg::uuid_valid(id.c_str()), 1);
  std::string upper = id;
  upper[0] = 'A';
  upper[2] = 'F';
  EXPECT_EQ(reg::uuid_valid(upper.c_str()), 0);
  std::string moved = id;
  std::swap(moved[8], moved[9]);
  EXPECT_EQ(reg::uuid_valid(moved.c_str()), 0);
  EXPECT_EQ(reg::uuid_valid((id + "0").c_str()), 0);
  EXPECT_EQ(reg::uuid_valid(nullptr), 0);
  const Case tags[] = {{"latest", 1}, {"v1.0", 1}, {".x", 1},  {"", 0},
                       {".", 0},      {"..", 0},   {"a/b", 0}, {"a\\b", 0}};
  for (const auto& c : tags) EXPECT_EQ(reg::tag_name_valid(c.text), c.want) << c.text;
}

TEST(BinToHex, HighNibbleFirst) {
  unsigned char bin[32];
  std::memset(bin, 0x0F, sizeof bin);
  char out[65];
  reg::bin_to_hex(bin, out);
  std::string want;
  for (int i = 0; i < 32; ++i) want += "0f";
  EXPECT_EQ(std::string(out), want);
}

class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override { std::strcpy(reg::s_root, "/r"); }
  void TearDown() override { reg::s_root[0] = '\0'; }
};

TEST_F(PathsTest, BuildersJoinUnderTheRoot) {
  reg::Path p;
  ASSERT_TRUE(reg::blob_path_for_digest("sha256:ab" + std::string(62, '0'), p));
  EXPECT_EQ(p, "/r/blobs/sha256/ab/ab" + std::string(62, '0'));
  ASSERT_TRUE(reg::manifest_tag_path("team/app", "v1", p));
  EXPECT_EQ(p, "/r/repositories/team/app/_manifests/tags/v1/current/link");
  ASSERT_TRUE(reg::manifest_ct_path("a", kHex, p));
  EXPECT_EQ(p, "/r/repositories/a/_manifests/" + kHex + ".ct");
  ASSERT_TRUE(reg::upload_path_for_uuid("id", p));
  EXPECT_EQ(p, "/r/uploads/id.part");
}

TEST_F(PathsTest, APathThatWouldNotFitIsRefusedNeverCut) {
  reg::Path p;
  const std::string repo(255, 'r');
  // With the longest root, the fixed paths of a 255-character repository still fit.
  std::string root(3499, 'x');
  std::strcpy(reg::s_root, root.c_str());
  ASSERT_TRUE(reg::manifest_rev_path(repo, kHex, p));
  EXPECT_EQ(p.size(), 3499u + 367u);
  // Only tags can push a path past the limit.
  const std::size_t fixed =
      3499 + std::strlen("/repositories//_manifests/tags//current/link") + 255;
  std::string tag(4095 - fixed, 't');
  ASSERT_TRUE(reg::manifest_tag_path(repo, tag, p));
  EXPECT_EQ(p.size(), 4095u);
  tag += 't';
  EXPECT_FALSE(reg::manifest_tag_path(repo, tag, p));
}

}  // namespace
