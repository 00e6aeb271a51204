// Listings are complete on large stores: 10,000 tags in one repository and 10,002
// repositories, in the tag list and its paging (also while tags are added between pages), the
// catalog, the statistics, the referrers and retention.
#include <yyjson.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "manifest_fixture.h"
#include "support/fsck_helpers.h"

namespace regtest {
namespace {

constexpr int kTags = 10000;
constexpr int kRepos = 10002;

std::vector<std::string> strings_at(const char* json, const char* key) {
  std::vector<std::string> out;
  yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
  EXPECT_NE(doc, nullptr);
  if (!doc) return out;
  std::size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), key), i, n, v)
      out.push_back(yyjson_get_str(v));
  yyjson_doc_free(doc);
  return out;
}

long long stat_of(const char* key) {
  const char* json = reg_storage_get_stats_json();
  yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
  const long long v = yyjson_get_sint(yyjson_obj_get(yyjson_doc_get_root(doc), key));
  yyjson_doc_free(doc);
  return v;
}

class CompleteListingsTest : public ManifestTest {
 protected:
  // Tens of thousands of directories: in memory, where the system has it.
  void SetUp() override {
    ManifestTest::SetUp();
    reg_storage_cleanup();
    root_ = (mem_.path() / "store").string();
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
  }

  // Tags written as files, all naming `digest`: the listings read links, not manifests.
  void make_tags(const std::string& repo, int count, const std::string& digest) {
    for (int i = 0; i < count; ++i) write_all(tag_link(repo, "t" + std::to_string(i)), digest);
  }

  MemoryTempDir mem_;
};

TEST_F(CompleteListingsTest, TenThousandTagsAreListedPagedCountedAndRetained) {
  const std::string digest = push("app", "latest", image_manifest("big"));
  // Older than every other tag, so that it is never among the newest ten whatever the clock's
  // granularity.
  fs::last_write_time(tag_link("app", "latest"),
                      fs::last_write_time(tag_link("app", "latest")) - std::chrono::hours(1));
  make_tags("app", kTags - 1, digest);
  const std::vector<std::string> all = strings_at(reg_tags_list_json("app"), "tags");
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kTags));
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));

  // Pages of 500 walk every tag once, also the tags pushed between pages behind and ahead of
  // the cursor: those ahead are met, those behind were not yet there when their page passed.
  std::vector<std::string> walked;
  std::string last;
  int added = 0;
  for (int has_more = 1, pages = 0; has_more; ++pages) {
    char next[256];
    const char* json =
        reg_tags_list_json_page("app", 500, last.c_str(), &has_more, next, sizeof next);
    ASSERT_NE(json, nullptr);
    const auto page = strings_at(json, "tags");
    ASSERT_TRUE(page.size() == 500 || !has_more) << page.size();
    walked.insert(walked.end(), page.begin(), page.end());
    last = next;
    if (pages == 3) {
      write_all(tag_link("app", "zz-ahead"), digest);
      write_all(tag_link("app", "a-behind"), digest);
      added = 1;
    }
    ASSERT_LT(pages, 30);
  }
  std::vector<std::string> expected = all;
  expected.push_back("zz-ahead");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(added, 1);
  EXPECT_TRUE(walked == expected) << walked.size() << " walked of " << expected.size();

  EXPECT_EQ(stat_of("tags"), kTags + 2);
  int truncated = -1;
  const char* report = reg_retention_json(1, 10, 0, 0, &truncated);
  ASSERT_NE(report, nullptr);
  yyjson_doc* doc = yyjson_read(report, std::strlen(report), 0);
  yyjson_val* root = yyjson_doc_get_root(doc);
  EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "tags_total")), kTags + 2);
  EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "tags_deleted")),
            kTags + 2 - 10 - 1);  // and latest
  EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(root, "deleted")), 500u);
  EXPECT_EQ(truncated, 1);
  yyjson_doc_free(doc);
}

TEST_F(CompleteListingsTest, TenThousandRepositoriesAreListedPagedCountedAndScanned) {
  std::set<std::string> names;
  for (int i = 0; i < kRepos; ++i) {
    const std::string name = "g" + std::to_string(i % 2) + "/r" + std::to_string(i);
    fs::create_directories(manifests_dir(name));
    names.insert(name);
  }
  // A referrer stored in whichever repository a capped walk would have missed last.
  const std::string subject = make_blob("subject");
  const std::string body = "{\"config\":{\"digest\":\"" + subject + "\"}}";
  for (const auto& name : {std::string("g0/r0"), std::string("g1/r9999")}) push(name, "t", body);

  const std::vector<std::string> listed = strings_at(reg_catalog_json(0, nullptr), "repositories");
  EXPECT_TRUE(listed == std::vector<std::string>(names.begin(), names.end())) << listed.size();
  std::vector<std::string> walked;
  std::string last;
  for (int has_more = 1; has_more;) {
    char next[256];
    const auto page = strings_at(
        reg_catalog_json_page(1000, last.c_str(), &has_more, next, sizeof next), "repositories");
    walked.insert(walked.end(), page.begin(), page.end());
    last = next;
    ASSERT_LE(walked.size(), names.size());
  }
  EXPECT_TRUE(walked == listed);
  EXPECT_EQ(stat_of("repositories"), kRepos);
  const char* refs = reg_referrers_json(subject.c_str());
  ASSERT_NE(refs, nullptr) << reg_storage_last_error();
  EXPECT_NE(std::string(refs).find(digest_of(body)), std::string::npos);
  // Two tags in two repositories name it: no ref.name annotation.
  EXPECT_EQ(std::string(refs).find("ref.name"), std::string::npos);
}

}  // namespace
}  // namespace regtest
