// The server's routing and error mapping, and the command line's text helpers.
#include <gtest/gtest.h>

#include "cli_support.h"
#include "auth_guards.h"
#include "gc_progress_view.h"
#include "header_numbers.h"
#include "server_errors.h"
#include "server_routes.h"
#include "server_security.h"
#include "settings.h"
#include "upload_sessions.h"

#include <reg_storage.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

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
  for (const char* ok : {"latest", "v1.0", "_x", "A-b_c.D", "1"})
    EXPECT_TRUE(tool::tag_ok(ok)) << ok;
  for (const char* bad : {"", ".x", "-x", "a/b", "a:b", "..", "a b"})
    EXPECT_FALSE(tool::tag_ok(bad)) << bad;
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
  tool::HttpResponse res;
  tool::send_error(res, 404, "BLOB_UNKNOWN", "blob not found: \"x\"");
  EXPECT_EQ(res.status, 404);
  EXPECT_EQ(res.body, R"({"errors":[{"code":"BLOB_UNKNOWN","message":"blob not found: \"x\""}]})");
  EXPECT_EQ(res.get_header_value("Content-Type"), "application/json");
}

TEST(ErrorMappingTest, ErrorBodyStaysJsonWhenTheMessageIsNotUtf8) {
  tool::HttpResponse res;
  tool::send_error(res, 404, "BLOB_UPLOAD_UNKNOWN", "upload not found: 0-\xab\xc3\xa9");
  EXPECT_EQ(
      res.body,
      R"({"errors":[{"code":"BLOB_UPLOAD_UNKNOWN","message":"upload not found: 0-\uFFFD\u00E9"}]})");
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
            "gc cancelled: 10 blobs, 7 reachable, 3 deleted (2.0 KiB), 7 kept; 1 stale uploads (5 "
            "B); 20 ms");
}

TEST(LoopbackTest, OnlyLoopbackAddressesCount) {
  for (const char* yes : {"127.0.0.1", "127.1.2.3", "::1", "0:0:0:0:0:0:0:1", "localhost"})
    EXPECT_TRUE(tool::is_loopback_host(yes)) << yes;
  for (const char* no : {"0.0.0.0", "::", "", "10.0.0.1", "128.0.0.1", "127.1", "127.0.0.1.nip.io",
                         "localhost.example", "::ffff:127.0.0.1", "registry.example"})
    EXPECT_FALSE(tool::is_loopback_host(no)) << no;
}

TEST(BasicAuthTest, DecodesUserAndPassword) {
  struct Case {
    const char* header;
    bool ok;
    const char* user;
    const char* password;
  } cases[] = {
      {"Basic YWxpY2U6c2VjcmV0", true, "alice", "secret"},
      {"basic  YWxpY2U6c2VjcmV0 ", true, "alice", "secret"},
      {"Basic YWxpY2U6", true, "alice", ""},
      {"Basic YTpiOmM=", true, "a", "b:c"},   // the password may hold ':'
      {"Basic YTpiOmM", true, "a", "b:c"},    // padding left off
      {"Basic OnNlY3JldA==", false, "", ""},  // ":secret": no user
      {"Basic YWxpY2U=", false, "", ""},      // no ':'
      {"Basic Y", false, "", ""},
      {"Basic !!!!", false, "", ""},
      {"Basic ", false, "", ""},
      {"Bearer YWxpY2U6c2VjcmV0", false, "", ""},
      {"", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string user, password;
    EXPECT_EQ(tool::parse_basic_auth(c.header, user, password), c.ok) << c.header;
    if (c.ok) {
      EXPECT_EQ(user, c.user) << c.header;
      EXPECT_EQ(password, c.password) << c.header;
    }
  }
}

TEST(HtpasswdTest, VerifiesBcryptEntriesAsHtpasswdWritesThem) {
  std::string path = std::filesystem::temp_directory_path() / "tarnwick-htpasswd-unit";
  // `htpasswd -nbB alice secret` and `htpasswd -nbB -C 4 dave pa:ss`.
  std::ofstream(path) << "alice:$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa\r\n\n"
                         "dave:$2y$04$x4032byDsGYYG75eS/QmreKLBtD2uOVn/no7oyT.DqvjtBZr0bV7C\n";
  tool::Htpasswd users;
  std::string error;
  ASSERT_TRUE(users.load(path, error)) << error;
  std::remove(path.c_str());
  EXPECT_EQ(users.size(), 2u);
  EXPECT_TRUE(users.verify("alice", "secret"));
  EXPECT_TRUE(users.verify("dave", "pa:ss"));
  EXPECT_FALSE(users.verify("alice", "Secret"));
  EXPECT_FALSE(users.verify("alice", "secret "));
  EXPECT_FALSE(users.verify("alice", std::string("secret\0more", 11)));
  EXPECT_FALSE(users.verify("dave", "secret"));
  EXPECT_FALSE(users.verify("mallory", "secret"));
  EXPECT_FALSE(users.verify("", ""));
}

TEST(HtpasswdTest, RefusesFilesItCannotFullyUse) {
  std::string path = std::filesystem::temp_directory_path() / "tarnwick-htpasswd-bad";
  std::string bcrypt = "$2y$05$vgDfXjTbg5st1JBxxSqLx.y9.ED8ENMNLSU45tDjVYWIN.ubsFHSa";
  struct Case {
    std::string text, error;
  } cases[] = {
      {"alice\n", "line 1: expected user:hash"},
      {":" + bcrypt + "\n", "line 1: expected user:hash"},
      {"# x\nbob:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n",
       "line 2: the entry of bob is not bcrypt (make it with htpasswd -B)"},
      {"bob:" + bcrypt.substr(0, 59) + "\n",
       "line 1: the entry of bob is not bcrypt (make it with htpasswd -B)"},
      {"bob:$2x$05$" + bcrypt.substr(7) + "\n",
       "line 1: the entry of bob is not bcrypt (make it with htpasswd -B)"},
      {"bob:" + bcrypt + "\nbob:" + bcrypt + "\n", "line 2: bob appears twice"},
  };
  for (const Case& c : cases) {
    std::ofstream(path) << c.text;
    tool::Htpasswd users;
    std::string error;
    EXPECT_FALSE(users.load(path, error)) << c.text;
    EXPECT_EQ(error, "htpasswd " + path + " " + c.error);
  }
  std::ofstream(path) << "\n# only comments\n";
  tool::Htpasswd users;
  std::string error;
  EXPECT_FALSE(users.load(path, error));
  EXPECT_EQ(error, "htpasswd " + path + ": no users");
  std::remove(path.c_str());
}

TEST(ListenRefusalTest, NonLoopbackNeedsTlsAndCredentialsOrInsecure) {
  std::string refused =
      "serve: refusing to listen on 0.0.0.0 without --tls-cert, --tls-key and "
      "--htpasswd (pass --insecure to do it anyway)";
  EXPECT_EQ(tool::listen_refusal("0.0.0.0", false, false, false), refused);
  EXPECT_EQ(tool::listen_refusal("0.0.0.0", true, false, false), refused);
  EXPECT_EQ(tool::listen_refusal("0.0.0.0", false, true, false), refused);
  EXPECT_EQ(tool::listen_refusal("0.0.0.0", true, true, false), "");
  EXPECT_EQ(tool::listen_refusal("0.0.0.0", false, false, true), "");
  EXPECT_EQ(tool::listen_refusal("127.0.0.1", false, false, false), "");
}

}  // namespace

TEST(HeaderNumbersTest, DecimalsAreDigitsOnlyAndNeverOverflow) {
  long long v = -1;
  EXPECT_TRUE(tool::parse_decimal("0", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(tool::parse_decimal("9223372036854775807", v));
  EXPECT_EQ(v, 9223372036854775807LL);
  for (const char* bad :
       {"", "9223372036854775808", "99999999999999999999", "-1", "+1", " 1", "1 ", "0x10", "1e3"})
    EXPECT_FALSE(tool::parse_decimal(bad, v)) << bad;
}

// Two tables on one store stand for two servers: each counts the other's sessions against the
// bounds and continues them; an expiry takes every idle session except one a request holds.
TEST(UploadSessionsTest, KeptInTheStoreBoundedAcrossServersExpiredUnlessHeld) {
  using namespace std::chrono_literals;
  const auto root = std::filesystem::temp_directory_path() /
                    ("sessions-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  tool::UploadLimits limits;
  limits.max_total = 3;
  limits.max_per_user = 2;
  limits.idle = 3600s;
  tool::UploadSessions a(limits), b(limits);
  auto start = [](tool::UploadSessions& s, const std::string& user) {
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), 0);
    EXPECT_TRUE(s.open(id, "r", user));
    return std::string(id);
  };
  const std::string a1 = start(a, "alice"), a2 = start(b, "alice");
  EXPECT_FALSE(a.has_room("alice"));
  EXPECT_TRUE(b.has_room("bob"));
  const std::string b1 = start(a, "bob");
  EXPECT_FALSE(b.has_room("carol"));  // the total bound
  EXPECT_EQ(b.size(), 3u);
  EXPECT_FALSE(b.find(a1, "other", "alice"));
  EXPECT_FALSE(b.find(a1, "r", "bob"));
  EXPECT_FALSE(b.find("../" + a1.substr(3), "r", "alice"));
  auto parts = [&] {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(root / "uploads"))
      n += e.path().extension() == ".part";
    return n;
  };
  {
    tool::SessionHold held = b.find(a1, "r", "alice");
    ASSERT_TRUE(held);
    EXPECT_EQ(a.expire(), 0u);  // none idle long enough
    limits.idle = 0s;
    a.set_limits(limits);
    EXPECT_EQ(a.expire(), 2u);  // a2 and b1; a1 is in use
    EXPECT_EQ(parts(), 1u);
    EXPECT_FALSE(a.find(a2, "r", "alice"));
    b.close(held);  // the upload is done: its session goes
  }
  EXPECT_FALSE(a.find(a1, "r", "alice"));
  EXPECT_EQ(a.size(), 0u);
  reg_storage_cleanup();
  std::filesystem::remove_all(root);
}

TEST(AuthGuardsTest, CacheKeepsPassedCredentialsForTheirTimeOnly) {
  using namespace std::chrono_literals;
  tool::CredentialCache cache(60s, 2);
  auto t0 = tool::CredentialCache::Clock::now();
  cache.remember("alice", "secret", t0);
  EXPECT_TRUE(cache.known("alice", "secret", t0 + 59s));
  EXPECT_FALSE(cache.known("alice", "Secret", t0));
  EXPECT_FALSE(cache.known("alic", "esecret", t0));  // same bytes, other split
  EXPECT_FALSE(cache.known("alice", "secret", t0 + 60s));
  bool leader = false;
  EXPECT_FALSE(cache.join_check("bob", "pw", leader));
  EXPECT_TRUE(leader);
  std::thread follower([&] {
    bool second = false;
    bool passed = cache.join_check("bob", "pw", second);  // waits for the first check's result
    if (second) {  // came after it ended: the cache answers instead
      passed = cache.known("bob", "pw");
      cache.end_check("bob", "pw");
    }
    EXPECT_TRUE(passed);
  });
  std::this_thread::sleep_for(20ms);
  cache.remember("bob", "pw");
  cache.end_check("bob", "pw");
  follower.join();
  tool::FailureLimiter limiter(2);
  EXPECT_TRUE(limiter.allowed("10.0.0.1", t0));
  limiter.failed("10.0.0.1", t0);
  limiter.failed("10.0.0.1", t0 + 1s);
  EXPECT_FALSE(limiter.allowed("10.0.0.1", t0 + 2s));
  EXPECT_TRUE(limiter.allowed("10.0.0.2", t0 + 2s));
  EXPECT_TRUE(limiter.allowed("10.0.0.1", t0 + 61s));
}

// An unknown name costs a bcrypt run too: it is not answered much faster than a wrong
// password (cost 8: some 20 ms a check).
TEST(AuthGuardsTest, UnknownUserCostsLikeAWrongPassword) {
  std::string path = std::filesystem::temp_directory_path() /
                     ("tarnwick-htpasswd-cost-" + std::to_string(getpid()));
  std::ofstream(path) << "carol:$2y$08$WUjuPBEDeMeEde4dI5ykZ.dSIQ1XUGNCg6dkEaRJaFrJSWg5Ry0NO\n";
  tool::Htpasswd users;
  std::string error;
  ASSERT_TRUE(users.load(path, error)) << error;
  std::remove(path.c_str());
  auto fastest = [&](const char* user) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 5; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      EXPECT_FALSE(users.verify(user, "nope"));
      best = std::min(best, std::chrono::steady_clock::now() - t0);
    }
    return best;
  };
  auto wrong = fastest("carol"), unknown = fastest("nobody");
  EXPECT_GT(unknown * 3, wrong);
  EXPECT_TRUE(users.verify("carol", "pw"));
}

// The configuration file: every error names the file, the line and the key, and leaves the
// settings as they were; what is rendered reads back to the same settings.
TEST(SettingsFileTest, ErrorsNameTheKeyAndLineAndTheRenderingReadsBack) {
  const std::pair<const char*, const char*> bad[] = {
      {"[limits]\nmax-upload = 3\n", "cfg line 2: unknown key limits.max-upload"},
      {"[limts]\nmax-uploads = 3\n", "cfg line 1: unknown key limts"},
      {"tls = 3\n", "cfg line 1: unknown key tls"},
      {"[server]\nthreads = \"many\"\n", "cfg line 2: server.threads must be an integer"},
      {"[server]\nthreads = 0\n", "cfg line 2: server.threads must be positive"},
      {"[server]\nthreads = 9999999999\n", "cfg line 2: server.threads is out of range"},
      {"[server]\nread-only = 1\n", "cfg line 2: server.read-only must be true or false"},
      {"root = [\n", "cfg line 1: "},
  };
  for (const auto& [text, message] : bad) {
    tool::Settings s;
    s.serve.threads = 7;
    std::string error;
    EXPECT_FALSE(tool::load_settings_text(text, "cfg", s, error)) << text;
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
    EXPECT_EQ(s.serve.threads, 7) << text;
  }
  tool::Settings s;
  std::string error;
  ASSERT_TRUE(tool::load_settings_text(
      "root = \"/srv/a \\\"b\\\"\"\nlimits.max-uploads = 5\n[server]\nread-only = true\n"
      "[auth]\ncache-seconds = 9\n"
      "[token]\nkey = \"/k.pub\"\nrealm = \"https://r/token\"\n"
      "service = \"reg\"\nissuer = \"ts\"\n",
      "cfg", s, error))
      << error;
  EXPECT_EQ(s.global.root, "/srv/a \"b\"");
  EXPECT_EQ(s.serve.tokens.key, "/k.pub");
  EXPECT_EQ(s.serve.tokens.realm, "https://r/token");
  EXPECT_EQ(s.serve.tokens.service, "reg");
  EXPECT_EQ(s.serve.tokens.issuer, "ts");
  EXPECT_EQ(s.serve.max_uploads, 5);
  EXPECT_TRUE(s.serve.read_only);
  EXPECT_EQ(s.serve.auth_cache_s, 9);
  tool::Settings again;
  ASSERT_TRUE(tool::load_settings_text(tool::render_settings(s), "rendered", again, error))
      << error;
  EXPECT_EQ(tool::render_settings(again), tool::render_settings(s));
  EXPECT_EQ(again.global.root, s.global.root);
}
