// The server's routing and error mapping, and the command line's text helpers.
#include <gtest/gtest.h>

#include "cli_support.h"
#include "gc_progress_view.h"
#include "server_errors.h"
#include "server_routes.h"

namespace {

using tool::RouteKind;

struct RouteCase {
  const char* path;
  RouteKind kind;
  const char* name;
  const char* ref;
};

class RouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RouteTest, ParsesPathIntoRoute) {
  const RouteCase& c = GetParam();
  tool::Route r = tool::parse_route(c.path);
  EXPECT_EQ(r.kind, c.kind) << c.path;
  if (c.kind != RouteKind::name_invalid && c.kind != RouteKind::not_found) {
    EXPECT_EQ(r.name, c.name) << c.path;
    EXPECT_EQ(r.ref, c.ref) << c.path;
  }
}


INSTANTIATE_TEST_SUITE_P(
    Paths, RouteTest,
    ::testing::Values(
        RouteCase{"/v2/", RouteKind::base, "", ""}, RouteCase{"/v2", RouteKind::base, "", ""},
        RouteCase{"/v2/_catalog", RouteKind::catalog, "", ""},
        RouteCase{"/v2/a/tags/list", RouteKind::tags_list, "a", ""},
        RouteCase{"/v2/team/app/web/tags/list", RouteKind::tags_list, "team/app/web", ""},
        RouteCase{"/v2/a/manifests/latest", RouteKind::manifest, "a", "latest"},
        // A name may hold the API's own words as components.
        RouteCase{"/v2/x/blobs/manifests/v1", RouteKind::manifest, "x/blobs", "v1"},
        RouteCase{"/v2/x/manifests/y/tags/list", RouteKind::tags_list, "x/manifests/y", ""},
        RouteCase{"/v2/a/blobs/uploads/", RouteKind::upload_start, "a", ""},
        RouteCase{"/v2/a/blobs/uploads", RouteKind::upload_start, "a", ""},
        RouteCase{"/v2/a/b/blobs/uploads/1234", RouteKind::upload_session, "a/b", "1234"},
        RouteCase{"/v2/a/blobs/sha256:00", RouteKind::blob, "a", "sha256:00"},
        RouteCase{"/v2/a/referrers/sha256:11", RouteKind::referrers, "a", "sha256:11"},
        RouteCase{"/v2/A/manifests/v1", RouteKind::name_invalid, "", ""},
        RouteCase{"/v2/a/../b/manifests/v1", RouteKind::name_invalid, "", ""},
        RouteCase{"/v2/a/_manifests/manifests/v1", RouteKind::name_invalid, "", ""},
        RouteCase{"/v2//a/manifests/v1", RouteKind::name_invalid, "", ""},
        RouteCase{"/v2/a/manifests/", RouteKind::not_found, "", ""},
        RouteCase{"/v2/a", RouteKind::not_found, "", ""},
        RouteCase{"/v1/a/manifests/v1", RouteKind::not_found, "", ""},
        RouteCase{"/", RouteKind::not_found, "", ""}));

TEST(RepoNameTest, FollowsTheApiGrammar) {
  for (const char* ok : {"a", "a/b", "a-b", "a--b", "a.b", "a_b", "a__b", "0/9z", "a-b.c_d__e"})
    EXPECT_TRUE(tool::repo_name_ok(ok)) << ok;
  for (const char* bad : {"", "A", "a/", "/a", "a//b", "-a", "a-", ".a", "a..b", "a___b", "a_-b",
                          "a-.b", "a\\b", "a b", "_a", "a/_manifests", "."})
    EXPECT_FALSE(tool::repo_name_ok(bad)) << bad;
  EXPECT_TRUE(tool::repo_name_ok(std::string(255, 'a')));
  EXPECT_FALSE(tool::repo_name_ok(std::string(256, 'a')));
}

TEST(TagTest, FollowsTheApiGrammar) {
  for (const char* ok : {"latest", "v1.0", "_x", "A-b_c.D", "1"}) EXPECT_TRUE(tool::tag_ok(ok)) << ok;
  for (const char* bad : {"", ".x", "-x", "a/b", "a:b", "..", "a b"}) EXPECT_FALSE(tool::tag_ok(bad)) << bad;
  EXPECT_TRUE(tool::tag_ok(std::string(128, 'a')));
  EXPECT_FALSE(tool::tag_ok(std::string(129, 'a')));
}

TEST(ErrorMappingTest, LibraryMessagesBecomeApiErrors) {
  struct Case {
    const char* message;
    int status;
    const char* code;
  } cases[] = {
      {"BLOB_UNKNOWN: sha256:00", 400, "MANIFEST_BLOB_UNKNOWN"},
      {"TAG_IMMUTABLE: a:v1", 403, "DENIED"},
      {"manifest too large (max 1048575 bytes)", 413, "SIZE_INVALID"},
      {"manifest not found: a@sha256:00", 404, "MANIFEST_UNKNOWN"},
      {"manifest body not found: a@v1", 404, "MANIFEST_UNKNOWN"},
      {"tag not found: a:v1", 404, "MANIFEST_UNKNOWN"},
      {"manifest JSON parse failed", 400, "MANIFEST_INVALID"},
      {"manifest layer 2 missing valid digest", 400, "MANIFEST_INVALID"},
      {"manifest index must reference at least 1 manifest", 400, "MANIFEST_INVALID"},
      {"blob not found: sha256:00", 404, "BLOB_UNKNOWN"},
      {"upload not found: 1234", 404, "BLOB_UPLOAD_UNKNOWN"},
      {"invalid repository name: A", 400, "NAME_INVALID"},
      {"invalid digest reference", 400, "DIGEST_INVALID"},
      {"digest mismatch: expected a, got b", 400, "DIGEST_INVALID"},
      {"corrupt tag link: a:v1", 500, "UNKNOWN"},
      {"write manifest body failed", 500, "UNKNOWN"},
  };
  for (const Case& c : cases) {
    tool::ApiError e = tool::map_library_error(c.message);
    EXPECT_EQ(e.status, c.status) << c.message;
    EXPECT_STREQ(e.code, c.code) << c.message;
  }
}

TEST(ErrorMappingTest, ErrorBodyIsTheApiJsonForm) {
  httplib::Response res;
  tool::send_error(res, 404, "BLOB_UNKNOWN", "blob not found: \"x\"");
  EXPECT_EQ(res.status, 404);
  EXPECT_EQ(res.body, R"({"errors":[{"code":"BLOB_UNKNOWN","message":"blob not found: \"x\""}]})");
  EXPECT_EQ(res.get_header_value("Content-Type"), "application/json");
}

TEST(HumanSizeTest, UsesBinaryUnits) {
  EXPECT_EQ(tool::human_size(0), "0 B");
  EXPECT_EQ(tool::human_size(1023), "1023 B");
  EXPECT_EQ(tool::human_size(1024), "1.0 KiB");
  EXPECT_EQ(tool::human_size(1536), "1.5 KiB");
  EXPECT_EQ(tool::human_size(5LL * 1024 * 1024 * 1024), "5.0 GiB");
}

TEST(ImageRefTest, SplitsRepositoryAndReference) {
  struct Case {
    const char* text;
    const char* repo;
    const char* ref;
  } cases[] = {{"a:v1", "a", "v1"},
               {"team/app:1.0", "team/app", "1.0"},
               {"team/app", "team/app", ""},
               {"host:5000/app", "host:5000/app", ""},
               {"app@sha256:ab", "app", "sha256:ab"}};
  for (const Case& c : cases) {
    tool::ImageRef r = tool::parse_image_ref(c.text);
    EXPECT_EQ(r.repo, c.repo) << c.text;
    EXPECT_EQ(r.reference, c.ref) << c.text;
  }
}

TEST(GcViewTest, ProgressLineFillsDuringTheSweep) {
  tool::GcSnapshot s = tool::parse_gc_snapshot(
      R"({"running":true,"phase":"deleting","blobs_scanned":50,"blobs_total":100,)"
      R"("blobs_deleted":3,"bytes_freed":3072,"dry_run":false,"started_unix":1,"elapsed_ms":1500,"cancelled":false})");
  EXPECT_EQ(tool::gc_progress_line(s, 10),
            "[#####.....] deleting 50/100 blobs  3 deleted  3.0 KiB freed  1.5 s");
  s.phase = "walking";
  EXPECT_EQ(tool::gc_progress_line(s, 4).substr(0, 6), "[....]");
}

TEST(GcViewTest, SummaryLineNamesEveryCount) {
  EXPECT_EQ(tool::gc_summary_line(
                R"({"dry_run":false,"blobs_total":10,"blobs_reachable":7,"blobs_deleted":3,)"
                R"("bytes_freed":2048,"blobs_kept":7,"stale_uploads":1,"stale_upload_bytes":5,)"
                R"("cancelled":true,"elapsed_ms":20})"),
            "gc cancelled: 10 blobs, 7 reachable, 3 deleted (2.0 KiB), 7 kept; 1 stale uploads (5 B); 20 ms");
}

}  // namespace
