// The store checker: a store built by real pushes, deletions, a collection and a retention run
// is sound with no finding at all; each kind of damage is found with its kind, severity and
// path; the checker changes nothing; the program's exit status and report forms.
#include <sys/wait.h>

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <functional>

#include "support/fsck_helpers.h"

namespace {

using namespace regtest;

fs::path manifests_of(const fs::path& root, const std::string& repo) {
  return root / "repositories" / repo / "_manifests";
}

fs::path blob_file(const fs::path& root, const std::string& digest) {
  const std::string hex = hex_of(digest);
  return root / "blobs" / "sha256" / hex.substr(0, 2) / hex;
}

class FsckTest : public StoreTest {
 protected:
  // A fresh, initialised store below the test's temp dir, for one case of a table.
  fs::path fresh_store(const std::string& name) {
    const fs::path root = tmp_.path() / name / "store";
    EXPECT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    return root;
  }
};

TEST_F(FsckTest, StoreBuiltByRealOperationsIsSoundWithoutFindings) {
  const Image a = push_image("app", "v1", "a");
  push_image("app", "v2", "b");
  const Image c = push_image("team/web", "latest", "c");
  push_image("team/web", "sha256:" + std::string(64, '0'), "d");
  push_image("team", "old", "e");
  const std::string idx = index_manifest({a.digest, c.digest});
  char d[72];
  ASSERT_EQ(reg_manifest_put("app", "multi", idx.data(), idx.size(),
                             "application/vnd.oci.image.index.v1+json", d),
            0)
      << reg_storage_last_error();
  ASSERT_EQ(reg_manifest_delete("app", "v2"), 0)
      << reg_storage_last_error();  // leaves empty tag dirs
  ASSERT_EQ(reg_manifest_delete("team", "old"), 0)
      << reg_storage_last_error();  // leaves an empty revision dir
  ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
  ASSERT_NE(reg_retention_json(0, 5, 0, 0, nullptr), nullptr);
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);  // an upload in progress is no finding
  const auto before = snapshot_tree(tmp_.path());

  const reg::FsckReport r = run_fsck();

  EXPECT_TRUE(r.sound());
  EXPECT_EQ(joined(finding_lines(r)), "");
  EXPECT_EQ(r.counts.repositories, 3);  // team keeps its (empty) store
  EXPECT_EQ(r.counts.manifests, 4);     // a and the index in app, c and d in team/web
  EXPECT_EQ(r.counts.tags, 3);
  EXPECT_EQ(r.counts.blobs, 9);
  EXPECT_EQ(r.counts.uploads, 1);
  EXPECT_EQ(snapshot_tree(tmp_.path()), before);  // the checker changes nothing
}

// One kind of damage: what to do to a store holding `im` (app:v1), and the findings expected.
struct Damage {
  const char* name;
  bool corrupt;  // whether the store is then unsound
  std::function<void(const fs::path& root, const Image& im)> apply;
  std::function<std::vector<std::string>(const Image& im)>
      expect;  // "kind path" lines, in walk order
};

std::string body_rel(const Image& im) { return "repositories/app/_manifests/" + hex_of(im.digest); }
std::string tag_rel(const Image&) { return "repositories/app/_manifests/tags/v1/current/link"; }
std::string rev_rel(const Image& im) {
  return "repositories/app/_manifests/revisions/sha256/" + hex_of(im.digest) + "/link";
}
std::string blob_rel(const std::string& digest) {
  const std::string hex = hex_of(digest);
  return "blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
}
const std::string kOther = "sha256:" + std::string(64, 'e');

const Damage kDamages[] = {
    {"blob bytes changed", true,
     [](const fs::path& root, const Image& im) {
       write_all(blob_file(root, im.blobs[1]), "tampered");
     },
     [](const Image& im) {
       return std::vector<std::string>{"blob_digest_mismatch " + blob_rel(im.blobs[1])};
     }},
    {"manifest body changed", true,
     [](const fs::path& root, const Image& im) {
       write_all(manifests_of(root, "app") / hex_of(im.digest), im.body + " ");
     },
     [](const Image& im) {
       return std::vector<std::string>{"manifest_digest_mismatch " + body_rel(im)};
     }},
    {"tag link torn", true,
     [](const fs::path& root, const Image& im) {
       write_all(manifests_of(root, "app") / "tags/v1/current/link", im.digest.substr(0, 40));
     },
     [](const Image& im) { return std::vector<std::string>{"invalid_tag_link " + tag_rel(im)}; }},
    {"tag link with a newline", true,
     [](const fs::path& root, const Image& im) {
       write_all(manifests_of(root, "app") / "tags/v1/current/link", im.digest + "\n");
     },
     [](const Image& im) { return std::vector<std::string>{"invalid_tag_link " + tag_rel(im)}; }},
    {"revision link torn", true,
     [](const fs::path& root, const Image& im) {
       write_all(manifests_of(root, "app") / "revisions/sha256" / hex_of(im.digest) / "link",
                 "sha256:");
     },
     [](const Image& im) {
       return std::vector<std::string>{"invalid_revision_link " + rev_rel(im),
                                       "missing_revision_link " + body_rel(im)};
     }},
    {"revision link naming another digest", true,
     [](const fs::path& root, const Image& im) {
       write_all(manifests_of(root, "app") / "revisions/sha256" / hex_of(im.digest) / "link",
                 kOther);
     },
     [](const Image& im) {
       return std::vector<std::string>{"invalid_revision_link " + rev_rel(im),
                                       "missing_revision_link " + body_rel(im)};
     }},
    {"layer blob dropped", true,
     [](const fs::path& root, const Image& im) { fs::remove(blob_file(root, im.blobs[2])); },
     [](const Image& im) { return std::vector<std::string>{"missing_blob " + body_rel(im)}; }},
    {"tag naming a manifest that is gone", true,
     [](const fs::path& root, const Image& im) {
       const fs::path m = manifests_of(root, "app");
       fs::remove(m / hex_of(im.digest));
       fs::remove(m / (hex_of(im.digest) + ".ct"));
       fs::remove(m / "revisions/sha256" / hex_of(im.digest) / "link");
     },
     [](const Image& im) { return std::vector<std::string>{"dangling_tag_link " + tag_rel(im)}; }},
    {"tag link naming a body of another repository", true,
     [](const fs::path& root, const Image& im) {
       write_manifest_files(root, "other", "not json");
       write_all(manifests_of(root, "app") / "tags/v1/current/link", digest_of("not json"));
       (void)im;
     },
     [](const Image& im) {
       return std::vector<std::string>{
           "dangling_tag_link " + tag_rel(im),
           "unparsable_manifest repositories/other/_manifests/" + hex_of(digest_of("not json"))};
     }},
    {"temporary file left by a write", false,
     [](const fs::path& root, const Image&) {
       write_all(manifests_of(root, "app") / ".link.tmp-1f-2", "sha");
     },
     [](const Image&) {
       return std::vector<std::string>{"leftover_temp repositories/app/_manifests/.link.tmp-1f-2"};
     }},
    {"finishing upload left by a finish", false,
     [](const fs::path& root, const Image&) {
       write_all(root / "uploads" / "01234567-89ab-cdef-0123-456789abcdef.finishing", "x");
     },
     [](const Image&) {
       return std::vector<std::string>{
           "leftover_finishing uploads/01234567-89ab-cdef-0123-456789abcdef.finishing"};
     }},
    {"stale upload", false,
     [](const fs::path& root, const Image&) {
       const fs::path p = root / "uploads" / "01234567-89ab-cdef-0123-456789abcdef.part";
       write_all(p, "x");
       set_age(p, 900);
       write_all(root / "uploads" / "fedcba98-89ab-cdef-0123-456789abcdef.part",
                 "fresh");  // no finding
     },
     [](const Image&) {
       return std::vector<std::string>{
           "stale_upload uploads/01234567-89ab-cdef-0123-456789abcdef.part"};
     }},
    {"content type missing, revision link missing", false,
     [](const fs::path& root, const Image& im) {
       fs::remove(manifests_of(root, "app") / (hex_of(im.digest) + ".ct"));
       fs::remove(manifests_of(root, "app") / "revisions/sha256" / hex_of(im.digest) / "link");
     },
     [](const Image& im) {
       return std::vector<std::string>{"missing_content_type " + body_rel(im),
                                       "missing_revision_link " + body_rel(im)};
     }},
    {"content type empty", false,
     [](const fs::path& root, const Image& im) {
       write_all(manifests_of(root, "app") / (hex_of(im.digest) + ".ct"), "");
     },
     [](const Image& im) {
       return std::vector<std::string>{"empty_content_type " + body_rel(im) + ".ct"};
     }},
    {"deletion cut short after the body", false,
     [](const fs::path& root, const Image& im) {
       fs::remove(manifests_of(root, "app") / "tags/v1/current/link");
       fs::remove(manifests_of(root, "app") / hex_of(im.digest));
     },
     [](const Image& im) {
       return std::vector<std::string>{"dangling_revision_link " + rev_rel(im),
                                       "orphan_content_type " + body_rel(im) + ".ct"};
     }},
    {"blob in the wrong fan-out directory", false,
     [](const fs::path& root, const Image& im) {
       const std::string hex = hex_of(im.blobs[0]);
       const std::string other = hex.substr(0, 2) == "00" ? "01" : "00";
       write_all(root / "blobs/sha256" / other / hex, read_all(blob_file(root, im.blobs[0])));
     },
     [](const Image& im) {
       const std::string hex = hex_of(im.blobs[0]);
       return std::vector<std::string>{"misplaced_blob blobs/sha256/" +
                                       std::string(hex.substr(0, 2) == "00" ? "01" : "00") + "/" +
                                       hex};
     }},
    {"entries that do not belong", false,
     [](const fs::path& root, const Image&) {
       write_all(root / "notes.txt", "x");
       write_all(manifests_of(root, "app") / "tags/v1/current/link.bak", "x");
       write_all(root / "repositories" / "app" / "README", "x");
       fs::create_directories(root / "blobs" / "md5");
       write_all(root / "_gc" / "progress.json", "{\"running\":tr");
     },
     [](const Image&) {
       return std::vector<std::string>{
           "invalid_gc_snapshot _gc/progress.json", "unknown_entry blobs/md5",
           "unknown_entry notes.txt", "unknown_entry repositories/app/README",
           "unknown_entry repositories/app/_manifests/tags/v1/current/link.bak"};
     }},
};

TEST_F(FsckTest, EachDamageIsFoundWithItsKindAndSeverity) {
  int n = 0;
  for (const Damage& dmg : kDamages) {
    SCOPED_TRACE(dmg.name);
    const fs::path root = fresh_store("case" + std::to_string(n++));
    const Image im = push_image("app", "v1", dmg.name);
    dmg.apply(root, im);
    const auto before = snapshot_tree(root);

    const reg::FsckReport r = run_fsck();

    std::vector<std::string> got = finding_lines(r), want = dmg.expect(im);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(joined(got), joined(want));
    EXPECT_EQ(r.sound(), !dmg.corrupt);
    EXPECT_EQ(snapshot_tree(root), before);
  }
}

TEST_F(FsckTest, IndexNamingAChildThatNoRepositoryStoresIsCorrupt) {
  const Image a = push_image("app", "v1", "a");
  const Image b = push_image("lib", "v1", "b");
  const std::string idx = index_manifest({a.digest, b.digest});
  char d[72];
  ASSERT_EQ(reg_manifest_put("app", "multi", idx.data(), idx.size(), nullptr, d), 0)
      << reg_storage_last_error();
  EXPECT_EQ(joined(finding_lines(run_fsck())), "");  // a child in another repository is stored

  ASSERT_EQ(reg_manifest_delete("lib", b.digest.c_str()), 0);
  const reg::FsckReport r = run_fsck();
  EXPECT_EQ(joined(finding_lines(r)),
            "missing_child_manifest repositories/app/_manifests/" + hex_of(d) + "\n");
  EXPECT_FALSE(r.sound());
  EXPECT_NE(r.findings[0].detail.find(b.digest), std::string::npos);
}

TEST_F(FsckTest, UninitialisedDirectoryIsUnsoundAndLeftAsItWas) {
  const fs::path bare = tmp_.path() / "bare";
  fs::create_directories(bare);
  ASSERT_TRUE(reg::fsck_attach(bare.c_str()));
  const reg::FsckReport r = run_fsck();
  EXPECT_EQ(joined(finding_lines(r)),
            "missing_config config.json\nmissing_store_directory blobs\nmissing_store_directory "
            "repositories\n"
            "missing_store_directory uploads\n");
  EXPECT_FALSE(r.sound());
  EXPECT_TRUE(fs::is_empty(bare));

  EXPECT_FALSE(reg::fsck_attach((tmp_.path() / "absent").c_str()));
  EXPECT_EQ(std::string(reg_storage_last_error()),
            "storage root is not a directory: " + (tmp_.path() / "absent").string());
  EXPECT_FALSE(fs::exists(tmp_.path() / "absent"));
  EXPECT_FALSE(reg::fsck_attach(""));
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
}

TEST_F(FsckTest, JsonReportIsValidUtf8WhateverTheNamesHold) {
  push_image("app", "v1", "a");
  write_all(rootp() / "repositories/app/_manifests/tags/\xff\x01q\"/current/link", "bad");
  const reg::FsckReport r = run_fsck();
  const std::string json = reg::fsck_json(r, root());
  yyjson_doc* doc = yyjson_read(json.data(), json.size(), 0);  // strict: rejects invalid UTF-8
  ASSERT_NE(doc, nullptr) << json;
  yyjson_val* top = yyjson_doc_get_root(doc);
  EXPECT_FALSE(yyjson_get_bool(yyjson_obj_get(top, "sound")));
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(top, "corrupt")), 1);
  yyjson_val* f = yyjson_arr_get_first(yyjson_obj_get(top, "findings"));
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(f, "kind")), "invalid_tag_link");
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(f, "severity")), "corrupt");
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(f, "path")),
               "repositories/app/_manifests/tags/\xef\xbf\xbd\x01q\"/current/link");
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(yyjson_obj_get(top, "counts"), "manifests")), 1);
  yyjson_doc_free(doc);

  const std::string text = reg::fsck_text(r, root());
  EXPECT_NE(text.find("tags/\xff\\x01q\"/current/link: holds 3 bytes"), std::string::npos) << text;
  EXPECT_NE(text.find("\nNOT SOUND: 1 corrupt, 0 warnings\n"), std::string::npos) << text;
}

#if defined(REG_FSCK_BIN) && defined(REG_TOOL_BIN)
int run_exit_code(const std::string& cmd) {
  const int st = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(FsckTest, ProgramsExitZeroOnlyWhenSound) {
  const Image im = push_image("app", "v1", "a");
  write_all(rootp() / "blobs/sha256/.x.tmp-1-2", "");  // a warning does not fail
  const std::string fsck = REG_FSCK_BIN, tool = REG_TOOL_BIN;
  EXPECT_EQ(run_exit_code(fsck + " --root " + root()), 0);
  EXPECT_EQ(run_exit_code(tool + " fsck --root " + root()), 0);
  EXPECT_EQ(run_exit_code("TARNWICK_ROOT=" + root() + " " + tool + " fsck --json"), 0);

  write_all(blob_file(rootp(), im.blobs[0]), "tampered");
  EXPECT_EQ(run_exit_code(fsck + " --root=" + root()), 1);
  EXPECT_EQ(run_exit_code(tool + " fsck --json --root " + root()), 1);
  EXPECT_EQ(run_exit_code(fsck + " --root " + (tmp_.path() / "absent").string()), 2);
  EXPECT_EQ(run_exit_code("env -u TARNWICK_ROOT " + fsck), 2);
  EXPECT_EQ(run_exit_code(fsck + " --root " + root() + " --bogus"), 2);

  FILE* p = popen((tool + " fsck --json --root " + root()).c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(
      out.rfind("{\"root\":\"" + root() + "\",\"sound\":false,\"corrupt\":1,\"warnings\":1,", 0),
      0u)
      << out;
}
#endif

}  // namespace
