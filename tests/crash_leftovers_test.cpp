// What a crash leaves: an empty blob file under a digest that is not the empty blob's is no
// blob, so clients upload it again and the upload replaces it; fsck --repair removes what no
// reader can use and reports the damaged manifests it must keep.
#include "fsck/crash_repair.h"
#include "manifest_fixture.h"
#include "support/fsck_helpers.h"

namespace regtest {
namespace {

using CrashLeftoversTest = ManifestTest;

TEST_F(CrashLeftoversTest, AnEmptyBlobFileIsNoBlobUnlessItIsTheEmptyBlob) {
  const std::string d = make_blob("some content");
  write_all(blob_file(d), "");
  char path[4096];
  EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
  EXPECT_EQ(reg_blob_get_size(d.c_str()), -1);
  EXPECT_NE(reg_blob_get_filepath(d.c_str(), path, sizeof path), 0);
  EXPECT_EQ(make_blob("some content"), d);  // the next push repairs it
  EXPECT_EQ(read_all(blob_file(d)), "some content");
  const std::string empty = make_blob("");
  EXPECT_EQ(reg_blob_exists(empty.c_str()), 1);
  EXPECT_EQ(reg_blob_get_size(empty.c_str()), 0);
}

bool has_line(const std::vector<std::string>& lines, const std::string& start) {
  for (const auto& l : lines)
    if (l.rfind(start, 0) == 0) return true;
  return false;
}

TEST_F(CrashLeftoversTest, RepairRemovesWhatACrashLeftAndReportsDamagedManifests) {
  const std::string one = push("app", "v1", image_manifest("one"));
  const std::string two = push("app", "v2", image_manifest("two"));
  const std::string three = push("app", "v3", image_manifest("three"));
  push("app", "stable", image_manifest("three"));
  const std::string empty_blob = digest_of("one-layer-0"), torn_blob = digest_of("two-layer-1");
  write_all(blob_file(empty_blob), "");
  write_all(blob_file(torn_blob), "two-lay");
  write_all(tag_link("app", "v2"), "");
  write_all(rev_link("app", two), "");
  write_all(body_file("app", one).string() + ".ct", "");
  write_all(body_file("app", three), "");  // a body only its client can push again
  const fs::path old_temp = rootp() / "blobs/sha256/.x.tmp-1-2";
  const fs::path new_temp = manifests_dir("app") / ".link.tmp-3-4";
  const fs::path finishing = rootp() / "uploads/0123abcd-0000-4000-8000-00000000abcd.finishing";
  write_all(old_temp, "partial");
  write_all(new_temp, "partial");  // a write that may be running: kept
  write_all(finishing, "partial");
  set_age(old_temp, 120);
  set_age(finishing, 1000);

  reg::StoreRepair r;
  ASSERT_TRUE(reg::repair_store(r));
  const std::string text = reg::store_repair_text(r);
  EXPECT_EQ(r.crash.removed.size(), 7u) << text;
  for (const std::string& rel :
       {"blobs/sha256/" + hex_of(empty_blob).substr(0, 2) + "/" + hex_of(empty_blob),
        "blobs/sha256/" + hex_of(torn_blob).substr(0, 2) + "/" + hex_of(torn_blob),
        std::string("repositories/app/_manifests/tags/v2/current/link"),
        "repositories/app/_manifests/revisions/sha256/" + hex_of(two) + "/link",
        "repositories/app/_manifests/" + hex_of(one) + ".ct", std::string("blobs/sha256/.x.tmp-1-2"),
        std::string("uploads/0123abcd-0000-4000-8000-00000000abcd.finishing")})
    EXPECT_TRUE(has_line(r.crash.removed, rel + ": ")) << rel << "\n" << text;
  ASSERT_EQ(r.crash.damaged_manifests.size(), 1u) << text;
  EXPECT_NE(r.crash.damaged_manifests[0].find("app@" + three), std::string::npos) << text;
  EXPECT_NE(r.crash.damaged_manifests[0].find("(tags: stable, v3)"), std::string::npos) << text;
  EXPECT_NE(text.find("repair: 7 files removed, 1 damaged manifests kept"), std::string::npos)
      << text;
  EXPECT_TRUE(fs::exists(body_file("app", three)));
  EXPECT_TRUE(fs::exists(new_temp));
  EXPECT_EQ(reg_blob_exists(torn_blob.c_str()), 0);

  // The next pushes upload the removed blobs again; then only the damaged body is corrupt.
  EXPECT_EQ(push("app", "v1", image_manifest("one")), one);
  EXPECT_EQ(push("app", "v2", image_manifest("two")), two);
  const std::vector<std::string> corrupt = finding_lines(run_fsck(), true);
  EXPECT_EQ(joined(corrupt), "manifest_digest_mismatch repositories/app/_manifests/" +
                                 hex_of(three) + "\n");
  reg::StoreRepair again;
  ASSERT_TRUE(reg::repair_store(again));
  EXPECT_TRUE(again.crash.removed.empty()) << reg::store_repair_text(again);
}

}  // namespace
}  // namespace regtest
