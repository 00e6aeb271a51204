// Hostile names, references, digests, upload ids and manifest bodies through every exported
// function that takes one. Each refused call gets its exact message and changes nothing;
// the whole temporary directory around the root is compared before and after, and a bait
// repository outside the root would answer (and differ from the expected message) if any
// call ever reached it.
#include <functional>
#include <set>

#include "support/fsck_helpers.h"

namespace {

using namespace regtest;

struct Call {
  std::string label;
  std::function<bool()> run;  // true when the call succeeded
  std::string message;        // the exact message of the refusal
};

const std::string kHex = std::string(64, 'a');

const std::vector<std::string> kBadRepos = {"",
                                            "..",
                                            "../x",
                                            "../../x",
                                            "../../../x",
                                            "a/../b",
                                            "a/..",
                                            ".",
                                            "/",
                                            "./",
                                            "//",
                                            "./a",
                                            "a/.",
                                            "_manifests",
                                            "a/_manifests",
                                            "a/_manifests/tags",
                                            "a\\..\\b",
                                            "..\\x",
                                            "\\",
                                            std::string(256, 'a'),
                                            "a\x01"
                                            "b",
                                            "a\nb",
                                            "\x7f",
                                            "\xff\xfe",
                                            "caf\xc3\xa9",
                                            "a b",
                                            "a:b",
                                            "a@b",
                                            "a*",
                                            "a%2f..%2fb"};

const std::vector<std::string> kBadTags = {"..",   ".",    "../x",  "../../x", "a/b",
                                           "/abs", "a\\b", "\\abs", "..\\.."};

const std::vector<std::string> kBadDigests = {
    "sha256:../../../../etc/passwd",    "sha256:" + std::string(64, 'A'),
    "sha256:" + kHex.substr(1),         "sha256:" + kHex + "0",
    "sha256:" + kHex + "/..",           "sha256:" + kHex.substr(2) + "\n\n",
    "sha256:" + kHex.substr(3) + "/..", "sha256:"};
const std::vector<std::string> kBadBlobDigests = {
    "sha256", "sha512:" + kHex, "../blobs/sha256/aa/" + kHex, "/etc/passwd", "", kHex};

const std::vector<std::string> kBadIds = {"../../../../../../../../../../../tmp",
                                          "00000000-0000-0000-0000-00000000000/",
                                          "00000000-0000-0000-0000-0000000000..",
                                          "ABCDEF00-0000-0000-0000-000000000000",
                                          "00000000-0000-0000-0000-0000000000000",
                                          "00000000-0000-0000-0000-00000000000",
                                          "",
                                          "00000000-0000-0000-0000-00000000000\n",
                                          "00000000/0000-0000-0000-000000000000"};

bool put(const std::string& repo, const std::string& ref, const std::string& body) {
  char d[72];
  return reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, d) == 0;
}
bool get(const std::string& repo, const std::string& ref) {
  char ct[128], d[72];
  return reg_manifest_get(repo.c_str(), ref.c_str(), ct, d) != nullptr;
}

// The names above that are made of allowed characters but would address the repositories
// directory itself or another repository's store: repository deletion names them.
const std::set<std::string> kStoreAddressingRepos = {
    ".", "/", "./", "//", "./a", "a/.", "_manifests", "a/_manifests", "a/_manifests/tags", "\\"};

class HostileInputTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    image_ = push_image("app", "v1", "app");
    ASSERT_EQ(reg_blob_start_upload(upload_), 0);
    // A repository outside the root, where "../../x" from `repositories` would land, and a
    // file where a digest or id that climbed out might point.
    const fs::path bait = tmp_.path() / "x" / "_manifests";
    write_all(bait / hex_of(image_.digest), image_.body);
    write_all(bait / "revisions/sha256" / hex_of(image_.digest) / "link", image_.digest);
    write_all(bait / "tags/v1/current/link", image_.digest);
    write_all(tmp_.path() / "etc" / "passwd", "bait");
  }

  std::vector<Call> calls() const {
    std::vector<Call> c;
    const std::string body = image_.body, digest = image_.digest, config = image_.blobs[0];
    for (const auto& r : kBadRepos) {
      c.push_back(
          {"put repo " + r, [=] { return put(r, "v1", body); }, "invalid repository name: " + r});
      c.push_back({"get repo " + r, [=] { return get(r, "v1"); }, "invalid repository name"});
      c.push_back(
          {"get digest repo " + r, [=] { return get(r, digest); }, "invalid repository name"});
      c.push_back({"delete repo " + r, [=] { return reg_manifest_delete(r.c_str(), "v1") == 0; },
                   "invalid repository name"});
      c.push_back({"repo delete " + r, [=] { return reg_repo_delete(r.c_str()) == 0; },
                   r.empty()                        ? "NULL argument"
                   : kStoreAddressingRepos.count(r) ? "invalid repository name: " + r
                                                    : std::string("invalid repository name")});
      c.push_back({"tags " + r, [=] { return reg_tags_list_json(r.c_str()) != nullptr; },
                   "invalid repository name"});
      c.push_back({"tags page " + r,
                   [=] {
                     return reg_tags_list_json_page(r.c_str(), 1, "..", nullptr, nullptr, 0) !=
                            nullptr;
                   },
                   "invalid repository name"});
    }
    for (const auto& t : kBadTags) {
      c.push_back({"put tag " + t, [=] { return put("app", t, body); }, "invalid tag: " + t});
      c.push_back({"get tag " + t, [=] { return get("app", t); }, "invalid tag: " + t});
      c.push_back({"delete tag " + t, [=] { return reg_manifest_delete("app", t.c_str()) == 0; },
                   "invalid tag: " + t});
    }
    const std::string name_max(300, 't'), path_max(5000, 't');
    c.push_back({"put empty reference", [=] { return put("app", "", body); }, "empty reference"});
    c.push_back({"get empty reference", [] { return get("app", ""); }, "invalid tag: "});
    c.push_back({"delete empty reference", [] { return reg_manifest_delete("app", "") == 0; },
                 "invalid tag: "});
    c.push_back({"put tag longer than a name", [=] { return put("app", name_max, body); },
                 "invalid tag: " + name_max});
    c.push_back({"get tag longer than a name", [=] { return get("app", name_max); },
                 "tag not found: app:" + name_max});
    c.push_back({"put tag longer than a path", [=] { return put("app", path_max, body); },
                 "path too long"});
    c.push_back(
        {"get tag longer than a path", [=] { return get("app", path_max); }, "path too long"});
    c.push_back({"delete tag longer than a path",
                 [=] { return reg_manifest_delete("app", path_max.c_str()) == 0; },
                 "path too long"});
    for (const auto& d : kBadDigests) {
      c.push_back({"get digest " + d, [=] { return get("app", d); }, "invalid digest reference"});
      c.push_back({"delete digest " + d, [=] { return reg_manifest_delete("app", d.c_str()) == 0; },
                   "invalid digest reference"});
    }
    std::vector<std::string> digests = kBadDigests;
    digests.insert(digests.end(), kBadBlobDigests.begin(), kBadBlobDigests.end());
    for (const auto& d : digests) {
      c.push_back(
          {"exists " + d, [=] { return reg_blob_exists(d.c_str()) != -1; }, "invalid digest"});
      c.push_back(
          {"size " + d, [=] { return reg_blob_get_size(d.c_str()) != -1; }, "invalid digest"});
      c.push_back({"filepath " + d,
                   [=] {
                     char path[4096];
                     return reg_blob_get_filepath(d.c_str(), path, sizeof path) == 0;
                   },
                   "invalid digest"});
      c.push_back(
          {"blob delete " + d, [=] { return reg_blob_delete(d.c_str()) == 0; }, "invalid digest"});
      c.push_back({"referrers " + d, [=] { return reg_referrers_json(d.c_str()) != nullptr; },
                   "invalid digest"});
      c.push_back({"finish to " + d,
                   [=, id = std::string(upload_)] {
                     char out[72];
                     return reg_blob_finish_upload(id.c_str(), d.c_str(), out) == 0;
                   },
                   "invalid expected digest"});
    }
    for (const auto& id : kBadIds) {
      c.push_back({"append " + id, [=] { return reg_blob_append_chunk(id.c_str(), "x", 1) == 0; },
                   "invalid upload uuid"});
      c.push_back({"finish " + id,
                   [=] {
                     char out[72];
                     return reg_blob_finish_upload(id.c_str(), config.c_str(), out) == 0;
                   },
                   "invalid upload uuid"});
      c.push_back({"cancel " + id, [=] { return reg_blob_cancel_upload(id.c_str()) == 0; },
                   "invalid upload uuid"});
      c.push_back({"size of " + id,
                   [=] {
                     long long n = 0;
                     return reg_blob_upload_size(id.c_str(), &n) == 0;
                   },
                   "invalid upload uuid"});
    }
    return c;
  }

  // Manifest bodies that try to smuggle a path or hide bytes behind a NUL.
  std::vector<Call> body_calls() const {
    const std::string cfg = image_.blobs[0];
    const std::string nul_tail = image_.body + std::string("\0../../x", 8);
    const std::string nul_digest =
        "{\"config\":{\"digest\":\"" + cfg + "\\u0000/../../../x\"},\"layers\":[]}";
    const std::string layer = image_manifest(cfg, {"sha256:../../../../etc/passwd"});
    const std::string child = index_manifest({"sha256:../../x/_manifests/" + kHex.substr(0, 30)});
    const std::string nul_child =
        "{\"manifests\":[{\"digest\":\"" + image_.digest + "\\u0000x\"}]}";
    return {
        {"NUL inside body_len", [=] { return put("app", "h", nul_tail); },
         "manifest JSON parse failed"},
        {"NUL only", [] { return put("app", "h", std::string(1, '\0')); },
         "manifest JSON parse failed"},
        {"escaped NUL in the config digest", [=] { return put("app", "h", nul_digest); },
         "manifest missing valid config.digest"},
        {"traversal as a layer digest", [=] { return put("app", "h", layer); },
         "manifest layer 0 missing valid digest"},
        {"traversal as an index child", [=] { return put("app", "h", child); },
         "manifest index entry 0 missing valid digest"},
        {"escaped NUL in an index child", [=] { return put("app", "h", nul_child); },
         "manifest index entry 0 missing valid digest"},
    };
  }

  Image image_;
  char upload_[37] = "";
};

TEST_F(HostileInputTest, EveryRefusalHasItsMessageAndTouchesNothing) {
  const auto before = snapshot_tree(tmp_.path());
  std::vector<Call> all = calls();
  const std::vector<Call> bodies = body_calls();
  all.insert(all.end(), bodies.begin(), bodies.end());
  for (const Call& c : all) {
    SCOPED_TRACE(c.label);
    reg_storage_init(root().c_str());  // clears the last message
    EXPECT_FALSE(c.run());
    EXPECT_EQ(std::string(reg_storage_last_error()), c.message);
  }
  EXPECT_EQ(snapshot_tree(tmp_.path()), before);
  std::printf("%zu hostile calls refused\n", all.size());
}

// Names that the library accepts by design: they stay inside the root, and the bait outside
// it is never touched.
TEST_F(HostileInputTest, AcceptedOddNamesStayInsideTheRoot) {
  const auto outside = [&] {
    auto t = snapshot_tree(tmp_.path());
    for (auto it = t.begin(); it != t.end();)
      it = it->first.rfind("store", 0) == 0 ? t.erase(it) : std::next(it);
    return t;
  };
  const auto before = outside();
  struct Accepted {
    std::string repo, ref;
    std::string dir;  // what appears below the root
  };
  const std::vector<Accepted> cases = {
      {"/abs/x", "v1", "repositories/abs/x/_manifests"},
      {"a\\b", "v1", "repositories/a\\b/_manifests"},
      {"app", "\x01\n", "repositories/app/_manifests/tags/\x01\n/current/link"},
      {"app", "\xff\xfe", "repositories/app/_manifests/tags/\xff\xfe/current/link"},
      {"app", std::string(255, 't'), "repositories/app/_manifests/tags/" + std::string(255, 't')},
      {"app", "sha256:../../x", "repositories/app/_manifests/" + hex_of(image_.digest)},
      {"app", "-rf", "repositories/app/_manifests/tags/-rf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.repo + " " + c.ref);
    EXPECT_TRUE(put(c.repo, c.ref, image_.body)) << reg_storage_last_error();
    EXPECT_TRUE(fs::exists(rootp() / c.dir));
    if (c.ref.rfind("sha256:", 0) == 0) continue;
    EXPECT_TRUE(get(c.repo, c.ref)) << reg_storage_last_error();
    EXPECT_EQ(reg_manifest_delete(c.repo.c_str(), c.ref.c_str()), 0) << reg_storage_last_error();
  }
  EXPECT_EQ(reg_repo_delete("/abs/x"), 0);
  EXPECT_EQ(reg_repo_delete("a\\b"), 0);
  for (const char* last : {"../..", "\xff", "/", ""}) {
    EXPECT_NE(reg_catalog_json(0, last), nullptr);
    EXPECT_NE(reg_tags_list_json_page("app", 2, last, nullptr, nullptr, 0), nullptr);
  }
  EXPECT_EQ(reg_tag_is_protected("../..", ".."), 0);
  reg_tag_protection_set("../*:*, ..");
  EXPECT_EQ(reg_tag_is_protected("../x", "v1"), 1);  // rules are text: matching touches no file
  EXPECT_EQ(outside(), before);
  EXPECT_TRUE(run_fsck().sound());
}

TEST_F(HostileInputTest, OverLongRootIsRefusedAndCreatesNothing) {
  const auto before = snapshot_tree(tmp_.path());
  const std::string deep = (tmp_.path() / std::string(3500 - tmp_.str().size() - 1, 'r')).string();
  ASSERT_EQ(deep.size(), 3500u);
  EXPECT_EQ(reg_storage_init(deep.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir too long (max 3499 chars)");
  EXPECT_EQ(reg_storage_init(""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
  EXPECT_EQ(snapshot_tree(tmp_.path()), before);
}

}  // namespace
