// Every JSON text of the library and the checker is valid UTF-8 JSON whatever bytes the names
// in the store hold: a byte that begins no UTF-8 sequence comes out as U+FFFD.
#include <yyjson.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/fsck_helpers.h"

namespace {

using namespace regtest;

constexpr char kReplaced[] = "v\xef\xbf\xbd";  // "v\xff" with U+FFFD for the stray byte

using DocPtr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

// The strict parse (yyjson rejects invalid UTF-8 unless told otherwise), or null.
DocPtr parse(const char* json) {
  return DocPtr(json ? yyjson_read(json, std::strlen(json), 0) : nullptr, yyjson_doc_free);
}

std::vector<std::string> strings_of(yyjson_val* arr) {
  std::vector<std::string> out;
  std::size_t i, max;
  yyjson_val* v;
  yyjson_arr_foreach(arr, i, max, v) out.push_back(yyjson_get_str(v));
  return out;
}

class JsonOutputTest : public StoreTest {};

TEST_F(JsonOutputTest, NamesThatAreNotUtf8ComeOutAsReplacementCharacters) {
  const Image im = push_image("app", "v1", "a");
  // Placed by hand: the pushed tag renamed to "v\xff", a repository "b\xfe" and a stray file.
  const fs::path tags = rootp() / "repositories/app/_manifests/tags";
  fs::rename(tags / "v1", tags / "v\xff");
  set_age(tags / "v\xff/current/link", 2 * 86400);
  fs::create_directories(rootp() / "repositories/b\xfe/_manifests");
  write_all(tags / "v\xff/stray\xff", "x");

  DocPtr doc = parse(reg_tags_list_json("app"));
  ASSERT_TRUE(doc) << "tags list";
  EXPECT_EQ(strings_of(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "tags")),
            std::vector<std::string>{kReplaced});

  doc = parse(reg_catalog_json(0, nullptr));
  ASSERT_TRUE(doc) << "catalog";
  EXPECT_EQ(strings_of(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "repositories")),
            (std::vector<std::string>{"app", "b\xef\xbf\xbd"}));

  doc = parse(reg_referrers_json(im.blobs[0].c_str()));
  ASSERT_TRUE(doc) << "referrers";
  yyjson_val* entry =
      yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "manifests"));
  EXPECT_STREQ(
      yyjson_get_str(yyjson_ptr_get(entry, "/annotations/org.opencontainers.image.ref.name")),
      kReplaced);

  doc = parse(reg_retention_json(1, 0, 1, 0, nullptr));
  ASSERT_TRUE(doc) << "retention report";
  entry = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "deleted"));
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "tag")), kReplaced);

  const std::string fsck = reg::fsck_json(run_fsck(), root());
  doc = parse(fsck.c_str());
  ASSERT_TRUE(doc) << "checker report";
  entry = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "findings"));
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "path")),
               "repositories/app/_manifests/tags/v\xef\xbf\xbd/stray\xef\xbf\xbd");
}

}  // namespace
