// Manifest upload and retrieval: validation order and messages, the stored files, content
// types, protection of existing tags, index children anywhere in the store, the 1 MiB limit
// on both sides, the real manifests round trip, and a fault sweep over the writes.
#include <yyjson.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "manifest_fixture.h"
#include "platform/fault.h"

namespace regtest {
namespace {

const std::string kDefault = "application/vnd.docker.distribution.manifest.v2+json";
const std::string kOciManifest = "application/vnd.oci.image.manifest.v1+json";

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

struct Pulled {
  bool ok = false;
  std::string body, content_type, digest;
};

Pulled pull(const std::string& repo, const std::string& ref) {
  Pulled p;
  char ct[127] = "untouched";
  char dg[72] = "untouched";
  const char* body = reg_manifest_get(repo.c_str(), ref.c_str(), ct, dg);
  if (!body) return p;
  p.ok = true;
  p.body = body;
  p.content_type = ct;
  p.digest = dg;
  return p;
}

class ManifestsTest : public ManifestTest {};

// ---- validation ---------------------------------------------------------------------------

struct BodyCase {
  const char* body;     // {C}: a stored config blob, {L}: a stored layer, {M}: a missing digest
  const char* message;  // {M} and {C} substituted likewise
};

TEST_F(ManifestsTest, RefusedBodiesGiveTheirMessageAndChangeNothing) {
  const std::string c = make_blob("config-blob");
  const std::string l = make_blob("layer-blob");
  const std::string m = digest_of("never stored");
  const std::string upper = "sha256:" + std::string(64, 'A');
  const BodyCase cases[] = {
      {"", "manifest JSON parse failed"},
      {"{", "manifest JSON parse failed"},
      {"{\"config\":{\"digest\":\"{C}\"}} x", "manifest JSON parse failed"},
      {"[1]", "manifest must be a JSON object"},
      {"\"text\"", "manifest must be a JSON object"},
      {"{}", "manifest missing valid config.digest"},
      {"{\"schemaVersion\":2}", "manifest missing valid config.digest"},
      {"{\"config\":\"{C}\"}", "manifest missing valid config.digest"},
      {"{\"config\":{}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":5}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":\"UPPER\"}}", "manifest missing valid config.digest"},
      // An escaped NUL must not let a longer text pass as a digest.
      {"{\"config\":{\"digest\":\"{C}\\u0000x\"}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":\"{M}\"},\"layers\":[{\"digest\":\"bad\"}]}", "BLOB_UNKNOWN: {M}"},
      {"{\"config\":{\"digest\":\"{C}\"},\"layers\":{}}", "manifest layers must be an array"},
      {"{\"config\":{\"digest\":\"{C}\"},\"layers\":[{\"digest\":\"UPPER\"}]}",
       "manifest layer 0 missing valid digest"},
      {"{\"config\":{\"digest\":\"{C}\"},\"layers\":[{\"digest\":\"{L}\"},\"x\"]}",
       "manifest layer 1 missing valid digest"},
      {"{\"config\":{\"digest\":\"{C}\"},\"layers\":[{\"digest\":\"{L}\"},{\"size\":1}]}",
       "manifest layer 1 missing valid digest"},
      {"{\"config\":{\"digest\":\"{C}\"},\"layers\":[{\"digest\":\"{M}\"}]}", "BLOB_UNKNOWN: {M}"},
      {"{\"manifests\":{}}", "manifest \"manifests\" must be an array"},
      {"{\"manifests\":[]}", "manifest index must reference at least 1 manifest"},
      {"{\"manifests\":[5]}", "manifest index entry 0 missing valid digest"},
      {"{\"manifests\":[{\"digest\":\"{M}\"},{\"digest\":\"{M}\"}]}", "BLOB_UNKNOWN: {M}"},
      // Index children are manifests: a blob of that digest does not count.
      {"{\"manifests\":[{\"digest\":\"{C}\"}]}", "BLOB_UNKNOWN: {C}"},
      // Both members: an index, so its bad config is never looked at.
      {"{\"config\":{},\"manifests\":[{\"digest\":\"{M}\"}]}", "BLOB_UNKNOWN: {M}"},
  };
  const auto before = snapshot_tree(rootp());
  for (const auto& tc : cases) {
    auto sub = [&](std::string s) {
      s = replace_all(s, "{C}", c);
      s = replace_all(s, "{L}", l);
      s = replace_all(s, "{M}", m);
      return replace_all(s, "UPPER", upper);
    };
    const std::string body = sub(tc.body);
    char digest[72] = "untouched";
    EXPECT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest), -1) << body;
    EXPECT_EQ(reg_storage_last_error(), sub(tc.message)) << body;
    EXPECT_STREQ(digest, "untouched");
  }
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(ManifestsTest, IndexEntriesAreCheckedOneAtATimeInOrder) {
  const std::string child = push("app", "child", image_manifest("c"));
  const std::string m = digest_of("missing");
  const std::string body = "{\"manifests\":[{\"digest\":\"" + child + "\"},{\"digest\":\"" + child +
                           "\"},{\"x\":1},{\"digest\":\"" + m + "\"}]}";
  char digest[72];
  EXPECT_EQ(reg_manifest_put("app", "idx", body.data(), body.size(), nullptr, digest), -1);
  EXPECT_STREQ(reg_storage_last_error(), "manifest index entry 2 missing valid digest");
}

struct ArgCase {
  const char* repo;
  const char* reference;
  std::size_t body_len;  // 0: the valid body
  const char* message;
};

TEST_F(ManifestsTest, ArgumentNameAndReferenceChecksComeFirst) {
  const std::string valid = image_manifest("v");
  const std::string big(1048576, 'x');  // not JSON: the size check must precede parsing
  const ArgCase cases[] = {
      {"", "v1", 0, "invalid repository name: "},
      {"a/../b", "v1", 0, "invalid repository name: a/../b"},
      {"_manifests", "v1", 0, "invalid repository name: _manifests"},
      {"a/b/c/d/e/f/g/h/i/j", "v1", 0, "invalid repository name: a/b/c/d/e/f/g/h/i/j"},
      {"app", "", 0, "empty reference"},
      {"app", "a/b", 0, "invalid tag: a/b"},
      {"app", "a\\b", 0, "invalid tag: a\\b"},
      {"app", ".", 0, "invalid tag: ."},
      {"app", "..", 0, "invalid tag: .."},
      {"app", "..", big.size(), "invalid tag: .."},
      {"app", "v1", big.size(), "manifest too large (max 1048575 bytes)"},
      {"app", "sha256:xyz", big.size(), "manifest too large (max 1048575 bytes)"},
  };
  const auto before = snapshot_tree(rootp());
  for (const auto& tc : cases) {
    const std::string& body = tc.body_len ? big : valid;
    char digest[72] = "untouched";
    EXPECT_EQ(reg_manifest_put(tc.repo, tc.reference, body.data(), body.size(), nullptr, digest),
              -1);
    EXPECT_STREQ(reg_storage_last_error(), tc.message) << tc.repo << " " << tc.reference;
    EXPECT_STREQ(digest, "untouched");
  }
  char d[72];
  const char* b = valid.c_str();
  EXPECT_EQ(reg_manifest_put(nullptr, "v1", b, valid.size(), nullptr, d), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_put("app", nullptr, b, valid.size(), nullptr, d), -1);
  EXPECT_EQ(reg_manifest_put("app", "v1", nullptr, valid.size(), nullptr, d), -1);
  EXPECT_EQ(reg_manifest_put("app", "v1", b, valid.size(), nullptr, nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_put("", "", b, valid.size(), nullptr, d), -1);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  EXPECT_EQ(reg_manifest_put(nullptr, "v1", b, valid.size(), nullptr, d), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  ASSERT_EQ(reg_storage_init(root().c_str()), 0);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(ManifestsTest, NineComponentsAndLargestBodyAreAccepted) {
  const std::string base = image_manifest("nine");
  push("a/b/c/d/e/f/g/h/i", "v1", base);
  // Pad a valid document with blanks up to exactly the limit.
  std::string body = base + std::string(1048575 - base.size(), ' ');
  const std::string d = push("app", "big", body);
  const Pulled p = pull("app", "big");
  ASSERT_TRUE(p.ok) << reg_storage_last_error();
  EXPECT_EQ(p.body, body);
  EXPECT_EQ(p.digest, d);
}

TEST_F(ManifestsTest, PathsThatWouldNotFitAreRefusedBeforeAnyWrite) {
  const std::string body = image_manifest("long");
  const std::string prefix = root() + "/repositories/app/_manifests/tags/";
  // The link itself would fit, but not the temporary file written beside it.
  const std::string near(4095 - prefix.size() - std::string("/current/link").size(), 't');
  const std::string over(4095, 't');
  const auto before = snapshot_tree(rootp());
  for (const std::string& tag : {near, over}) {
    char digest[72];
    EXPECT_EQ(reg_manifest_put("app", tag.c_str(), body.data(), body.size(), nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "path too long");
  }
  char ct[127], dg[72];
  EXPECT_EQ(reg_manifest_get("app", over.c_str(), ct, dg), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "path too long");
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

// ---- stored files and content types -------------------------------------------------------

TEST_F(ManifestsTest, PushWritesBodyTypeAndExact71ByteLinks) {
  const std::string body = image_manifest("files");
  const std::string d = push("team/app", "v1", body);
  EXPECT_EQ(d, digest_of(body));
  EXPECT_EQ(read_all(body_file("team/app", d)), body);
  EXPECT_EQ(read_all(fs::path(body_file("team/app", d).string() + ".ct")), kOciManifest);
  EXPECT_EQ(read_all(rev_link("team/app", d)), d);
  EXPECT_EQ(read_all(tag_link("team/app", "v1")), d);
  EXPECT_EQ(read_all(tag_link("team/app", "v1")).size(), 71u);
  for (const auto& [rel, content] : snapshot_tree(rootp()))
    EXPECT_EQ(rel.find(".tmp-"), std::string::npos) << rel;
}

TEST_F(ManifestsTest, DigestReferenceStoresUnderTheBytesDigestWithoutTag) {
  const std::string body = image_manifest("bydigest");
  const std::string other = digest_of("something else");
  const std::string d = push("app", other, body);
  EXPECT_EQ(d, digest_of(body));
  EXPECT_TRUE(fs::exists(body_file("app", d)));
  EXPECT_FALSE(fs::exists(body_file("app", other)));
  EXPECT_FALSE(fs::exists(manifests_dir("app") / "tags"));
  // Form is not tested either: any "sha256:" text stores untagged.
  EXPECT_EQ(push("app", "sha256:not-a-digest", body), d);
  EXPECT_FALSE(fs::exists(manifests_dir("app") / "tags"));
}

struct TypeCase {
  const char* arg;         // nullptr: none given
  std::string media_type;  // "" : no mediaType member; "#5": the number 5
  std::string expected;    // "!": refused, as retrieval could not hand it back whole
};

TEST_F(ManifestsTest, ContentTypeFollowsTheTable) {
  const std::string index = "application/vnd.oci.image.index.v1+json";
  const std::string long_arg(127, 'a');
  const TypeCase cases[] = {
      {nullptr, index, index},
      {nullptr, "", kDefault},
      {"", index, index},
      {kDefault.c_str(), index, index},
      {kDefault.c_str(), "", kDefault},
      {"text/x", index, "text/x"},
      {"text/x", "", "text/x"},
      {long_arg.c_str(), index, "!"},
      {long_arg.c_str() + 1, index, long_arg.substr(1)},
      {nullptr, std::string(127, 'm'), "!"},
      {nullptr, std::string(126, 'm'), std::string(126, 'm')},
      {nullptr, std::string(256, 'm'), kDefault},
      {nullptr, "#5", kDefault},
      {nullptr, "#\"\"", kDefault},
  };
  const std::string config = make_blob("ct-config");
  int i = 0;
  for (const auto& tc : cases) {
    std::string body = "{\"config\":{\"digest\":\"" + config + "\"},\"n\":" + std::to_string(i++);
    if (!tc.media_type.empty())
      body += ",\"mediaType\":" +
              (tc.media_type[0] == '#' ? tc.media_type.substr(1) : "\"" + tc.media_type + "\"");
    body += "}";
    if (tc.expected == "!") {
      char d[72];
      EXPECT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), tc.arg, d), -1);
      EXPECT_STREQ(reg_storage_last_error(), "content type too long (max 126 characters)");
      continue;
    }
    const std::string d = push("app", "v1", body, tc.arg);
    EXPECT_EQ(read_all(fs::path(body_file("app", d).string() + ".ct")), tc.expected) << body;
    EXPECT_EQ(pull("app", "v1").content_type, tc.expected) << body;
  }
}

// A key given twice: the first media type decides the content type, but every config, layer
// list, index list and digest is checked, so that no second member slips a missing blob or
// child past the check of the first.
TEST_F(ManifestsTest, EveryMemberOfARepeatedKeyIsChecked) {
  const std::string c = make_blob("first"), l = make_blob("layer");
  const std::string m = digest_of("never stored");
  const std::string child = push("app", "child", "{\"config\":{\"digest\":\"" + c + "\"}}");
  auto desc = [](const std::string& d) { return "{\"digest\":\"" + d + "\"}"; };
  const std::string cases[] = {
      "{\"config\":" + desc(c) + ",\"config\":" + desc(m) + "}",
      "{\"config\":" + desc(c) + ",\"layers\":[" + desc(l) + "],\"layers\":[" + desc(m) + "]}",
      "{\"config\":" + desc(c) + ",\"layers\":[{\"digest\":\"" + l + "\",\"digest\":\"" + m +
          "\"}]}",
      "{\"manifests\":[" + desc(child) + "],\"manifests\":[" + desc(m) + "]}",
  };
  for (const std::string& body : cases) {
    char digest[72];
    EXPECT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest), -1) << body;
    EXPECT_EQ(reg_storage_last_error(), "BLOB_UNKNOWN: " + m) << body;
  }
  const std::string body = "{\"config\":" + desc(c) + ",\"config\":5}";
  char digest[72];
  EXPECT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest), -1);
  EXPECT_STREQ(reg_storage_last_error(), "manifest missing valid config.digest");
  const std::string types = "{\"config\":" + desc(c) + ",\"config\":" + desc(l) +
                            ",\"mediaType\":\"a/b\",\"mediaType\":\"c/d\"}";
  EXPECT_EQ(pull("app", push("app", "v2", types)).content_type, "a/b");
}

// ---- protection and overwriting -----------------------------------------------------------

TEST_F(ManifestsTest, ProtectedTagTakesOnlyItsOwnBytesAgain) {
  reg_tag_protection_set("release-*");
  const std::string one = image_manifest("one"), two = image_manifest("two");
  const std::string d1 = push("app", "release-1", one);
  push("app", "release-1", one);
  const auto before = snapshot_tree(rootp());
  char digest[72] = "untouched";
  EXPECT_EQ(reg_manifest_put("app", "release-1", two.data(), two.size(), nullptr, digest), -1);
  EXPECT_STREQ(reg_storage_last_error(), "TAG_IMMUTABLE: app:release-1");
  EXPECT_STREQ(digest, "untouched");
  EXPECT_EQ(snapshot_tree(rootp()), before);
  // Rules that do not match the tag, or a link without the prefix, let the push through.
  push("app", "dev", two);
  push("app", "dev", one);
  write_all(tag_link("app", "release-2"), "garbage");
  push("app", "release-2", two);
  EXPECT_EQ(pull("app", "release-1").digest, d1);
}

TEST_F(ManifestsTest, UnprotectedTagMovesAndKeepsTheOldManifest) {
  const std::string one = image_manifest("one"), two = image_manifest("two");
  const std::string d1 = push("app", "v1", one);
  const std::string d2 = push("app", "v1", two);
  EXPECT_EQ(read_all(tag_link("app", "v1")), d2);
  EXPECT_EQ(pull("app", d1).body, one);
  EXPECT_EQ(pull("app", "v1").body, two);
}

// ---- index children -----------------------------------------------------------------------

TEST_F(ManifestsTest, IndexChildFoundInAnyRepositoryIsNotCopied) {
  const std::string child = push("other/repo", "c", image_manifest("child"));
  const std::string body = "{\"manifests\":[{\"digest\":\"" + child + "\"}]}";
  push("app", "idx", body);
  char ct[127], dg[72];
  EXPECT_EQ(reg_manifest_get("app", child.c_str(), ct, dg), nullptr);
  EXPECT_EQ(reg_storage_last_error(), "manifest not found: app@" + child);
}

TEST_F(ManifestsTest, IndexChildBeyondDiscoveryLimitsIsFound) {
  // Ten levels deep: invisible to the catalog's walk, placed by hand since upload refuses it.
  const std::string body = image_manifest("deep");
  const std::string d = digest_of(body);
  write_all(body_file("a/b/c/d/e/f/g/h/i/j", d), body);
  const std::string index = "{\"manifests\":[{\"digest\":\"" + d + "\"}]}";
  push("app", "idx", index);
}

// ---- retrieval ----------------------------------------------------------------------------

TEST_F(ManifestsTest, RetrievalFailuresNameTheReference) {
  const std::string body = image_manifest("get");
  const std::string d = push("app", "v1", body);
  write_all(tag_link("app", "nl"), d + "\n");
  write_all(tag_link("app", "nul"), d + std::string(1, '\0'));
  write_all(tag_link("app", "short"), d.substr(0, 70));
  const std::string gone = digest_of("gone");
  write_all(tag_link("app", "gone"), gone);
  const std::string revonly = digest_of("revonly");
  write_all(rev_link("app", revonly), revonly);
  const std::string upper = "sha256:" + std::string(64, 'A');
  struct Case {
    std::string repo, ref, message;
  } cases[] = {
      {"", "v1", "invalid repository name"},
      {"a/../b", "v1", "invalid repository name"},
      {"app", "a/b", "invalid tag: a/b"},
      {"app", "..", "invalid tag: .."},
      {"app", "", "invalid tag: "},
      {"app", upper, "invalid digest reference"},
      {"app", "sha256:abc", "invalid digest reference"},
      {"app", gone, "manifest not found: app@" + gone},
      {"app", "missing", "tag not found: app:missing"},
      {"nowhere", "v1", "tag not found: nowhere:v1"},
      {"app", "nl", "corrupt tag link: app:nl"},
      {"app", "nul", "corrupt tag link: app:nul"},
      {"app", "short", "corrupt tag link: app:short"},
      {"app", "gone", "manifest body not found: app@gone"},
      {"app", revonly, "manifest body not found: app@" + revonly},
  };
  const auto before = snapshot_tree(rootp());
  for (const auto& tc : cases) {
    char ct[127] = "ct-untouched", dg[72] = "dg-untouched";
    EXPECT_EQ(reg_manifest_get(tc.repo.c_str(), tc.ref.c_str(), ct, dg), nullptr) << tc.ref;
    EXPECT_EQ(reg_storage_last_error(), tc.message);
    EXPECT_STREQ(ct, "ct-untouched");
    EXPECT_STREQ(dg, "dg-untouched");
  }
  char ct[127], dg[72];
  EXPECT_EQ(reg_manifest_get(nullptr, "v1", ct, dg), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_get("app", "v1", nullptr, dg), nullptr);
  EXPECT_EQ(reg_manifest_get("app", "v1", ct, nullptr), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_get("app", "v1", ct, dg), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  ASSERT_EQ(reg_storage_init(root().c_str()), 0);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(ManifestsTest, BodyWithoutRevisionOrTypeIsServedWithTheDefault) {
  const std::string body = "{\"anything\":1}";
  const std::string d = digest_of(body);
  write_all(body_file("app", d), body);
  Pulled p = pull("app", d);
  ASSERT_TRUE(p.ok) << reg_storage_last_error();
  EXPECT_EQ(p.body, body);
  EXPECT_EQ(p.content_type, kDefault);
  EXPECT_EQ(p.digest, d);
  write_all(fs::path(body_file("app", d).string() + ".ct"), "");
  EXPECT_EQ(pull("app", d).content_type, kDefault);
}

TEST_F(ManifestsTest, StoredBodyPastTheLimitFailsWithoutCutting) {
  const std::string exact(1048575, 'e'), over(1048576, 'o');
  const std::string de = digest_of(exact), dov = digest_of(over);
  write_all(body_file("app", de), exact);
  write_all(body_file("app", dov), over);
  write_all(tag_link("app", "big"), dov);
  EXPECT_EQ(pull("app", de).body, exact);
  for (const std::string& ref : {dov, std::string("big")}) {
    char ct[127] = "ct-untouched", dg[72] = "dg-untouched";
    EXPECT_EQ(reg_manifest_get("app", ref.c_str(), ct, dg), nullptr);
    EXPECT_EQ(reg_storage_last_error(), "manifest body too large: app@" + ref);
    EXPECT_STREQ(ct, "ct-untouched");
    EXPECT_STREQ(dg, "dg-untouched");
  }
}

// ---- the real manifests -------------------------------------------------------------------

struct DocFree {
  void operator()(yyjson_doc* d) const { yyjson_doc_free(d); }
};

std::string str_member(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : "";
}

TEST_F(ManifestsTest, RealManifestsRoundTripByteForByte) {
  const auto files = testdata_manifests();
  if (files.empty()) GTEST_SKIP() << "shared test data not found at " << REG_TESTDATA_DIR;
  // Images first, so that an index whose child is one of them finds it pushed.
  std::map<std::string, std::string> by_digest;  // digest -> body
  std::vector<std::string> images, indexes;
  for (const auto& f : files) {
    const std::string body = read_all(f);
    by_digest[digest_of(body)] = body;
    (body.find("\"manifests\"") != std::string::npos ? indexes : images).push_back(body);
  }
  std::set<std::string> pushed;
  auto push_and_pull = [&](const std::string& body, const std::string& tag) {
    std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.data(), body.size(), 0));
    ASSERT_TRUE(doc);
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    const std::string d = push("real", tag, body);
    ASSERT_EQ(d, digest_of(body));
    for (const std::string& ref : {tag, d}) {
      const Pulled p = pull("real", ref);
      ASSERT_TRUE(p.ok) << reg_storage_last_error();
      EXPECT_EQ(p.body, body);
      EXPECT_EQ(p.digest, d);
      EXPECT_EQ(p.content_type, str_member(root, "mediaType"));
    }
    pushed.insert(d);
  };
  int n = 0;
  for (const auto& body : images) {
    std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.data(), body.size(), 0));
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    place_blob(str_member(yyjson_obj_get(root, "config"), "digest"));
    std::size_t i, max;
    yyjson_val* layer;
    yyjson_arr_foreach(yyjson_obj_get(root, "layers"), i, max, layer)
        place_blob(str_member(layer, "digest"));
    push_and_pull(body, "image-" + std::to_string(n++));
  }
  for (const auto& body : indexes) {
    std::unique_ptr<yyjson_doc, DocFree> doc(yyjson_read(body.data(), body.size(), 0));
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    std::size_t i, max;
    yyjson_val* child;
    yyjson_arr_foreach(yyjson_obj_get(root, "manifests"), i, max, child) {
      const std::string d = str_member(child, "digest");
      // Children not among the files cannot be produced: their bodies are placed by hand in
      // another repository, which the search must also reach.
      if (!pushed.count(d))
        write_all(body_file("elsewhere", d), by_digest.count(d) ? by_digest[d] : "{}");
    }
    push_and_pull(body, "index-" + std::to_string(n++));
  }
  EXPECT_GE(pushed.size(), 19u);
}

// ---- faults -------------------------------------------------------------------------------

// Every file of the store reads as whole: no temporary file is left and each link, body and
// content type holds one of the contents a complete push writes.
void expect_no_torn_files(const fs::path& root, const std::set<std::string>& allowed) {
  for (const auto& [rel, content] : snapshot_tree(root)) {
    if (content == "<dir>" || rel.rfind("repositories", 0) != 0) continue;
    EXPECT_EQ(rel.find(".tmp-"), std::string::npos) << rel;
    EXPECT_TRUE(allowed.count(content)) << rel << " holds " << content.substr(0, 80);
  }
}

TEST_F(ManifestsTest, FaultSweepOverPutLeavesWholeFilesAndReadableState) {
  const std::set<std::string> messages = {
      "mkdirs manifests dir failed", "write blob record failed",   "write manifest body failed",
      "write manifest ct failed",    "mkdirs revision dir failed", "write revision link failed",
      "mkdirs tag dir failed",       "write tag link failed",
      "sync manifest failed"};
  const std::string old_body = image_manifest("old"), new_body = image_manifest("new");
  const std::string old_d = digest_of(old_body), new_d = digest_of(new_body);
  // Blob records are empty files.
  const std::set<std::string> allowed = {old_body, new_body, old_d, new_d, kOciManifest, ""};
  std::int64_t fired_total = 0;
  for (int n = 1;; ++n) {
    const std::string repo = "sweep" + std::to_string(n);
    push(repo, "v1", old_body);
    reg::fault::arm(reg::fault::Op::any, n, EIO);
    char digest[72];
    const int rc =
        reg_manifest_put(repo.c_str(), "v1", new_body.data(), new_body.size(), nullptr, digest);
    const std::int64_t fired = reg::fault::fired();
    reg::fault::disarm();
    fired_total += fired;
    const std::string msg = reg_storage_last_error();
    if (rc != 0) {
      // A blob whose lookup failed is no unknown blob.
      EXPECT_TRUE(messages.count(msg) || msg.rfind("cannot read blob: ", 0) == 0)
          << n << ": " << msg;
    }
    expect_no_torn_files(rootp(), allowed);
    // The tag names the old or the new manifest, and what it names can be pulled whole.
    const Pulled p = pull(repo, "v1");
    if (p.ok) {
      EXPECT_TRUE(p.body == old_body || p.body == new_body) << n;
    } else {
      EXPECT_FALSE(std::string(reg_storage_last_error()).empty());
    }
    EXPECT_TRUE(pull(repo, old_d).ok) << n;
    if (fired == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(p.body, new_body);
      break;
    }
    ASSERT_LT(n, 200) << "the sweep does not end";
  }
  EXPECT_GT(fired_total, 5);
  std::vector<std::string> outside;
  for (const auto& e : fs::directory_iterator(tmp_.path())) outside.push_back(e.path().filename());
  EXPECT_EQ(outside, std::vector<std::string>{"store"});
}

}  // namespace
}  // namespace regtest
