// The registry server's HTTP API against a running server: blobs with ranges, uploads bound to
// their repository and checked ranges, manifests with their limits and protection, paging,
// referrers, and pushes held off while a collection owns the store.
#include <gtest/gtest.h>

#include "api_helpers.h"
#include "digest.h"
#include "store_lock.h"

#include <filesystem>

namespace {

using tooltest::ApiTest;

TEST_F(ApiTest, BaseAnswersWithApiVersion) {
  auto r = cli().Get("/v2/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Docker-Distribution-API-Version"), "registry/2.0");
}

TEST_F(ApiTest, BlobRangesAreServedFromTheFile) {
  std::string data = "0123456789";
  std::string d = push_blob("ranges/app", data);
  struct Case {
    const char* range;
    int status;
    const char* body;
    const char* content_range;
  } cases[] = {
      {"", 200, "0123456789", ""},
      {"bytes=2-4", 206, "234", "bytes 2-4/10"},
      {"bytes=7-", 206, "789", "bytes 7-9/10"},
      {"bytes=-3", 206, "789", "bytes 7-9/10"},
      {"bytes=5-100", 206, "56789", "bytes 5-9/10"},
      {"bytes=10-", 416, nullptr, "bytes */10"},
      {"bytes=4-2", 416, nullptr, "bytes */10"},  // invalid: answered as unsatisfiable
      {"bytes=0-1,4-5", 200, "0123456789", ""},   // several ranges: whole body
  };
  for (const Case& c : cases) {
    httplib::Headers h;
    if (*c.range) h.emplace("Range", c.range);
    auto r = cli().Get(("/v2/ranges/app/blobs/" + d).c_str(), h);
    ASSERT_TRUE(r) << c.range;
    EXPECT_EQ(r->status, c.status) << c.range;
    if (c.body) {
      EXPECT_EQ(r->body, c.body) << c.range;
    }
    EXPECT_EQ(r->get_header_value("Content-Range"), c.content_range) << c.range;
  }
  auto head = cli().Head(("/v2/ranges/app/blobs/" + d).c_str());
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Length"), "10");
  EXPECT_EQ(head->get_header_value("Docker-Content-Digest"), d);
  EXPECT_EQ(head->body, "");
}

TEST_F(ApiTest, UnknownOrInvalidBlobsAreApiErrors) {
  std::string missing = tool::sha256_digest("never pushed");
  expect_error(cli().Get(("/v2/a/blobs/" + missing).c_str()), 404, "BLOB_UNKNOWN");
  expect_error(cli().Get("/v2/a/blobs/sha256:ABC"), 400, "DIGEST_INVALID");
  expect_error(cli().Get("/v2/Bad/blobs/sha256:00"), 400, "NAME_INVALID");
  expect_error(cli().Delete(("/v2/a/blobs/" + missing).c_str()), 404, "BLOB_UNKNOWN");
  expect_error(cli().Get("/v2/a/nothing/here"), 404, "NOT_FOUND");
}

TEST_F(ApiTest, UploadIdWorksOnlyOnItsOwnRepository) {
  std::string loc = start_upload("owner/repo");
  std::string uuid = loc.substr(loc.rfind('/') + 1);
  ASSERT_EQ(patch(loc, "abc", "0-2")->status, 202);
  std::string other = "/v2/other/repo/blobs/uploads/" + uuid;
  std::string d = tool::sha256_digest("abc");
  expect_error(cli().Patch(other.c_str(), "def", 3, "application/octet-stream"), 404,
               "BLOB_UPLOAD_UNKNOWN");
  expect_error(cli().Get(other.c_str()), 404, "BLOB_UPLOAD_UNKNOWN");
  expect_error(cli().Put((other + "?digest=" + d).c_str(), "", 0, "application/octet-stream"), 404,
               "BLOB_UPLOAD_UNKNOWN");
  expect_error(cli().Delete(other.c_str()), 404, "BLOB_UPLOAD_UNKNOWN");
  // The owner's upload is untouched by all of that.
  auto status = cli().Get(loc.c_str());
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 204);
  EXPECT_EQ(status->get_header_value("Range"), "0-2");
  auto done = cli().Put((loc + "?digest=" + d).c_str(), "", 0, "application/octet-stream");
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 201);
  EXPECT_EQ(blob_body("owner/repo", d), "abc");
}

TEST_F(ApiTest, PatchRangesMustContinueTheUpload) {
  std::string loc = start_upload("chunks/app");
  ASSERT_EQ(patch(loc, "abc", "0-2")->status, 202);
  struct Case {
    const char* range;
    const char* body;
    int status;
  } refused[] = {{"0-2", "abc", 416},
                 {"4-6", "efg", 416},
                 {"3-9", "def", 416},
                 {"x-y", "def", 416},
                 {"3-9223372036854775807", "def", 416},  // its length would overflow
                 {"3-99999999999999999999", "def", 416},
                 {"-3-5", "def", 416}};
  for (const Case& c : refused) {
    auto r = patch(loc, c.body, c.range);
    ASSERT_TRUE(r) << c.range;
    EXPECT_EQ(r->status, c.status) << c.range;
    EXPECT_EQ(r->get_header_value("Range"), "0-2") << c.range;  // nothing was appended
  }
  auto ok = patch(loc, "def", "3-5");
  EXPECT_EQ(ok->status, 202);
  EXPECT_EQ(ok->get_header_value("Range"), "0-5");
  auto no_range = patch(loc, "g", "");
  EXPECT_EQ(no_range->get_header_value("Range"), "0-6");
  std::string d = tool::sha256_digest("abcdefg");
  auto put = cli().Put((loc + "?digest=" + d).c_str(), "", 0, "application/octet-stream");
  EXPECT_EQ(put->status, 201);
  EXPECT_EQ(put->get_header_value("Docker-Content-Digest"), d);
  EXPECT_EQ(blob_body("chunks/app", d), "abcdefg");
}

TEST_F(ApiTest, WrongDigestEndsTheUpload) {
  std::string loc = start_upload("mismatch/app");
  std::string wrong = tool::sha256_digest("something else");
  expect_error(cli().Put((loc + "?digest=" + wrong).c_str(), "data", 4, "application/octet-stream"),
               400, "DIGEST_INVALID");
  expect_error(cli().Get(loc.c_str()), 404, "BLOB_UPLOAD_UNKNOWN");
  expect_error(cli().Get(("/v2/mismatch/app/blobs/" + wrong).c_str()), 404, "BLOB_UNKNOWN");
}

TEST_F(ApiTest, MountSucceedsForStoredBlobsAndOtherwiseOpensAnUpload) {
  std::string d = push_blob("mount/src", "shared bytes");
  auto r = cli().Post(("/v2/mount/dst/blobs/uploads/?mount=" + d + "&from=mount/src").c_str(), "",
                      0, "application/octet-stream");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 201);
  EXPECT_EQ(r->get_header_value("Location"), "/v2/mount/dst/blobs/" + d);
  std::string missing = tool::sha256_digest("not stored");
  auto r2 =
      cli().Post(("/v2/mount/dst/blobs/uploads/?mount=" + missing + "&from=mount/src").c_str(), "",
                 0, "application/octet-stream");
  ASSERT_TRUE(r2);
  EXPECT_EQ(r2->status, 202);
  EXPECT_NE(r2->get_header_value("Docker-Upload-UUID"), "");
}

TEST_F(ApiTest, ManifestRoundTripByTagAndDigest) {
  std::string body = image_manifest("man/app", "layer one");
  const char* ct = "application/vnd.oci.image.manifest.v1+json";
  auto put = put_manifest("man/app", "v1", body, ct);
  ASSERT_EQ(put->status, 201);
  std::string d = tool::sha256_digest(body);
  EXPECT_EQ(put->get_header_value("Docker-Content-Digest"), d);
  for (const std::string& ref : {std::string("v1"), d}) {
    auto get = cli().Get(("/v2/man/app/manifests/" + ref).c_str());
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 200);
    EXPECT_EQ(get->body, body);
    EXPECT_EQ(get->get_header_value("Content-Type"), ct);
    EXPECT_EQ(get->get_header_value("Docker-Content-Digest"), d);
    auto head = cli().Head(("/v2/man/app/manifests/" + ref).c_str());
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(head->body, "");
  }
  EXPECT_EQ(cli().Delete("/v2/man/app/manifests/v1")->status, 202);
  expect_error(cli().Get("/v2/man/app/manifests/v1"), 404, "MANIFEST_UNKNOWN");
}

// A manifest is served with its stored type only when that is a manifest or vendor type; no
// response is left to a browser's sniffing; a type retrieval would cut is refused at push.
TEST_F(ApiTest, ManifestsAreServedOnlyAsManifestTypes) {
  const std::string body = image_manifest("ct/app", "layer for types");
  const std::string fallback = "application/vnd.docker.distribution.manifest.v2+json";
  const struct {
    const char* pushed;
    std::string served;
  } cases[] = {
      {"text/html", fallback},
      {"application/javascript", fallback},
      {"application/vnd.oci.image.index.v1+json", "application/vnd.oci.image.index.v1+json"},
      {"application/vnd.example.artifact+json", "application/vnd.example.artifact+json"},
      {"application/vnd.x;charset=utf-8", fallback},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(put_manifest("ct/app", "v1", body, c.pushed)->status, 201) << c.pushed;
    auto get = cli().Get("/v2/ct/app/manifests/v1");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->get_header_value("Content-Type"), c.served) << c.pushed;
    EXPECT_EQ(get->get_header_value("X-Content-Type-Options"), "nosniff");
  }
  const std::string long_type = "application/vnd." + std::string(111, 'x');  // 127 characters
  expect_error(put_manifest("ct/app", "v2", body, long_type.c_str()), 400, "MANIFEST_INVALID");
  auto missing = cli().Get("/v2/ct/app/manifests/v2");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->get_header_value("X-Content-Type-Options"), "nosniff");
}

TEST_F(ApiTest, RefusedManifestPushesWriteNothing) {
  std::string good = image_manifest("refuse/app", "layer");
  std::string unknown_blob = R"({"schemaVersion":2,"config":{"digest":")" +
                             tool::sha256_digest("nope") + R"(","size":4},"layers":[]})";
  std::string big_json(1048576, ' ');
  big_json[0] = '{';
  big_json[big_json.size() - 1] = '}';
  struct Case {
    std::string ref, body;
    int status;
    const char* code;
  } cases[] = {
      {"v1", unknown_blob, 400, "MANIFEST_BLOB_UNKNOWN"},
      {"v1", "not json", 400, "MANIFEST_INVALID"},
      {tool::sha256_digest("other bytes"), good, 400, "DIGEST_INVALID"},
      {"bad/tag", good, 404, "NOT_FOUND"},  // a tag never holds a "/"
      {"-bad", good, 400, "MANIFEST_INVALID"},
      {"v1", big_json, 413, "SIZE_INVALID"},  // over the library's 1 MiB
  };
  for (const Case& c : cases) {
    auto r =
        put_manifest("refuse/app", c.ref, c.body, "application/vnd.oci.image.manifest.v1+json");
    expect_error(r, c.status, c.code);
  }
  // Over the API's 4 MiB the answer comes before any of the body is sent.
  std::string reply = raw_request(
      "PUT /v2/refuse/app/manifests/v1 HTTP/1.1\r\nHost: x\r\nContent-Length: 4194305\r\n"
      "Content-Type: application/vnd.oci.image.manifest.v1+json\r\n\r\n");
  EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 413");
  EXPECT_NE(reply.find("SIZE_INVALID"), std::string::npos);
  auto tags = cli().Get("/v2/refuse/app/tags/list");
  EXPECT_EQ(tags->body, R"({"name":"refuse/app","tags":[]})");
  expect_error(cli().Get(("/v2/refuse/app/manifests/" + tool::sha256_digest(good)).c_str()), 404,
               "MANIFEST_UNKNOWN");
}

TEST_F(ApiTest, ProtectedTagsAreDenied) {
  const char* ct = "application/vnd.oci.image.manifest.v1+json";
  std::string first = image_manifest("prot/app", "first");
  ASSERT_EQ(put_manifest("prot/app", "locked-1", first, ct)->status, 201);
  std::string second = image_manifest("prot/app", "second");
  expect_error(put_manifest("prot/app", "locked-1", second, ct), 403, "DENIED");
  expect_error(cli().Delete("/v2/prot/app/manifests/locked-1"), 403, "DENIED");
  EXPECT_EQ(cli().Get("/v2/prot/app/manifests/locked-1")->body, first);
}

TEST_F(ApiTest, TagsAndCatalogPageWithLinks) {
  const char* ct = "application/vnd.oci.image.manifest.v1+json";
  std::string body = image_manifest("page/app", "paged");
  for (const char* t : {"a", "b", "c"})
    ASSERT_EQ(put_manifest("page/app", t, body, ct)->status, 201);
  ASSERT_EQ(put_manifest("page/zzz", "a", body, ct)->status, 201);
  auto p1 = cli().Get("/v2/page/app/tags/list?n=2");
  EXPECT_EQ(p1->body, R"({"name":"page/app","tags":["a","b"]})");
  EXPECT_EQ(p1->get_header_value("Link"), R"(</v2/page/app/tags/list?n=2&last=b>; rel="next")");
  auto p2 = cli().Get("/v2/page/app/tags/list?n=2&last=b");
  EXPECT_EQ(p2->body, R"({"name":"page/app","tags":["c"]})");
  EXPECT_FALSE(p2->has_header("Link"));
  EXPECT_EQ(cli().Get("/v2/page/app/tags/list?n=0")->body, R"({"name":"page/app","tags":[]})");
  expect_error(cli().Get("/v2/page/app/tags/list?n=x"), 400, "PAGINATION_NUMBER_INVALID");
  auto c1 = cli().Get("/v2/_catalog?n=1&last=page");
  EXPECT_EQ(c1->body, R"({"repositories":["page/app"]})");
  EXPECT_NE(c1->get_header_value("Link").find("last=page/app"), std::string::npos);
}

// An artifact naming `subject`, with its own artifactType and an annotation.
std::string artifact(const std::string& cfg, const std::string& subject, const std::string& type) {
  return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","artifactType":")" +
         type + R"(","config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":")" + cfg +
         R"(","size":2},"layers":[],"subject":{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":")" +
         subject + R"(","size":1},"annotations":{"note":")" + type + R"("}})";
}

TEST_F(ApiTest, ReferrersListTheManifestsWhoseSubjectIsTheDigest) {
  const char* ct = "application/vnd.oci.image.manifest.v1+json";
  const std::string image = image_manifest("refs/a", "the subject");
  ASSERT_EQ(put_manifest("refs/a", "v1", image, ct)->status, 201);
  const std::string subject = tool::sha256_digest(image);
  const std::string cfg = push_blob("refs/a", "{}");
  const std::string sig = artifact(cfg, subject, "application/x-sig");
  const std::string sbom = artifact(cfg, subject, "application/x-sbom");
  auto pushed = put_manifest("refs/a", tool::sha256_digest(sig), sig, ct);
  ASSERT_EQ(pushed->status, 201);
  EXPECT_EQ(pushed->get_header_value("OCI-Subject"), subject);
  EXPECT_FALSE(put_manifest("refs/a", "v2", image, ct)->has_header("OCI-Subject"));
  ASSERT_EQ(put_manifest("refs/a", tool::sha256_digest(sbom), sbom, ct)->status, 201);

  auto all = cli().Get(("/v2/refs/a/referrers/" + subject).c_str());
  ASSERT_EQ(all->status, 200);
  EXPECT_EQ(all->get_header_value("Content-Type"), "application/vnd.oci.image.index.v1+json");
  EXPECT_NE(all->body.find(tool::sha256_digest(sig)), std::string::npos);
  EXPECT_NE(all->body.find(
                R"("artifactType":"application/x-sig","annotations":{"note":"application/x-sig"})"),
            std::string::npos)
      << all->body;
  EXPECT_NE(all->body.find(tool::sha256_digest(sbom)), std::string::npos);
  EXPECT_FALSE(all->has_header("OCI-Filters-Applied"));
  // A layer is no subject: the image that uses it is not its referrer.
  auto layer = cli().Get(("/v2/refs/a/referrers/" + tool::sha256_digest("the subject")).c_str());
  EXPECT_EQ(layer->body.find(subject), std::string::npos);

  auto filtered =
      cli().Get(("/v2/refs/a/referrers/" + subject + "?artifactType=application/x-sbom").c_str());
  EXPECT_EQ(filtered->get_header_value("OCI-Filters-Applied"), "artifactType");
  EXPECT_EQ(filtered->body.find(tool::sha256_digest(sig)), std::string::npos);
  EXPECT_NE(filtered->body.find(tool::sha256_digest(sbom)), std::string::npos);
  EXPECT_EQ(cli().Get(("/v2/refs/b/referrers/" + subject).c_str())->body.find("sha256:"),
            std::string::npos);  // another repository's referrers are not this one's

  // What a client without the API keeps under the tag schema counts as well.
  const std::string other = artifact(cfg, tool::sha256_digest("elsewhere"), "application/x-old");
  ASSERT_EQ(put_manifest("refs/a", tool::sha256_digest(other), other, ct)->status, 201);
  const std::string fallback =
      R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":")" +
      tool::sha256_digest(other) + R"(","size":1,"artifactType":"application/x-old"}]})";
  ASSERT_EQ(put_manifest("refs/a", "sha256-" + subject.substr(7), fallback,
                         "application/vnd.oci.image.index.v1+json")
                ->status,
            201);
  EXPECT_NE(
      cli().Get(("/v2/refs/a/referrers/" + subject).c_str())->body.find(tool::sha256_digest(other)),
      std::string::npos);

  // Deleting a referrer takes it out of the list.
  ASSERT_EQ(cli().Delete(("/v2/refs/a/manifests/" + tool::sha256_digest(sig)).c_str())->status,
            202);
  auto after = cli().Get(("/v2/refs/a/referrers/" + subject).c_str());
  EXPECT_EQ(after->body.find(tool::sha256_digest(sig)), std::string::npos);
  EXPECT_NE(after->body.find(tool::sha256_digest(sbom)), std::string::npos);

  auto unknown = cli().Get(("/v2/refs/a/referrers/" + tool::sha256_digest("unknown")).c_str());
  EXPECT_EQ(unknown->status, 200);
  EXPECT_NE(unknown->body.find(R"("manifests":[])"), std::string::npos);
}

TEST_F(ApiTest, PushesWaitThenGet503WhileACollectionHoldsTheStore) {
  std::string body = image_manifest("gate/app", "gated");
  tool::StoreLock gc;
  std::string error;
  ASSERT_TRUE(gc.acquire_exclusive(root(), error)) << error;
  auto refused = put_manifest("gate/app", "v1", body, "application/vnd.oci.image.manifest.v1+json");
  expect_error(refused, 503, "UNAVAILABLE");
  EXPECT_EQ(refused->get_header_value("Retry-After"), "5");
  // An upload commits only at its end: starting one does not wait for the store.
  EXPECT_EQ(cli().Post("/v2/gate/app/blobs/uploads/", "", 0, "application/octet-stream")->status,
            202);
  expect_error(cli().Post(("/v2/gate/app/blobs/uploads/?digest=" + tool::sha256_digest("x")).c_str(),
                          "x", "application/octet-stream"),
               503, "UNAVAILABLE");
  // Reads go on meanwhile.
  EXPECT_EQ(cli().Get("/v2/gate/app/tags/list")->status, 200);
  gc.release();
  EXPECT_EQ(
      put_manifest("gate/app", "v1", body, "application/vnd.oci.image.manifest.v1+json")->status,
      201);
}

}  // namespace
