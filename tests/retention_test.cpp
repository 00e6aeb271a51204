// Tag retention: selection by count and age, the tags it spares, whole repository names, the
// report's limits, and deletion through manifest deletion.
#include <yyjson.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/fault.h"
#include "reg_storage.h"
#include "support/store_files.h"

namespace {

using namespace regtest;
using Listed = std::vector<std::pair<std::string, std::string>>;  // repository, tag

constexpr std::int64_t kDay = 86400;

struct TagAt {
  std::string repo, tag;
  std::int64_t age;  // seconds since the link was written
};

std::string head(bool dry, int keep, int days, bool latest, int repos, int total, int deleted,
                 int latest_prot, int prot) {
  auto b = [](bool v) { return v ? "true" : "false"; };
  return "{\"dry_run\":" + std::string(b(dry)) + ",\"keep_n\":" + std::to_string(keep) +
         ",\"days\":" + std::to_string(days) + ",\"include_latest\":" + b(latest) +
         ",\"repos_scanned\":" + std::to_string(repos) +
         ",\"tags_total\":" + std::to_string(total) +
         ",\"tags_deleted\":" + std::to_string(deleted) +
         ",\"tags_kept\":" + std::to_string(total - deleted) +
         ",\"latest_protected\":" + std::to_string(latest_prot) +
         ",\"protected\":" + std::to_string(prot) + ",\"deleted\":[";
}

struct Report {
  bool valid = false;
  Listed listed;
  std::vector<long long> ages;
  std::vector<std::string> digests;
};

Report parse_report(const char* text) {
  Report r;
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), 0);
  if (!doc) return r;
  yyjson_val* arr = yyjson_obj_get(yyjson_doc_get_root(doc), "deleted");
  r.valid = yyjson_is_arr(arr);
  yyjson_arr_iter it = yyjson_arr_iter_with(arr);
  while (yyjson_val* e = yyjson_arr_iter_next(&it)) {
    r.listed.emplace_back(yyjson_get_str(yyjson_obj_get(e, "repository")),
                          yyjson_get_str(yyjson_obj_get(e, "tag")));
    r.ages.push_back(yyjson_get_sint(yyjson_obj_get(e, "age_days")));
    r.digests.push_back(yyjson_get_str(yyjson_obj_get(e, "digest")));
  }
  yyjson_doc_free(doc);
  return r;
}

class RetentionTest : public StoreTest {
 protected:
  fs::path link(const std::string& repo, const std::string& tag) const {
    return rootp() / "repositories" / repo / "_manifests" / "tags" / tag / "current" / "link";
  }
  // A tag naming a manifest of its own, its link written `age` seconds ago.
  std::string add_tag(const TagAt& t) {
    const std::string d = write_manifest_files(
        rootp(), t.repo, image_manifest(digest_of(t.repo + ":" + t.tag), {}), t.tag);
    set_age(link(t.repo, t.tag), t.age);
    return d;
  }
  bool api_deletes() {
    return !(reg_manifest_delete("absent", "x") == -1 &&
             std::string(reg_storage_last_error()) == "not implemented");
  }
};

struct SelectCase {
  const char* name;
  std::vector<TagAt> tags;
  int keep_n, days, include_latest;
  const char* rules;
  std::string expected_head;
  Listed expected;
};

class RetentionSelect : public RetentionTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(RetentionSelect, DryRunSelectsAndReports) {
  const SelectCase& c = GetParam();
  for (const auto& t : c.tags) add_tag(t);
  reg_tag_protection_set(c.rules);
  const auto before = snapshot_tree(rootp());
  int truncated = -1;
  const char* text = reg_retention_json(1, c.keep_n, c.days, c.include_latest, &truncated);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  EXPECT_EQ(std::string(text).substr(0, c.expected_head.size()), c.expected_head);
  const Report r = parse_report(text);
  ASSERT_TRUE(r.valid) << text;
  EXPECT_EQ(r.listed, c.expected);
  for (std::size_t i = 0; i < r.listed.size(); ++i)
    for (const auto& t : c.tags)
      if (t.repo == r.listed[i].first && t.tag == r.listed[i].second) {
        EXPECT_EQ(r.ages[i], t.age / kDay);
        EXPECT_EQ(r.digests[i], read_all(link(t.repo, t.tag)));
      }
  EXPECT_EQ(truncated, 0);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RetentionSelect,
    ::testing::Values(
        SelectCase{"NoRuleSelectsNothing",
                   {{"r", "a", 10 * kDay}, {"r", "b", 20}},
                   0,
                   0,
                   0,
                   nullptr,
                   head(true, 0, 0, false, 1, 2, 0, 0, 0),
                   {}},
        SelectCase{"CountKeepsNewestAndBreaksTiesByName",
                   {{"r", "t10", 4000}, {"r", "t20", 3000}, {"r", "b", 2000}, {"r", "a", 2000}},
                   2,
                   0,
                   0,
                   nullptr,
                   head(true, 2, 0, false, 1, 4, 2, 0, 0),
                   {{"r", "t20"}, {"r", "t10"}}},
        SelectCase{"AgeSelectsEvenTheNewest",
                   {{"r", "new", 40 * kDay}, {"r", "older", 50 * kDay}, {"r", "recent", 29 * kDay}},
                   5,
                   30,
                   0,
                   nullptr,
                   head(true, 5, 30, false, 1, 3, 2, 0, 0),
                   {{"r", "new"}, {"r", "older"}}},
        SelectCase{"NegativeLimitsAreOff",
                   {{"r", "a", 400 * kDay}, {"r", "b", 500 * kDay}},
                   -3,
                   -1,
                   0,
                   nullptr,
                   head(true, 0, 0, false, 1, 2, 0, 0, 0),
                   {}},
        SelectCase{"LatestIsSparedButKeepsItsNumber",
                   {{"r", "v2", 10}, {"r", "latest", 15}, {"r", "v1", 20}, {"r", "v0", 25}},
                   2,
                   0,
                   0,
                   nullptr,
                   head(true, 2, 0, false, 1, 4, 2, 0, 0),
                   {{"r", "v1"}, {"r", "v0"}}},
        SelectCase{"SelectedLatestIsSpared",
                   {{"r", "v2", 10}, {"r", "latest", 15}, {"r", "v1", 20}},
                   1,
                   0,
                   0,
                   nullptr,
                   head(true, 1, 0, false, 1, 3, 1, 1, 0),
                   {{"r", "v1"}}},
        SelectCase{"IncludeLatestTreatsItLikeAnyTag",
                   {{"r", "v2", 10}, {"r", "latest", 20}},
                   1,
                   0,
                   1,
                   nullptr,
                   head(true, 1, 0, true, 1, 2, 1, 0, 0),
                   {{"r", "latest"}}},
        SelectCase{"ProtectedLatestCountsAsLatestOnly",
                   {{"r", "v2", 10}, {"r", "latest", 20}},
                   1,
                   0,
                   0,
                   "r:latest",
                   head(true, 1, 0, false, 1, 2, 0, 1, 0),
                   {}},
        SelectCase{"ProtectedTagIsSpared",
                   {{"r", "v2", 10}, {"r", "v1", 20}, {"r", "v0", 30}},
                   1,
                   0,
                   0,
                   "r:v1",
                   head(true, 1, 0, false, 1, 3, 1, 0, 1),
                   {{"r", "v0"}}},
        SelectCase{"NestedRepositoriesAreNumberedApart",
                   {{"a/b", "z", 5}, {"a/b", "w", 30}, {"a", "x", 10}, {"a", "y", 20}},
                   1,
                   0,
                   0,
                   nullptr,
                   head(true, 1, 0, false, 2, 4, 2, 0, 0),
                   {{"a", "y"}, {"a/b", "w"}}},
        SelectCase{
            "NoRepositories", {}, 1, 1, 0, nullptr, head(true, 1, 1, false, 0, 0, 0, 0, 0), {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RetentionTest, LinkTimeBeforeTheEpochIsAgeFromTheEpoch) {
  add_tag({"r", "ancient", 0});
  set_mtime(link("r", "ancient"), -100);
  const char* text = reg_retention_json(1, 0, 1, 0, nullptr);
  ASSERT_NE(text, nullptr);
  const Report r = parse_report(text);
  ASSERT_EQ(r.listed, (Listed{{"r", "ancient"}}));
  EXPECT_EQ(r.ages[0], std::time(nullptr) / kDay);
}

TEST_F(RetentionTest, LinksThatAreNotDigestsAreNoCandidates) {
  add_tag({"r", "good", 10 * kDay});
  write_all(link("r", "bad"), "md5:abc");
  fs::create_directories(link("r", "dir"));
  fs::create_directories(link("r", "nolink").parent_path());
  write_all(rootp() / "repositories" / "r" / "_manifests" / "tags" / "file-not-dir", "sha256:x");
  const char* text = reg_retention_json(1, 0, 1, 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text).substr(0, head(true, 0, 1, false, 1, 1, 1, 0, 0).size()),
            head(true, 0, 1, false, 1, 1, 1, 0, 0));
}

// Two repositories where one name is a 255-character prefix of the other: the longer one
// (which no call can address) must neither share the shorter one's count nor lose tags to it.
TEST_F(RetentionTest, LongRepositoryNameNeverStandsForItsPrefix) {
  const std::string a(255, 'a');
  const std::string b = a + "/bb";
  for (int i = 0; i < 3; ++i) add_tag({a, "t" + std::to_string(i), 100 + i});
  for (int i = 0; i < 3; ++i)
    add_tag({b, "t" + std::to_string(i), 10 + i});  // newer, same tag names
  const char* text = reg_retention_json(1, 3, 0, 0, nullptr);
  ASSERT_NE(text, nullptr);
  // Discovery passes over the longer name: no call could address it.
  EXPECT_EQ(std::string(text), head(true, 3, 0, false, 1, 3, 0, 0, 0) + "]}");
  text = reg_retention_json(1, 2, 0, 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(parse_report(text).listed, (Listed{{a, "t2"}}));
}

TEST_F(RetentionTest, TagLongerThan255IsNeverSelected) {
  add_tag({"r", "short", 10 * kDay});
  const std::string long_tag(256, 't');
  std::error_code ec;
  fs::create_directories(link("r", long_tag).parent_path(), ec);
  if (ec) GTEST_SKIP() << "this file system refuses a 256-character name: " << ec.message();
  write_all(link("r", long_tag), digest_of("x"));
  set_age(link("r", long_tag), 10 * kDay);
  const char* text = reg_retention_json(1, 0, 1, 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(parse_report(text).listed, (Listed{{"r", "short"}}));
}

TEST_F(RetentionTest, SixHundredSelectedListFiveHundred) {
  for (int i = 0; i < 600; ++i) {  // two repositories: one tags listing holds 512 entries
    const fs::path l = link(i % 2 ? "r" : "s", "t" + std::to_string(i));
    write_all(l, digest_of(std::to_string(i)));
    set_age(l, 2 * kDay);
  }
  const auto before = snapshot_tree(rootp());
  int truncated = 0;
  const char* text = reg_retention_json(1, 0, 1, 0, &truncated);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text).substr(0, head(true, 0, 1, false, 2, 600, 600, 0, 0).size()),
            head(true, 0, 1, false, 2, 600, 600, 0, 0));
  EXPECT_EQ(parse_report(text).listed.size(), 500u);
  EXPECT_EQ(truncated, 1);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

// Names that escape to six bytes per character push 500 entries past the result buffer: the
// list ends early and the report stays JSON.
TEST_F(RetentionTest, ReportThatWouldOverflowEndsEarlyAsValidJson) {
  std::string repo = "a";
  while (repo.size() < 255) repo += "\\a";  // one directory whose name escapes to 382 bytes
  const std::string tag(250, '\x01');
  const std::string junk_digest = "sha256:" + std::string(64, '\x02');
  for (int i = 0; i < 520; ++i) {
    const fs::path l = link(repo, tag + std::to_string(i));
    write_all(l, junk_digest);
    set_age(l, 2 * kDay);
  }
  int truncated = 0;
  const char* text = reg_retention_json(1, 0, 1, 0, &truncated);
  ASSERT_NE(text, nullptr);
  EXPECT_LT(std::strlen(text), std::size_t{1} << 20);
  const Report r = parse_report(text);
  ASSERT_TRUE(r.valid);
  EXPECT_GT(r.listed.size(), 300u);
  EXPECT_LT(r.listed.size(), 500u);
  EXPECT_EQ(r.listed[0].first, repo);
  EXPECT_EQ(r.digests[0], junk_digest);
  EXPECT_EQ(truncated, 1);
}

TEST_F(RetentionTest, DeletesSelectedTagsThroughManifestDeletion) {
  if (!api_deletes()) GTEST_SKIP() << "manifest deletion not available yet";
  const std::string keep = add_tag({"r", "new", 10});
  const std::string gone = add_tag({"r", "old", 20});
  add_tag({"r", "latest", 30});
  const std::string other = add_tag({"s", "old", 40});
  const char* text = reg_retention_json(0, 1, 0, 0, nullptr);
  ASSERT_NE(text, nullptr) << reg_storage_last_error();
  EXPECT_EQ(std::string(text).substr(0, head(false, 1, 0, false, 2, 4, 1, 1, 0).size()),
            head(false, 1, 0, false, 2, 4, 1, 1, 0));
  EXPECT_FALSE(fs::exists(link("r", "old")));
  EXPECT_FALSE(fs::exists(rootp() / "repositories" / "r" / "_manifests" / hex_of(gone)));
  EXPECT_TRUE(fs::exists(link("r", "new")));
  EXPECT_TRUE(fs::exists(link("r", "latest")));
  EXPECT_TRUE(fs::exists(link("s", "old")));
  EXPECT_TRUE(fs::exists(rootp() / "repositories" / "s" / "_manifests" / hex_of(other)));
  EXPECT_TRUE(fs::exists(rootp() / "repositories" / "r" / "_manifests" / hex_of(keep)));
}

TEST_F(RetentionTest, FailedDeletionIsListedKeptAndItsMessageCleared) {
  if (!api_deletes()) GTEST_SKIP() << "manifest deletion not available yet";
  add_tag({"r", "new", 10});
  add_tag({"r", "old", 20});
  reg::fault::arm(reg::fault::Op::remove, 1, EACCES, /*sticky=*/true);
  const char* text = reg_retention_json(0, 1, 0, 0, nullptr);
  reg::fault::disarm();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text).substr(0, head(false, 1, 0, false, 1, 2, 0, 0, 0).size()),
            head(false, 1, 0, false, 1, 2, 0, 0, 0));
  EXPECT_EQ(parse_report(text).listed, (Listed{{"r", "old"}}));
  EXPECT_TRUE(fs::exists(link("r", "old")));
  EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(RetentionTest, RefusedBeforeInitialisation) {
  reg_storage_cleanup();
  int truncated = 7;
  EXPECT_EQ(reg_retention_json(1, 1, 1, 0, &truncated), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  EXPECT_EQ(truncated, 0);
}

}  // namespace
