// Referrers: real OCI manifests and artifacts pushed into a store, the referring rule, the
// media-type sources and the tag annotation, with results worked out by hand.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "manifest_fixture.h"
#include "support/store_layout.h"

namespace regtest {
namespace {

const std::string kIndex =
    "{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";
const std::string kOciManifest = "application/vnd.oci.image.manifest.v1+json";

std::string entry(const std::string& media_type, const std::string& hex, std::size_t size,
                  const std::string& tag = "") {
  std::string e = "{\"mediaType\":\"" + media_type + "\",\"digest\":\"sha256:" + hex +
                  "\",\"size\":" + std::to_string(size);
  if (!tag.empty()) e += ",\"annotations\":{\"org.opencontainers.image.ref.name\":\"" + tag + "\"}";
  return e + "}";
}

std::string index_of(const std::vector<std::string>& entries) {
  std::string s = kIndex;
  for (std::size_t i = 0; i < entries.size(); ++i) s += (i ? "," : "") + entries[i];
  return s + "]}";
}

// The digests of a result's manifests array, in order.
std::vector<std::string> digests_in(const char* json) {
  std::vector<std::string> out;
  yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
  EXPECT_NE(doc, nullptr) << "not valid JSON";
  if (!doc) return out;
  std::size_t i, n;
  yyjson_val* el;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "manifests"), i, n, el)
      out.push_back(yyjson_get_str(yyjson_obj_get(el, "digest")));
  yyjson_doc_free(doc);
  return out;
}

class ReferrersTest : public ManifestTest {
 protected:
  std::string referrers(const std::string& digest) {
    const char* s = reg_referrers_json(digest.c_str());
    EXPECT_NE(s, nullptr) << digest << ": " << reg_storage_last_error();
    return s ? s : "";
  }
  const std::string subject_ = digest_of("subject blob");
};

// Two repositories of real images, indexes and OCI 1.1 artifacts. Their `subject` members
// play no part: only config, layers and manifests refer.
TEST_F(ReferrersTest, FindsReferrersAmongPushedManifests) {
  if (testdata_dir().empty()) GTEST_SKIP() << "shared test data not found";
  const auto td = [](const char* n) { return testdata_manifest(n); };
  for (const char* n :
       {"oci-manifest-2layers.json", "oci-manifest-3layers.json", "oci-manifest-5layers.json",
        "oci-manifest-with-subject.json", "oci-artifact-sbom-subject-index.json",
        "oci-artifact-signature-subject-index.json", "oci-artifact-3layers-annotated.json",
        "oci-artifact-child.json"})
    place_referenced_blobs(rootp(), td(n));
  push("app", "arm64", td("oci-manifest-2layers.json"));
  push("app", "armv7", td("oci-manifest-3layers.json"));
  push("app", "armv6", td("oci-manifest-5layers.json"));
  // Two platform entries of this index are not among the samples: stand-ins take their names.
  for (const char* hex : {"1effc9d48232693f4584ceb9c5e8d84ddeb5924ea4aff341aa8204510422f668",
                          "43089316cfeec5c2f7897591f5925167afda21932cf71a1a1264684930e7b40a"})
    write_all(manifests_path(rootp(), "app") / hex, "{}");
  push("artifacts", "attest", td("oci-manifest-with-subject.json"));
  push("app", "multi", td("oci-index-2platforms-attestations.json"));
  push("artifacts", "sbom", td("oci-artifact-sbom-subject-index.json"));
  push("artifacts", "sha256:" + std::string(64, '0'),
       td("oci-artifact-signature-subject-index.json"));
  push("artifacts", "a", td("oci-artifact-3layers-annotated.json"));
  push("artifacts", "b", td("oci-artifact-3layers-annotated.json"));  // two tags: no annotation
  push("artifacts", "child", td("oci-artifact-child.json"));
  push("artifacts", "loop", td("oci-index-artifact-with-subject.json"));

  // The empty config blob `{}` of every artifact and of the attestation.
  EXPECT_EQ(
      referrers("sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a"),
      index_of(
          {entry(kOciManifest, "2a25aa502b5155860847e5b3528b8839fee45514b3ed1dd67ed8c3d42efefd53",
                 876),
           entry(kOciManifest, "741132f956e196c3858dab17e50ea977056f2f1ce1ad2900f11f4c8ff2d4203b",
                 588),
           entry(kOciManifest, "8e54c6754f08d22f85c7552bb1951b228b8194d29b14a1639dbe50868da0273e",
                 415, "child"),
           entry(kOciManifest, "ad460bc30198d65c14708aa6ec4445498243bc642fce8b64ea7ce21ba559cc79",
                 616, "sbom"),
           entry(kOciManifest, "d910434391624641a9398ec921067e2dbd9a76aac69f120257906f811f0eecb8",
                 557, "attest")}));
  // A layer blob shared by three images.
  EXPECT_EQ(
      referrers("sha256:ac4ae1712ec852391e6aae58abf8ff4665df9ae87c71d1e81aa421508a7b831d"),
      index_of(
          {entry(kOciManifest, "36ed7f4ec4545a40ca043f60d76653ef3d2a76f58a051c0f3a256aaab26fb847",
                 710, "armv7"),
           entry(kOciManifest, "7e87ffc91b9ceafa85be2777b16b1be10e4664fd4f3acc86e4295b97da5163ba",
                 556, "arm64"),
           entry(kOciManifest, "8fb6a85012f44e45a0555da6449e1444bdfe9b6589c3090ffccbdbcdcf979011",
                 1018, "armv6")}));
  // A manifest known only as a body: the index listing it refers, the attestation whose
  // subject it is does not.
  EXPECT_EQ(referrers("sha256:7e87ffc91b9ceafa85be2777b16b1be10e4664fd4f3acc86e4295b97da5163ba"),
            index_of({entry("application/vnd.oci.image.index.v1+json",
                            "7ceb9b6bcc274697d0c38be6214b50cec79d601bc61708747d3f6cb772f6c6fa",
                            1262, "multi")}));
  EXPECT_EQ(referrers("sha256:8e54c6754f08d22f85c7552bb1951b228b8194d29b14a1639dbe50868da0273e"),
            index_of({entry("application/vnd.oci.image.index.v1+json",
                            "d69399e05204fac05b0184eef72e984538cdc9c5854a6484e8852e4357c543cb", 445,
                            "loop")}));
  // Named only as a subject, and stored nowhere.
  EXPECT_EQ(
      reg_referrers_json("sha256:6fe828b32b9b4572f32b16c1c0a4d675660b19ec207d010724309374252c2d6d"),
      nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "manifest not found");
}

TEST_F(ReferrersTest, RefusesBadArgumentsInOrder) {
  const auto before = snapshot_tree(rootp());
  struct Case {
    const char* digest;
    bool ready;
    const char* message;
  } cases[] = {
      {nullptr, false, "digest is NULL"},
      {"sha256:zz", false, "not initialized - call reg_storage_init first"},
      {nullptr, true, "digest is NULL"},
      {"sha256:zz", true, "invalid digest"},
      {"sha256:ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789", true,
       "invalid digest"},
      {"sha512:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", true,
       "invalid digest"},
      {"sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", true,
       "manifest not found"},
  };
  for (const auto& c : cases) {
    if (c.ready)
      ASSERT_EQ(reg_storage_init(root().c_str()), 0);
    else
      reg_storage_cleanup();
    EXPECT_EQ(reg_referrers_json(c.digest), nullptr) << (c.digest ? c.digest : "null");
    EXPECT_STREQ(reg_storage_last_error(), c.message);
  }
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

// The subject must be a stored blob or a stored manifest body; a manifest naming it is not
// enough. A successful call clears the last error.
TEST_F(ReferrersTest, SubjectMustBeStored) {
  EXPECT_EQ(reg_referrers_json(subject_.c_str()), nullptr);  // no repositories, no blob
  EXPECT_STREQ(reg_storage_last_error(), "manifest not found");
  place_manifest(rootp(), "r", "{\"config\":{\"digest\":\"" + subject_ + "\"}}", nullptr);
  EXPECT_EQ(reg_referrers_json(subject_.c_str()), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "manifest not found");

  fs::remove_all(rootp() / "repositories" / "r");
  place_blob_file(rootp(), subject_, "subject blob");
  EXPECT_EQ(referrers(subject_), kIndex + "]}");
  EXPECT_STREQ(reg_storage_last_error(), "");
}

TEST_F(ReferrersTest, AppliesTheReferringRule) {
  place_blob_file(rootp(), subject_, "x");
  const std::string d = "{\"digest\":\"" + subject_ + "\"}";
  std::string upper = subject_;
  std::transform(upper.begin() + 7, upper.end(), upper.begin() + 7, ::toupper);
  struct Case {
    std::string body;
    bool refers;
  } cases[] = {
      {"{\"config\":" + d + "}", true},
      {"{\"layers\":[1,\"x\"," + d + "]}", true},  // non-objects are passed over
      {"{\"manifests\":[{\"digest\":\"sha256:" + std::string(64, '1') + "\"}," + d + "]}", true},
      {"{\"layers\":[" + d + "," + d + "]}", true},  // named twice, listed once
      {"{\"config\":{\"digest\":\"" + upper + "\"}}", false},
      {"{\"layers\":[{\"digest\":\"sha512:" + hex_of(subject_) + "\"}]}", false},
      {"{\"subject\":" + d + "}", false},
      {"{\"layers\":" + d + "}", false},  // not an array
      {"{\"config\":{\"digest\":\"" + subject_ + "\\n\"}}", false},
      {"[" + d + "]", false},
      {"{\"config\":" + d, false},  // not JSON
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    const std::string digest = place_manifest(rootp(), "r", c.body, nullptr);
    if (c.refers) expected.push_back(digest);
  }
  // The same referrer stored in a second repository is listed once.
  place_manifest(rootp(), "other", cases[0].body, nullptr);
  std::sort(expected.begin(), expected.end());
  const std::string json = referrers(subject_);
  EXPECT_EQ(digests_in(json.c_str()), expected);
}

TEST_F(ReferrersTest, ManifestIsNeverItsOwnReferrer) {
  // Placed by hand under the subject's name: a body naming its own digest.
  write_all(manifests_path(rootp(), "r") / hex_of(subject_),
            "{\"config\":{\"digest\":\"" + subject_ + "\"}}");
  EXPECT_EQ(referrers(subject_), kIndex + "]}");  // known as a manifest body: accepted, not listed
}

TEST_F(ReferrersTest, ChoosesMediaTypeFromBodyThenContentTypeFileThenDefault) {
  place_blob_file(rootp(), subject_, "x");
  const std::string layers = "\"layers\":[{\"digest\":\"" + subject_ + "\"}]";
  const std::string long_type(200, 'm');
  struct Case {
    std::string body_media;  // "" for none; otherwise a JSON value
    const char* ct;
    std::string expected;  // as escaped in the result
  } cases[] = {
      {"\"application/x.body\"", "application/x.ct", "application/x.body"},
      {"", "application/x.ct\r\n \n", "application/x.ct"},
      {"", "text/x\t", "text/x\\t"},  // a tab stays
      {"", nullptr, "application/vnd.docker.distribution.manifest.v2+json"},
      {"\"\"", "", "application/vnd.docker.distribution.manifest.v2+json"},
      {"42", "application/x.ct", "application/x.ct"},
      {"\"" + long_type + "\"", nullptr, std::string(159, 'm')},
      {"\"a\\\"b\"", nullptr, "a\\\"b"},
  };
  std::vector<std::pair<std::string, std::string>> expected;  // digest, entry
  int n = 0;
  for (const auto& c : cases) {
    const std::string body = "{" +
                             (c.body_media.empty() ? "" : "\"mediaType\":" + c.body_media + ",") +
                             "\"n\":" + std::to_string(n++) + "," + layers + "}";
    const std::string digest = place_manifest(rootp(), "r", body, c.ct);
    expected.emplace_back(digest, entry(c.expected, hex_of(digest), body.size()));
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> entries;
  for (const auto& e : expected) entries.push_back(e.second);
  EXPECT_EQ(referrers(subject_), index_of(entries));
}

// The ref.name annotation appears when exactly one tag in the whole store names the referrer.
TEST_F(ReferrersTest, AnnotatesReferrersNamedByExactlyOneTag) {
  place_blob_file(rootp(), subject_, "x");
  const auto body = [&](int i) {
    return "{\"n\":" + std::to_string(i) + ",\"config\":{\"digest\":\"" + subject_ + "\"}}";
  };
  const std::string one = place_manifest(rootp(), "r", body(1), nullptr, {"only"});
  const std::string two = place_manifest(rootp(), "r", body(2), nullptr, {"x"});
  place_tag(rootp(), "s", "y", two);  // a second tag in another repository
  const std::string lf = place_manifest(rootp(), "r", body(3), nullptr);
  place_tag(rootp(), "r", "lf", lf + "\n");  // a trailing line feed still counts
  const std::string quote = place_manifest(rootp(), "r", body(4), nullptr, {"q\"t"});
  const std::string none = place_manifest(rootp(), "r", body(5), nullptr);
  std::vector<std::pair<std::string, std::string>> expected = {
      {one, "only"}, {two, ""}, {lf, "lf"}, {quote, "q\\\"t"}, {none, ""}};
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> entries;
  for (const auto& [digest, tag] : expected)
    entries.push_back(entry("application/vnd.docker.distribution.manifest.v2+json", hex_of(digest),
                            body(1).size(), tag));
  EXPECT_EQ(referrers(subject_), index_of(entries));
}

// A result that would overflow the 1 MiB buffer ends its array early and stays valid JSON.
TEST_F(ReferrersTest, OverlongResultEndsEarlyAsValidJson) {
  place_blob_file(rootp(), subject_, "x");
  std::string escaped_type;  // 159 control characters: six bytes each in the result
  for (int i = 0; i < 159; ++i) escaped_type += "\\u0001";
  std::vector<std::string> all;
  for (int i = 0; i < 1200; ++i) {  // 200 per repository, within one listing of each
    const std::string body = "{\"mediaType\":\"" + escaped_type + "\",\"n\":" + std::to_string(i) +
                             ",\"config\":{\"digest\":\"" + subject_ + "\"}}";
    all.push_back(place_manifest(rootp(), "r" + std::to_string(i / 200), body, nullptr));
  }
  std::sort(all.begin(), all.end());
  const char* json = reg_referrers_json(subject_.c_str());
  ASSERT_NE(json, nullptr) << reg_storage_last_error();
  const std::size_t len = std::strlen(json);
  EXPECT_LT(len, std::size_t{1} << 20);
  EXPECT_EQ(std::string(json + len - 2), "]}");
  const auto listed = digests_in(json);
  ASSERT_GT(listed.size(), 900u);
  ASSERT_LT(listed.size(), all.size());
  EXPECT_TRUE(std::equal(listed.begin(), listed.end(), all.begin()));  // the first ones, in order
  EXPECT_GT(len + 1100, std::size_t{1} << 20);  // ended only when the next entry would not fit
}

}  // namespace
}  // namespace regtest
