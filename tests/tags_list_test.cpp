// The tag list: which entries count as tags, byte order, paging, refused calls, and the page
// writer's behaviour when the result buffer fills.
#include <yyjson.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/result.h"
#include "listings/paging.h"
#include "manifest_fixture.h"

namespace regtest {
namespace {

class TagsListTest : public ManifestTest {
 protected:
  void make_tag(const std::string& repo, const std::string& tag, const std::string& link = "x") {
    write_all(tag_link(repo, tag), link);
  }
};

struct Page {
  std::string json;
  int has_more = -1;
  std::string next_last;
};

Page page(const char* repo, int n, const char* last) {
  Page p;
  char next[64] = "junk";
  const char* r = reg_tags_list_json_page(repo, n, last, &p.has_more, next, sizeof next);
  p.json = r ? r : "<null>";
  p.next_last = next;
  return p;
}

TEST_F(TagsListTest, OnlyDirectoriesWithReadableLinksAreTags) {
  push("team/app", "pushed", image_manifest("m"));
  make_tag("team/app", "empty-link", "");
  fs::create_directories(manifests_dir("team/app") / "tags" / "no-link" / "current");
  fs::create_directories(tag_link("team/app", "link-is-dir"));
  write_all(manifests_dir("team/app") / "tags" / "plain-file", "x");
  EXPECT_STREQ(reg_tags_list_json("team/app"),
               "{\"name\":\"team/app\",\"tags\":[\"empty-link\",\"pushed\"]}");
}

TEST_F(TagsListTest, MissingRepositoryIsAnEmptyList) {
  const Page p = page("no/such", 0, nullptr);
  EXPECT_EQ(p.json, "{\"name\":\"no/such\",\"tags\":[]}");
  EXPECT_EQ(p.has_more, 0);
  EXPECT_EQ(p.next_last, "");
}

TEST_F(TagsListTest, TagsSortByBytesAndPage) {
  for (const char* t : {"1.9", "1.10", "b", "B", "a"}) make_tag("app", t);
  EXPECT_STREQ(reg_tags_list_json("app"),
               "{\"name\":\"app\",\"tags\":[\"1.10\",\"1.9\",\"B\",\"a\",\"b\"]}");
  struct Case {
    int n;
    const char* last;
    const char* tags;
    int has_more;
    const char* next_last;
  } cases[] = {
      {2, nullptr, "\"1.10\",\"1.9\"", 1, "1.9"},
      {2, "1.9", "\"B\",\"a\"", 1, "a"},
      {2, "a", "\"b\"", 0, "b"},
      {0, "A", "\"B\",\"a\",\"b\"", 0, "b"},
      {-1, "B", "\"a\",\"b\"", 0, "b"},
      {0, "c", "", 0, ""},
  };
  for (const auto& tc : cases) {
    const Page p = page("app", tc.n, tc.last);
    EXPECT_EQ(p.json, std::string("{\"name\":\"app\",\"tags\":[") + tc.tags + "]}") << tc.n;
    EXPECT_EQ(p.has_more, tc.has_more);
    EXPECT_EQ(p.next_last, tc.next_last);
  }
}

TEST_F(TagsListTest, RefusedCallsResetOutputsAndKeepTheirOrder) {
  struct Case {
    const char* repo;
    bool ready;
    const char* message;
  } cases[] = {
      {nullptr, false, "repo_name is NULL"},
      {nullptr, true, "repo_name is NULL"},
      {"app", false, "not initialized - call reg_storage_init first"},
      {"", true, "invalid repository name"},
      {"a/../b", true, "invalid repository name"},
  };
  for (const auto& tc : cases) {
    if (!tc.ready) reg_storage_cleanup();
    const Page p = page(tc.repo, 0, nullptr);
    EXPECT_EQ(p.json, "<null>");
    EXPECT_STREQ(reg_storage_last_error(), tc.message);
    EXPECT_EQ(p.has_more, 0);
    EXPECT_EQ(p.next_last, "");
    if (!tc.ready) {
      ASSERT_EQ(reg_storage_init(root().c_str()), 0);
    }
  }
}

// Tag names the file system allows are too short to fill the buffer, so the page writer that
// both listings share is driven directly with longer names.
TEST(PageWriterTest, FullBufferEndsThePageAfterTheLastWholeName) {
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i)
    names.push_back(std::string(2000, 'a' + i % 26) + std::to_string(1000 + i));
  std::sort(names.begin(), names.end());
  for (int n : {0, 700, 540}) {
    reg::ResultWriter out;
    out.append("{\"tags\":[");
    int has_more = -1;
    char next[4096];
    const std::string json = reg::write_page(out, names, n, nullptr, &has_more, next, sizeof next);
    ASSERT_LT(json.size(), std::size_t{1} << 20);
    std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)> doc(
        yyjson_read(json.data(), json.size(), 0), yyjson_doc_free);
    ASSERT_TRUE(doc) << "not valid JSON with n = " << n;
    const std::size_t count =
        yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "tags"));
    const std::size_t fit = (std::size_t{1} << 20) / 2007;  // each name takes 2004 + 3 bytes
    EXPECT_GE(count, fit - 1);
    EXPECT_LE(count, fit);
    EXPECT_EQ(has_more, 1);
    EXPECT_EQ(std::string(next), names[count - 1]);
  }
}

}  // namespace
}  // namespace regtest
