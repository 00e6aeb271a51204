// A store whose own entries are hostile: at every kind of entry (blob, fan-out directory,
// repository, _manifests, tag directories, links, body, .ct, upload) a symbolic link into a
// canary tree beside the root, a FIFO or a device. Every operation of the library runs over
// each; none may read, write or remove anything of the canary, none may block, readers see
// the entry as absent, and the checker reports it as corrupt. Each case runs with the
// system's beneath-resolution and with the component walk that stands in for it.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>

#include "platform/beneath_posix.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "support/fsck_helpers.h"

namespace regtest {
namespace {

enum class Plant { link, fifo, device };

const char* plant_name(Plant p) {
  return p == Plant::link ? "link" : p == Plant::fifo ? "fifo" : "device";
}

// One store with an image tagged "v1" in "app", a second image "v2" and an upload open.
struct Store {
  fs::path root, canary;
  Image v1, v2;
  std::string upload;
};

// Where the plant goes, relative to the root, and what must then read as absent.
struct Place {
  const char* name;
  std::function<fs::path(const Store&)> rel;
  std::function<void(const Store&)> probe;
};

void expect_tag_absent(const Store&) {
  char ct[128], d[72];
  EXPECT_EQ(reg_manifest_get("app", "v1", ct, d), nullptr);
}

void expect_digest_absent(const Store& s) {
  char ct[128], d[72];
  EXPECT_EQ(reg_manifest_get("app", s.v1.digest.c_str(), ct, d), nullptr);
}

void expect_blob_absent(const Store& s) {
  const std::string& layer = s.v1.blobs[1];
  char path[4096];
  EXPECT_EQ(reg_blob_exists(layer.c_str()), 0);
  EXPECT_EQ(reg_blob_get_size(layer.c_str()), -1);
  EXPECT_NE(reg_blob_get_filepath(layer.c_str(), path, sizeof path), 0);
}

const std::vector<Place>& places() {
  auto m = [](const Store&) { return fs::path("repositories") / "app" / "_manifests"; };
  auto blob = [](const Store& s) {
    const std::string hex = hex_of(s.v1.blobs[1]);
    return fs::path("blobs") / "sha256" / hex.substr(0, 2) / hex;
  };
  static const std::vector<Place> kPlaces = {
      {"blob", blob, expect_blob_absent},
      {"fan-out directory", [=](const Store& s) { return blob(s).parent_path(); },
       expect_blob_absent},
      {"repository", [](const Store&) { return fs::path("repositories") / "app"; },
       expect_tag_absent},
      {"_manifests", m, expect_digest_absent},
      {"tags directory", [=](const Store& s) { return m(s) / "tags"; }, expect_tag_absent},
      {"tag directory", [=](const Store& s) { return m(s) / "tags" / "v1"; }, expect_tag_absent},
      {"current directory", [=](const Store& s) { return m(s) / "tags" / "v1" / "current"; },
       expect_tag_absent},
      {"tag link", [=](const Store& s) { return m(s) / "tags" / "v1" / "current" / "link"; },
       expect_tag_absent},
      {"body", [=](const Store& s) { return m(s) / hex_of(s.v1.digest); }, expect_digest_absent},
      {".ct", [=](const Store& s) { return m(s) / (hex_of(s.v1.digest) + ".ct"); },
       [](const Store& s) {
         char ct[128] = "", d[72];
         reg_manifest_get("app", s.v1.digest.c_str(), ct, d);
         EXPECT_STRNE(ct, "text/html");  // the canary's copy says text/html
       }},
      {"revision link",
       [=](const Store& s) { return m(s) / "revisions" / "sha256" / hex_of(s.v1.digest) / "link"; },
       [](const Store&) {}},
      {"upload", [](const Store& s) { return fs::path("uploads") / (s.upload + ".part"); },
       [](const Store& s) {
         long long n = 0;
         EXPECT_NE(reg_blob_upload_size(s.upload.c_str(), &n), 0);
         EXPECT_NE(reg_blob_append_chunk(s.upload.c_str(), "x", 1), 0);
       }},
  };
  return kPlaces;
}

class HostileStoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reg::platform::beneath::force_component_walk(false);
    reg_storage_cleanup();
  }

  Store make_store(const fs::path& dir) {
    Store s{dir / "store", dir / "canary", {}, {}, {}};
    EXPECT_EQ(reg_storage_init(s.root.c_str()), 0) << reg_storage_last_error();
    s.v1 = push_image("app", "v1", "one");
    s.v2 = push_image("app", "v2", "two");
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), 0);
    EXPECT_EQ(reg_blob_append_chunk(id, "abc", 3), 0);
    s.upload = id;
    fs::create_directories(s.canary);
    write_all(s.canary / "untouched", "canary");
    return s;
  }

  // Replaces the entry by the plant. A link points at the entry itself, moved into the
  // canary, so that an operation that followed it would find exactly what it looks for.
  bool plant(const Store& s, const fs::path& rel, Plant p) {
    const fs::path at = s.root / rel;
    if (p == Plant::link) {
      const fs::path moved = s.canary / "moved";
      fs::rename(at, moved);
      if (rel.extension() == ".ct") write_all(moved, "text/html");
      fs::create_symlink(moved, at);
      return true;
    }
    fs::remove_all(at);
    if (p == Plant::fifo) return mkfifo(at.c_str(), 0644) == 0;
    return mknod(at.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;  // like /dev/null
  }

  void run_everything(const Store& s) {
    char ct[128], d[72], path[4096], id[37];
    int more = 0;
    char next[512];
    reg_tags_list_json("app");
    reg_catalog_json_page(10, nullptr, &more, next, sizeof next);
    reg_storage_get_stats_json();
    reg_referrers_json(s.v1.blobs[0].c_str());
    reg_manifest_get("app", "v2", ct, d);
    reg_blob_get_filepath(s.v1.blobs[2].c_str(), path, sizeof path);
    // Writers: a new blob into the planted fan-out, the upload, manifests, deletions.
    if (reg_blob_start_upload(id) == 0) {
      const std::string layer = "layer 1 of one";
      reg_blob_append_chunk(id, layer.data(), layer.size());
      reg_blob_finish_upload(id, s.v1.blobs[1].c_str(), d);
    }
    reg_blob_append_chunk(s.upload.c_str(), "x", 1);
    reg_blob_finish_upload(s.upload.c_str(), digest_of("abc").c_str(), d);
    reg_blob_cancel_upload(s.upload.c_str());
    reg_manifest_put("app", "v1", s.v1.body.data(), s.v1.body.size(), nullptr, d);
    reg_manifest_put("app", "v3", s.v1.body.data(), s.v1.body.size(), nullptr, d);
    reg_manifest_delete("app", "v1");
    reg_manifest_delete("app", s.v1.digest.c_str());
    reg_blob_delete(s.v1.blobs[1].c_str());
    reg_retention_json(0, 0, 0, 1, nullptr);
    reg_gc_json(0);
    reg_repo_delete("app");
    reg_gc_json(0);
  }

  void run_case(const Place& place, Plant p) {
    MemoryTempDir dir;
    const Store s = make_store(dir.path());
    const fs::path rel = place.rel(s);
    if (!plant(s, rel, p)) {
      ADD_FAILURE() << "cannot plant " << plant_name(p) << " (needs mknod for devices)";
      return;
    }
    const auto canary = snapshot_tree(s.canary);
    alarm(20);  // an operation that blocks on a FIFO ends the test here
    place.probe(s);
    const auto report = run_fsck();
    const std::string lines = joined(finding_lines(report, true));
    EXPECT_NE(lines.find("special_entry " + rel.generic_string()), std::string::npos) << lines;
    run_everything(s);
    alarm(0);
    EXPECT_EQ(snapshot_tree(s.canary), canary);
    EXPECT_EQ(snapshot_tree(dir.path() / "outside"), (std::map<std::string, std::string>{}));
    reg_storage_cleanup();
  }

  void run_all(bool component_walk) {
    const bool can_mknod = geteuid() == 0;
    for (Plant p : {Plant::link, Plant::fifo, Plant::device}) {
      if (p == Plant::device && !can_mknod) continue;
      for (const Place& place : places()) {
        SCOPED_TRACE(std::string(plant_name(p)) + " at " + place.name +
                     (component_walk ? " (component walk)" : ""));
        reg::platform::beneath::force_component_walk(component_walk);
        run_case(place, p);
      }
    }
    if (!can_mknod) GTEST_LOG_(INFO) << "devices not planted: mknod needs root";
  }
};

TEST_F(HostileStoreTest, NothingOutsideTheRootIsReadWrittenOrRemovedAndNothingBlocks) {
  run_all(false);
}

TEST_F(HostileStoreTest, TheComponentWalkHoldsTheSameLine) { run_all(true); }

// The reproductions as they were reported, with a secret and a directory outside the root.
TEST_F(HostileStoreTest, ReportedEscapesAreClosed) {
  MemoryTempDir dir;
  const Store s = make_store(dir.path());
  const fs::path outside = dir.path() / "outside";
  fs::create_directories(outside / "dir");
  write_all(outside / "secret", "secret");
  write_all(outside / "dir" / "link", s.v2.digest);
  const fs::path m = s.root / "repositories" / "evil" / "_manifests";
  fs::create_directories(m);
  const std::string fake = "sha256:" + std::string(64, 'f');
  fs::create_symlink(outside / "secret", m / hex_of(fake));
  fs::create_symlink(outside, s.root / "repositories" / "outside");
  fs::create_directories(s.root / "repositories" / "app" / "_manifests" / "tags" / "hijack");
  fs::create_symlink(outside / "dir", s.root / "repositories" / "app" / "_manifests" / "tags" /
                                          "hijack" / "current");
  const auto before = snapshot_tree(outside);

  char ct[128], d[72];
  EXPECT_EQ(reg_manifest_get("evil", fake.c_str(), ct, d), nullptr);
  EXPECT_NE(reg_manifest_put("outside", "t", s.v1.body.data(), s.v1.body.size(), nullptr, d), 0);
  EXPECT_NE(reg_manifest_delete("outside", "t"), 0);
  EXPECT_NE(reg_manifest_put("app", "hijack", s.v1.body.data(), s.v1.body.size(), nullptr, d), 0);
  EXPECT_NE(reg_manifest_delete("app", "hijack"), 0);
  EXPECT_EQ(snapshot_tree(outside), before);
  const std::string lines = joined(finding_lines(run_fsck(), true));
  EXPECT_NE(lines.find("special_entry repositories/outside"), std::string::npos) << lines;
  // A repository deletion removes the link, never what it points at.
  EXPECT_EQ(reg_repo_delete("outside"), -1);  // not a repository: nothing is stored there
  EXPECT_EQ(snapshot_tree(outside), before);
}

// An entry that is there but cannot be read or listed is a failure with its message, never a
// missing tag, an empty list or an unknown blob: a mirror or a cleanup script acts on those.
TEST_F(HostileStoreTest, AnEntryThatCannotBeReadIsAFailureNotAnAbsence) {
  using reg::fault::Op;
  MemoryTempDir dir;
  const Store s = make_store(dir.path());
  const std::string& layer = s.v1.blobs[1];
  char ct[128], d[72], path[4096];
  struct Case {
    Op op;
    int nth, err;
    std::function<bool()> call;  // true when the call failed
    std::string message;
  };
  const Case cases[] = {
      {Op::list, 1, EACCES, [] { return !reg_tags_list_json("app"); }, "cannot list tags: app"},
      {Op::open, 1, EACCES, [] { return !reg_tags_list_json("app"); }, "cannot read tag: app:v1"},
      {Op::open, 1, EIO, [&] { return !reg_manifest_get("app", "v1", ct, d); },
       "cannot read tag: app:v1"},
      {Op::open, 2, EIO, [&] { return !reg_manifest_get("app", "v1", ct, d); },
       "cannot read manifest body: app@v1"},
      {Op::stat, 1, EACCES, [&] { return !reg_manifest_get("app", s.v1.digest.c_str(), ct, d); },
       "cannot read manifest: app@" + s.v1.digest},
      {Op::open, 1, EIO, [] { return reg_manifest_delete("app", "v1") != 0; },
       "cannot read tag: app:v1"},
      {Op::stat, 1, EACCES, [&] { return reg_blob_exists(layer.c_str()) == -1; },
       "cannot read blob: " + layer},
      {Op::stat, 1, EIO,
       [&] { return reg_blob_get_filepath(layer.c_str(), path, sizeof path) != 0; },
       "cannot read blob: " + layer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    reg::platform::clear_last_failure();
    reg::fault::arm(c.op, c.nth, c.err, true);
    const bool failed = c.call();
    reg::fault::disarm();
    EXPECT_TRUE(failed);
    EXPECT_EQ(reg_storage_last_error(), c.message);
    EXPECT_EQ(reg::platform::last_failure().err, c.err);  // kept for the caller's log
    EXPECT_NE(reg_manifest_get("app", "v1", ct, d), nullptr) << "the tag must survive";
  }
}

}  // namespace
}  // namespace regtest
