// The catalog: byte order, paging by size and last name, the outputs on every path,
// and a page too large for the result buffer.
#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "reg_storage.h"
#include "support/test_support.h"

namespace regtest {
namespace {

class CatalogTest : public StoreTest {
 protected:
  void make_repo(const std::string& name) {
    fs::create_directories(rootp() / "repositories" / name / "_manifests");
  }
};

struct Page {
  std::string json;
  int has_more = -1;
  std::string next_last;
};

Page page(int n, const char* last, std::size_t next_last_size = 64) {
  Page p;
  char next[64] = "junk";
  const char* r = reg_catalog_json_page(n, last, &p.has_more, next, next_last_size);
  p.json = r ? r : "<null>";
  p.next_last = next;
  return p;
}

TEST_F(CatalogTest, EmptyStoreGivesEmptyArray) {
  const Page p = page(0, nullptr);
  EXPECT_EQ(p.json, "{\"repositories\":[]}");
  EXPECT_EQ(p.has_more, 0);
  EXPECT_EQ(p.next_last, "");
  fs::remove_all(rootp() / "repositories");
  EXPECT_EQ(page(0, nullptr).json, "{\"repositories\":[]}");
}

TEST_F(CatalogTest, NamesSortByBytes) {
  for (const char* n : {"a/b", "a-b", "a", "B", "team", "team/app"}) make_repo(n);
  EXPECT_STREQ(reg_catalog_json(0, nullptr),
               "{\"repositories\":[\"B\",\"a\",\"a-b\",\"a/b\",\"team\",\"team/app\"]}");
}

TEST_F(CatalogTest, PagingBySizeAndLastName) {
  for (const char* n : {"c", "a", "b"}) make_repo(n);
  struct Case {
    int n;
    const char* last;
    const char* json;
    int has_more;
    const char* next_last;
  } cases[] = {
      {2, nullptr, "{\"repositories\":[\"a\",\"b\"]}", 1, "b"},
      {2, "b", "{\"repositories\":[\"c\"]}", 0, "c"},
      {0, nullptr, "{\"repositories\":[\"a\",\"b\",\"c\"]}", 0, "c"},
      {-5, "", "{\"repositories\":[\"a\",\"b\",\"c\"]}", 0, "c"},
      {0, "a", "{\"repositories\":[\"b\",\"c\"]}", 0, "c"},
      {1, "a0", "{\"repositories\":[\"b\"]}", 1, "b"},  // between two names: the greater one
      {0, "A", "{\"repositories\":[\"a\",\"b\",\"c\"]}", 0, "c"},
      {0, "d", "{\"repositories\":[]}", 0, ""},
      {3, nullptr, "{\"repositories\":[\"a\",\"b\",\"c\"]}", 0, "c"},
  };
  for (const auto& tc : cases) {
    const Page p = page(tc.n, tc.last);
    EXPECT_EQ(p.json, tc.json) << tc.n << " " << (tc.last ? tc.last : "null");
    EXPECT_EQ(p.has_more, tc.has_more);
    EXPECT_EQ(p.next_last, tc.next_last);
  }
  EXPECT_STREQ(reg_catalog_json(1, "a"), "{\"repositories\":[\"b\"]}");
}

TEST_F(CatalogTest, NextLastIsCutToItsBuffer) {
  make_repo("abcdef");
  EXPECT_EQ(page(0, nullptr, 4).next_last, "abc");
  char untouched[4] = "xyz";
  EXPECT_NE(reg_catalog_json_page(0, nullptr, nullptr, untouched, 0), nullptr);
  EXPECT_STREQ(untouched, "xyz");  // a size of 0 means the buffer is not used
}

TEST_F(CatalogTest, FailureResetsOutputsFirst) {
  make_repo("a");
  reg_storage_cleanup();
  const Page p = page(0, nullptr);
  EXPECT_EQ(p.json, "<null>");
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  EXPECT_EQ(p.has_more, 0);
  EXPECT_EQ(p.next_last, "");
  ASSERT_EQ(reg_storage_init(root().c_str()), 0);
}

// Names of 250 control characters escape to 1,500 bytes each: 1,024 of them cannot fit in the 1 MiB
// result, so pages end early, as valid JSON, and the next page resumes there.
TEST_F(CatalogTest, PageTooLargeForTheBufferEndsEarlyAndResumes) {
  std::vector<std::string> names;
  for (int i = 0; i < 1024; ++i) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%04d", i);
    names.push_back((i < 512 ? "g0/" : "g1/") + std::string(248, '\x01') +
                    suffix);  // 255 characters
    make_repo(names.back());
  }
  std::vector<std::string> seen;
  std::string last;
  int pages = 0;
  for (int has_more = 1; has_more; ++pages) {
    char next[1024];
    const char* json = reg_catalog_json_page(0, last.c_str(), &has_more, next, sizeof next);
    ASSERT_NE(json, nullptr);
    ASSERT_LT(std::strlen(json), std::size_t{1} << 20);
    std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)> doc(
        yyjson_read(json, std::strlen(json), 0), yyjson_doc_free);
    ASSERT_TRUE(doc) << "page " << pages << " is not valid JSON";
    std::size_t i, max;
    yyjson_val* v;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "repositories"), i, max, v)
        seen.push_back(yyjson_get_str(v));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(std::string(next), seen.back());
    last = next;
    ASSERT_LT(pages, 5);
  }
  EXPECT_EQ(pages, 2);
  EXPECT_TRUE(seen == names) << seen.size() << " names seen of " << names.size();
}

}  // namespace
}  // namespace regtest
